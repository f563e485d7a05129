#include "sd_link.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/secure_wipe.h"

namespace sdlink {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kSerialCommand[] = {0xBF, 0xC4, 0x00, 0x00, 0x0A};

// What Connect hands out. Callers only see `record` (the tag must stay the first byte); the
// path and the driver table ride behind it, so that a handle keeps using the path it was
// opened on whatever a later enumeration finds.
struct SdHandle {
    TransportHandle record;
    Path path;
    const CCDriveMeth* methods;
};
static_assert(offsetof(SdHandle, record) == 0);

SdHandle* ownHandle(TransportHandle* handle) {
    if (handle == nullptr || handle->tag != TRANSPORT_TAG_SD || handle->connection == 0) {
        return nullptr;
    }
    return reinterpret_cast<SdHandle*>(handle);
}

void* deviceOf(const SdHandle& h) {
    return reinterpret_cast<void*>(h.record.connection);
}

void writeHex(char* out, std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (uint8_t b : bytes) {
        *out++ = kDigits[b >> 4];
        *out++ = kDigits[b & 0x0F];
    }
}

}  // namespace

int32_t SdLink::enumerate(int32_t* count) {
    if (count == nullptr) return -1;
    std::lock_guard guard(mutex_);
    *count = 0;

    // Driver path: a fresh table, the marker file, the raw list.
    methods_ = nullptr;
    CCDriveMeth* methods = nullptr;
    if (libs_.getDriveMeth(&methods) == 0 && methods != nullptr) {
        methods_ = methods;
        char* raw = nullptr;
        uint32_t rawLength = 0;
        if (methods->identify(CC_MARKER_FILE) == 0 && methods->list(&raw, &rawLength, 0) == 0 &&
            raw != nullptr) {
            NameList found = parseDriverList({raw, rawLength});
            if (found.count > 0) {
                names_ = found;
                path_ = Path::Driver;
                *count = names_.count;
                return 0;
            }
        }
    }

    // Vendor path. Until it answers, nothing is listed: a Connect after a failed enumeration
    // must not open a name from an older list along the other path.
    names_ = NameList{};
    path_ = Path::Vendor;
    std::array<char, NameList::kCapacity> list{};
    uint32_t size = static_cast<uint32_t>(list.size());
    uint32_t claimed = 0;
    const int32_t r = libs_.listDevs(list.data(), &size, &claimed);
    if (r != 0) return r;
    if (size > list.size()) return -1;  // the library says it wrote past our buffer
    names_ = parseVendorList({list.data(), size}, claimed);
    *count = names_.count;
    return 0;
}

int32_t SdLink::connect(TransportHandle** handle, char* identification, int32_t index) {
    if (handle == nullptr) return -1;
    std::lock_guard guard(mutex_);
    if (index < 0 || index >= names_.count || names_.size == 0) return -1;
    const std::optional<std::string> name = nameAt(names_, index);
    if (!name) return -1;

    const Path path = path_;
    const CCDriveMeth* methods = nullptr;
    void* device = nullptr;
    if (path == Path::Driver) {
        if (methods_ == nullptr) {
            CCDriveMeth* fresh = nullptr;
            if (const int32_t r = libs_.getDriveMeth(&fresh); r != 0) return r;
            if (fresh == nullptr) return -1;
            methods_ = fresh;
        }
        methods = methods_;
        if (const int32_t r = methods->open(name->c_str(), 0, &device); r != 0) return r;
    } else {
        if (const int32_t r = libs_.connectDev(name->c_str(), &device); r != 0) return r;
    }
    if (device == nullptr) return -1;

    if (identification != nullptr) {
        const Reply serial = exchange(path, methods, device, kSerialCommand, kSerialReplyCapacity);
        if (serial.result != 0x9000 || serial.data.size() > kSerialLength) {
            close(path, methods, device);
            // A longer serial would not fit the caller's 260-byte buffer as text; it is not
            // an answer a token gives.
            return serial.result != 0x9000 ? serial.result : -1;
        }
        writeHex(identification, serial.data);
    }

    auto made = std::make_unique<SdHandle>();
    made->record.tag = TRANSPORT_TAG_SD;
    made->record.connection = reinterpret_cast<std::uintptr_t>(device);
    made->record.lock = device;
    made->path = path;
    made->methods = methods;
    *handle = &made.release()->record;
    return 0;
}

int32_t SdLink::disconnect(TransportHandle* handle) {
    if (handle == nullptr) return 0;
    SdHandle* own = ownHandle(handle);
    if (own == nullptr) return -1;
    close(own->path, own->methods, deviceOf(*own));
    delete own;
    return 0;
}

int32_t SdLink::doCommand(TransportHandle* handle, const uint8_t* command, int32_t commandLength,
                          uint8_t* reply, int32_t* replyLength) {
    SdHandle* own = ownHandle(handle);
    if (own == nullptr) return -1;
    if (command == nullptr || commandLength <= 0 || reply == nullptr || replyLength == nullptr) {
        return -1;
    }
    const Reply r =
        exchange(own->path, own->methods, deviceOf(*own),
                 {command, static_cast<std::size_t>(commandLength)}, kVendorReceiveSize);
    if (r.result < 0 || r.result > 0xFFFF) return r.result;  // no exchange took place
    std::copy(r.data.begin(), r.data.end(), reply);
    *replyLength = static_cast<int32_t>(r.data.size());
    return r.result;
}

SdLink::Reply::~Reply() {
    platform::secureWipe(data.data(), data.size());
}

namespace {

// The buffer one exchange receives into, allocated per call: a thread_local one would be
// destroyed by mingw's emulated TLS in an order that crashes a DLL unloaded by its host. What
// it held is wiped before the memory goes back.
class ReceiveBuffer {
  public:
    explicit ReceiveBuffer(std::size_t size) : bytes_(size) {}
    ~ReceiveBuffer() { platform::secureWipe(bytes_.data(), bytes_.size()); }
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;
    uint8_t* data() { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    uint8_t operator[](std::size_t i) const { return bytes_[i]; }

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

SdLink::Reply SdLink::exchange(Path path, const CCDriveMeth* methods, void* device,
                               std::span<const uint8_t> command, std::size_t vendorCapacity) {
    if (path == Path::Driver) {
        if (methods == nullptr) return {-1, {}};
        return exchangeDriver(*methods, device, command);
    }
    return exchangeVendor(device, command, vendorCapacity);
}

SdLink::Reply SdLink::exchangeDriver(const CCDriveMeth& methods, void* device,
                                     std::span<const uint8_t> command) {
    const int32_t sent =
        methods.send(device, command.data(), static_cast<uint32_t>(command.size()));
    if (sent != 0) return {sent == CC_E_REMOVED ? TRANSPORT_DEVICE_LOST : -1, {}};

    ReceiveBuffer received(kDriverReceiveSize);
    uint32_t length = 0;
    const auto deadline = Clock::now() + options_.pollLimit;
    for (;;) {
        length = static_cast<uint32_t>(received.size());
        const int32_t r = methods.receive(device, received.data(), &length);
        if (r == 0) break;
        if (r != CC_E_NOT_READY && r != CC_E_BUSY) {
            return {r == CC_E_REMOVED ? TRANSPORT_DEVICE_LOST : -1, {}};
        }
        // A card that never finishes is as good as gone, and its late reply would be taken for
        // the answer to the next command: the caller must connect afresh.
        if (Clock::now() >= deadline) return {TRANSPORT_DEVICE_LOST, {}};
        if (r == CC_E_NOT_READY) std::this_thread::sleep_for(options_.pollPause);
    }
    if (length > received.size()) return {-1, {}};
    // No status word: what the card did with the command is unknown.
    if (length < 2) return {TRANSPORT_DEVICE_LOST, {}};
    const std::size_t data = length - 2;
    return {received[data] * 256 + received[data + 1], {received.data(), received.data() + data}};
}

SdLink::Reply SdLink::exchangeVendor(void* device, std::span<const uint8_t> command,
                                     std::size_t capacity) {
    ReceiveBuffer received(kVendorReceiveSize);
    uint32_t length = static_cast<uint32_t>(std::min(capacity, received.size()));
    uint32_t status = 0;
    const int32_t r = libs_.transmit(device, command.data(), static_cast<uint32_t>(command.size()),
                                     0, received.data(), &length, &status);
    if (r == SDSC_E_REMOVED || r == SDSC_E_TIMEOUT) return {TRANSPORT_DEVICE_LOST, {}};
    if (r != 0) return {r, {}};
    if (length > capacity || status > 0xFFFF) return {-1, {}};
    return {static_cast<int32_t>(status), {received.data(), received.data() + length}};
}

void SdLink::close(Path path, const CCDriveMeth* methods, void* device) {
    // The close's result is of no use: the handle goes either way.
    if (path == Path::Driver) {
        if (methods != nullptr) methods->close(device);
    } else {
        libs_.disconnectDev(device);
    }
}

}  // namespace sdlink
