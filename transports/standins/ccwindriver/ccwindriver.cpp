// Stand-in for the card-driver library CCWinDriver: its cards are virtual tokens reached over
// loopback TCP (common/card_config.h says where they are configured). The real library
// replaces this one file for file; sdlink is not rebuilt for that.
//
// The receive operation waits a little for the reply before it answers "not ready", as a
// driver would: the caller then needs no pause in the common case of a quick token.
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "card_config.h"
#include "card_link.h"
#include "cc_win_driver.h"
#include "handle_registry.h"

namespace {

constexpr std::chrono::milliseconds kReceiveWait{20};

struct Device {
    std::mutex mutex;
    std::unique_ptr<standin::CardLink> link;
};

standin::HandleRegistry<Device>& devices() {
    static standin::HandleRegistry<Device> registry;
    return registry;
}

std::vector<standin::CardAddress> cards() {
    return standin::configuredCards(standin::CardPath::Driver,
                                    reinterpret_cast<const void*>(&CC_GetDriveMethA));
}

int32_t CC_CALL identify(const char* markerFile) {
    try {
        if (markerFile == nullptr) return CC_E_PARAMETER;
        // Every virtual card carries the marker; a name that is not the marker finds none.
        if (std::string_view(markerFile) != CC_MARKER_FILE) return CC_E_NO_CARD;
        return cards().empty() ? CC_E_NO_CARD : 0;
    } catch (...) {
        return CC_E_NO_CARD;
    }
}

int32_t CC_CALL openDevice(const char* name, uint32_t, void** device) {
    try {
        if (name == nullptr || device == nullptr) return CC_E_PARAMETER;
        const auto card = standin::findCard(cards(), name);
        if (!card) return CC_E_NO_CARD;
        auto opened = std::make_unique<Device>();
        opened->link = standin::CardLink::open(*card);
        if (!opened->link) return CC_E_NO_CARD;
        *device = devices().add(std::move(opened));
        return 0;
    } catch (...) {
        return CC_E_NO_CARD;
    }
}

int32_t CC_CALL closeDevice(void* device) {
    return devices().remove(device) ? 0 : CC_E_BAD_HANDLE;
}

int32_t resultOf(standin::CardLink::Result r) {
    switch (r) {
        case standin::CardLink::Result::Ok:
            return 0;
        case standin::CardLink::Result::NotReady:
            return CC_E_NOT_READY;
        case standin::CardLink::Result::Arriving:
            return CC_E_BUSY;
        case standin::CardLink::Result::Protocol:
            return CC_E_PROTOCOL;
        default:
            return CC_E_REMOVED;
    }
}

int32_t CC_CALL receive(void* handle, uint8_t* reply, uint32_t* length) {
    try {
        if (reply == nullptr || length == nullptr) return CC_E_PARAMETER;
        const std::shared_ptr<Device> device = devices().find(handle);
        if (!device) return CC_E_BAD_HANDLE;
        std::lock_guard guard(device->mutex);
        platform::WipedBytes answer;
        const int32_t r = resultOf(device->link->receive(answer, kReceiveWait));
        if (r != 0) return r;
        if (answer.size() > *length) return CC_E_BUFFER;
        std::memcpy(reply, answer.data(), answer.size());
        *length = static_cast<uint32_t>(answer.size());
        return 0;
    } catch (...) {
        return CC_E_REMOVED;
    }
}

int32_t CC_CALL sendCommand(void* handle, const uint8_t* command, uint32_t length) {
    try {
        if (command == nullptr || length == 0) return CC_E_PARAMETER;
        const std::shared_ptr<Device> device = devices().find(handle);
        if (!device) return CC_E_BAD_HANDLE;
        std::lock_guard guard(device->mutex);
        return resultOf(device->link->send({command, length}));
    } catch (...) {
        return CC_E_REMOVED;
    }
}

// The list stays the library's until the next call, as the caller expects.
std::mutex g_listMutex;
std::string g_list;

int32_t CC_CALL listDevices(char** list, uint32_t* length, uint32_t) {
    try {
        if (list == nullptr || length == nullptr) return CC_E_PARAMETER;
        std::string names;
        for (const standin::CardAddress& card : cards()) {
            if (!standin::CardLink::present(card)) continue;
            // Each name takes its length plus two bytes: the terminator and one more zero.
            names.append(card.name);
            names.append(2, '\0');
        }
        std::lock_guard guard(g_listMutex);
        g_list = std::move(names);
        *list = g_list.data();
        *length = static_cast<uint32_t>(g_list.size());
        return 0;
    } catch (...) {
        return CC_E_NO_CARD;
    }
}

CCDriveMeth g_methods = {identify, openDevice, closeDevice, receive, sendCommand, listDevices};

}  // namespace

extern "C" CC_EXPORT int32_t CC_CALL CC_GetDriveMethA(CCDriveMeth** methods) {
    if (methods == nullptr) return CC_E_PARAMETER;
    *methods = &g_methods;
    return 0;
}
