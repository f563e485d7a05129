#include "drv_link.h"

#include <cstring>
#include <memory>

#include "device_table.h"
#include "frame.h"
#include "platform/device_file.h"
#include "platform/named_mutex.h"
#include "platform/wiped_bytes.h"

namespace drvlink {
namespace {

using platform::IoResult;

TransportHandle* ownHandle(TransportHandle* handle) {
    if (handle == nullptr || handle->tag != TRANSPORT_TAG_DRIVER || handle->connection == 0 ||
        handle->lock == nullptr) {
        return nullptr;
    }
    return handle;
}

platform::DeviceFile& fileOf(const TransportHandle& h) {
    return *reinterpret_cast<platform::DeviceFile*>(h.connection);
}
platform::NamedMutex& lockOf(const TransportHandle& h) {
    return *static_cast<platform::NamedMutex*>(h.lock);
}

// A device that stopped answering, answered only in part or went away: the caller must
// connect afresh (the stream is out of step, or there is nothing left to talk to).
constexpr int32_t kLost = TRANSPORT_DEVICE_LOST;

// Reads and drops `length` bytes of a reply that cannot be used, so that the next exchange
// starts at the next frame. Result 0, or kLost when they do not come.
int32_t discard(platform::DeviceFile& file, std::size_t length, std::chrono::milliseconds limit) {
    platform::WipedBytes scratch(4096);
    while (length > 0) {
        const std::size_t piece = std::min(length, scratch.size());
        if (file.readExactly(scratch.span().first(piece), limit) != IoResult::Done) return kLost;
        length -= piece;
    }
    return 0;
}

}  // namespace

int32_t DrvLink::enumerate(int32_t* count) {
    if (count == nullptr) return -1;
    std::lock_guard guard(mutex_);
    table_.clear();
    *count = 0;
    std::optional<std::vector<platform::DeviceInterface>> present =
        platform::presentDeviceInterfaces(deviceClass_());
    if (!present) return -1;
    table_ = buildDeviceTable(std::move(*present), [](const std::string& path) {
        return platform::DeviceFile::open(path) != nullptr;
    });
    *count = static_cast<int32_t>(table_.size());
    return 0;
}

int32_t DrvLink::connect(TransportHandle** handle, char* identification, int32_t index) {
    if (handle == nullptr) return -1;
    std::lock_guard guard(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= table_.size()) return -1;
    const std::string& path = table_[static_cast<std::size_t>(index)].path;
    if (path.empty()) return -1;

    std::unique_ptr<platform::DeviceFile> file = platform::DeviceFile::open(path);
    if (!file) return kLost;
    std::unique_ptr<platform::NamedMutex> lock =
        platform::NamedMutex::openOrCreate(platform::deviceLockName(path));
    if (!lock) return -1;

    auto made = std::make_unique<TransportHandle>();
    made->tag = TRANSPORT_TAG_DRIVER;
    made->connection = reinterpret_cast<std::uintptr_t>(file.release());
    made->lock = lock.release();
    if (identification != nullptr) std::memcpy(identification, path.data(), path.size());
    *handle = made.release();
    return 0;
}

int32_t DrvLink::disconnect(TransportHandle* handle) {
    if (handle == nullptr) return 0;
    TransportHandle* own = ownHandle(handle);
    if (own == nullptr) return -1;
    delete &lockOf(*own);
    delete &fileOf(*own);
    delete own;
    return 0;
}

int32_t DrvLink::doCommand(TransportHandle* handle, const uint8_t* command, int32_t commandLength,
                           uint8_t* reply, int32_t* replyLength) {
    TransportHandle* own = ownHandle(handle);
    if (own == nullptr) return -1;
    // The frame's length field has 16 bits.
    if (command == nullptr || commandLength <= 0 ||
        static_cast<std::size_t>(commandLength) > kLargestCommand || reply == nullptr ||
        replyLength == nullptr) {
        return -1;
    }
    platform::DeviceFile& file = fileOf(*own);

    // Serialises this device's exchanges across every process that uses it; released on every
    // path. Every wait inside is bounded, so no holder keeps it for ever.
    platform::NamedMutexGuard guard(lockOf(*own), std::nullopt);
    if (!guard.owns()) return -1;

    const auto header = commandHeader(static_cast<std::uint16_t>(commandLength));
    if (file.writeAll(header, options_.transferLimit) != IoResult::Done ||
        file.writeAll({command, static_cast<std::size_t>(commandLength)}, options_.transferLimit) !=
            IoResult::Done) {
        return kLost;
    }
    std::array<std::uint8_t, kHeaderSize> replyHeader{};
    if (file.readExactly(replyHeader, options_.replyLimit) != IoResult::Done) return kLost;
    const std::optional<std::uint16_t> announced = drvlink::replyLength(replyHeader);
    if (!announced) return -1;
    // No room for a status word, or more than any token sends: the bytes are read and dropped,
    // never kept or copied.
    if (*announced < 2 || *announced > kReceiveSize) {
        const int32_t r = discard(file, *announced, options_.transferLimit);
        return r != 0 ? r : -1;
    }
    // A reply may carry deciphered data or key material: the buffer is wiped when it goes.
    platform::WipedBytes received(*announced);
    if (file.readExactly(received.span(), options_.transferLimit) != IoResult::Done) return kLost;
    const std::size_t data = *announced - 2u;
    std::memcpy(reply, received.data(), data);
    *replyLength = static_cast<int32_t>(data);
    return received.data()[data] * 256 + received.data()[data + 1];
}

}  // namespace drvlink
