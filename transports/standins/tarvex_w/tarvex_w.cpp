// Stand-in for the SD-card vendor library Tarvex_W: its cards are virtual tokens reached over
// loopback TCP (common/card_config.h says where they are configured). The real vendor library
// replaces this one file for file; sdlink is not rebuilt for that.
#include "tarvex_w.h"

#include <cstring>
#include <mutex>
#include <string>

#include "card_config.h"
#include "card_link.h"
#include "handle_registry.h"

namespace {

struct Device {
    std::mutex mutex;  // one exchange at a time on one card
    std::unique_ptr<standin::CardLink> link;
};

standin::HandleRegistry<Device>& devices() {
    static standin::HandleRegistry<Device> registry;
    return registry;
}

std::vector<standin::CardAddress> cards() {
    return standin::configuredCards(standin::CardPath::Vendor,
                                    reinterpret_cast<const void*>(&SDSCListDevs));
}

int32_t listDevs(char* list, uint32_t* listSize, uint32_t* count) {
    if (list == nullptr || listSize == nullptr || count == nullptr) return SDSC_E_PARAMETER;
    std::string names;
    uint32_t n = 0;
    for (const standin::CardAddress& card : cards()) {
        if (!standin::CardLink::present(card)) continue;
        names.append(card.name);
        names.push_back('\0');
        ++n;
    }
    if (names.size() > *listSize) return SDSC_E_BUFFER;
    std::memcpy(list, names.data(), names.size());
    *listSize = static_cast<uint32_t>(names.size());
    *count = n;
    return 0;
}

int32_t connectDev(const char* name, void** device) {
    if (name == nullptr || device == nullptr) return SDSC_E_PARAMETER;
    const auto card = standin::findCard(cards(), name);
    if (!card) return SDSC_E_NO_DEVICE;
    auto opened = std::make_unique<Device>();
    opened->link = standin::CardLink::open(*card);
    if (!opened->link) return SDSC_E_NO_DEVICE;
    *device = devices().add(std::move(opened));
    return 0;
}

int32_t transmit(void* handle, const uint8_t* command, uint32_t commandLength, uint8_t* reply,
                 uint32_t* replyLength, uint32_t* status) {
    if (command == nullptr || commandLength == 0 || reply == nullptr || replyLength == nullptr ||
        status == nullptr) {
        return SDSC_E_PARAMETER;
    }
    const std::shared_ptr<Device> device = devices().find(handle);
    if (!device) return SDSC_E_BAD_HANDLE;
    std::lock_guard guard(device->mutex);
    platform::WipedBytes answer;
    switch (device->link->transmit({command, commandLength}, answer)) {
        case standin::CardLink::Result::Ok:
            break;
        case standin::CardLink::Result::Timeout:
            return SDSC_E_TIMEOUT;
        case standin::CardLink::Result::Protocol:
            return SDSC_E_PROTOCOL;
        default:
            return SDSC_E_REMOVED;
    }
    const std::size_t data = answer.size() - 2;
    if (data > *replyLength) return SDSC_E_BUFFER;
    std::memcpy(reply, answer.data(), data);
    *replyLength = static_cast<uint32_t>(data);
    *status = static_cast<uint32_t>(answer.data()[data]) << 8 | answer.data()[data + 1];
    return 0;
}

}  // namespace

extern "C" {

SDSC_EXPORT int32_t SDSC_CALL SDSCListDevs(char* list, uint32_t* listSize, uint32_t* count) {
    try {
        return listDevs(list, listSize, count);
    } catch (...) {
        return SDSC_E_PARAMETER;
    }
}

SDSC_EXPORT int32_t SDSC_CALL SDSCConnectDev(const char* name, void** device) {
    try {
        return connectDev(name, device);
    } catch (...) {
        return SDSC_E_NO_DEVICE;
    }
}

SDSC_EXPORT int32_t SDSC_CALL SDSCTransmit(void* device, const uint8_t* command,
                                           uint32_t commandLength, uint32_t mode, uint8_t* reply,
                                           uint32_t* replyLength, uint32_t* status) {
    try {
        return transmit(device, command, commandLength, reply, replyLength, status);
    } catch (...) {
        return SDSC_E_REMOVED;
    }
}

SDSC_EXPORT int32_t SDSC_CALL SDSCDisconnectDev(void* device) {
    return devices().remove(device) ? 0 : SDSC_E_BAD_HANDLE;
}

}  // extern "C"
