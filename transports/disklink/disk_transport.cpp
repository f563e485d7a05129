#include "disk_transport.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "diskgate/request_record.h"
#include "platform/secure_wipe.h"

namespace disklink {
namespace {

using namespace diskgate::record;
using Bytes = std::vector<std::uint8_t>;

// What Connect hands out: the record callers see (tag first), then what the library keeps.
struct DiskHandle {
    TransportHandle record;  // connection: the service's handle value; lock: the client
    std::shared_ptr<ServiceClient> client;
};
static_assert(offsetof(DiskHandle, record) == 0);

// Bytes that may hold secrets, wiped when they go.
class WipedBuffer {
  public:
    explicit WipedBuffer(std::size_t size) : bytes_(size) {}
    ~WipedBuffer() { platform::secureWipe(bytes_.data(), bytes_.size()); }
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;
    std::uint8_t* data() { return bytes_.data(); }
    std::span<std::uint8_t> span() { return bytes_; }

  private:
    Bytes bytes_;
};

// Process-wide: the client of the last enumeration, its token paths, and the handles that
// are out. Enumeration and connection come from one thread at a time; exchanges may come
// from several (each holds the client lock for its own).
struct State {
    std::mutex mutex;
    Timing timing;
    std::shared_ptr<ServiceClient> client;
    std::vector<std::string> paths;
    std::unordered_set<const TransportHandle*> handles;
};

State& state() {
    static State s;
    return s;
}

Bytes request(std::uint32_t command, std::uint32_t argument) {
    Bytes r(12, 0);
    store32(r, kCommandOffset, command);
    store32(r, kArgumentOffset, argument);
    return r;
}

// The handle of ours that `handle` points at, or null. The pointer is looked up before it is
// read: a freed or foreign one is never dereferenced.
DiskHandle* ownHandle(TransportHandle* handle) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (handle == nullptr || !s.handles.contains(handle)) return nullptr;
    if (handle->tag != TRANSPORT_TAG_DISK || handle->connection == 0) return nullptr;
    return reinterpret_cast<DiskHandle*>(handle);
}

// Asks for the path of each listed token and closes what that opened, all in one session so
// that no other client's enumeration reorders the table in between.
std::int32_t listPaths(ServiceClient& client, std::vector<std::string>& paths) {
    ServiceClient::Session session(client);
    if (!session.locked()) return -1;
    Bytes answer(12);
    if (session.call(request(kEnumerate, 0), answer) != ServiceClient::Outcome::Answered) {
        return -1;
    }
    if (const std::uint32_t result = load32(answer, kResultOffset); result != kOk) {
        return static_cast<std::int32_t>(result);
    }
    const std::uint32_t count = std::min<std::uint32_t>(load32(answer, kAnswerDataOffset), 16);
    Bytes opened(kAnswerDataOffset + 8 + kMaxPath + 4);
    for (std::uint32_t index = 0; index < count; ++index) {
        if (session.call(request(kOpenByIndex, index), opened) !=
            ServiceClient::Outcome::Answered) {
            return -1;
        }
        if (load32(opened, kResultOffset) != kOk) continue;  // listed, but cannot be opened now
        const std::uint32_t handle = load32(opened, kAnswerDataOffset);
        const std::uint32_t length = load32(opened, kAnswerDataOffset + 4);
        if (length > 0 && length <= kMaxPath) {
            const char* bytes =
                reinterpret_cast<const char*>(opened.data()) + kAnswerDataOffset + 8;
            std::string path(bytes, length);
            if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
        }
        Bytes closed(4);
        session.call(request(kClose, handle), closed);
    }
    return 0;
}

}  // namespace

void setTiming(Timing timing) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.timing = timing;
}

std::int32_t enumerate(std::int32_t* count) {
    if (count == nullptr) return -1;
    State& s = state();
    Timing timing;
    {
        std::lock_guard lock(s.mutex);
        s.paths.clear();
        timing = s.timing;
    }
    // Opened anew each time: a service started again since the last enumeration made new
    // objects (on Linux the old names are gone).
    std::shared_ptr<ServiceClient> client = ServiceClient::connect(timing);
    if (!client) return -1;
    std::vector<std::string> paths;
    if (const std::int32_t r = listPaths(*client, paths); r != 0) return r;
    std::lock_guard lock(s.mutex);
    s.client = client;
    s.paths = std::move(paths);
    *count = static_cast<std::int32_t>(s.paths.size());
    return 0;
}

std::int32_t connect(TransportHandle** handle, char* identification, std::int32_t index) {
    if (handle == nullptr) return -1;
    State& s = state();
    std::shared_ptr<ServiceClient> client;
    std::string path;
    {
        std::lock_guard lock(s.mutex);
        if (index < 0 || static_cast<std::size_t>(index) >= s.paths.size() || !s.client) return -1;
        client = s.client;
        path = s.paths[static_cast<std::size_t>(index)];
    }
    Bytes r(kPathOffset + path.size(), 0);
    store32(r, kCommandOffset, kOpenByPath);
    store32(r, kArgumentOffset, static_cast<std::uint32_t>(path.size()));
    std::copy(path.begin(), path.end(), r.begin() + kPathOffset);
    Bytes answer(12);
    if (client->call(r, answer) != ServiceClient::Outcome::Answered) return TRANSPORT_DEVICE_LOST;
    if (const std::uint32_t result = load32(answer, kResultOffset); result != kOk) {
        return static_cast<std::int32_t>(result);
    }
    const std::uint32_t value = load32(answer, kAnswerDataOffset);
    if (value == 0) return TRANSPORT_DEVICE_LOST;

    auto made = std::make_unique<DiskHandle>();
    made->record.tag = TRANSPORT_TAG_DISK;
    made->record.connection = value;
    made->record.lock = client.get();
    made->client = std::move(client);
    if (identification != nullptr) std::memcpy(identification, path.data(), path.size());
    {
        std::lock_guard lock(s.mutex);
        s.handles.insert(&made->record);
    }
    *handle = &made.release()->record;
    return 0;
}

std::int32_t disconnect(TransportHandle* handle) {
    if (handle == nullptr) return 0;
    DiskHandle* own = ownHandle(handle);
    if (own == nullptr) return -1;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        s.handles.erase(handle);
    }
    std::unique_ptr<DiskHandle> owned(own);
    // The service closes the disk; if it cannot be reached, its handle is gone with it.
    Bytes answer(4);
    owned->client->call(request(kClose, static_cast<std::uint32_t>(owned->record.connection)),
                        answer);
    return 0;
}

std::int32_t doCommand(TransportHandle* handle, const std::uint8_t* command,
                       std::int32_t commandLength, std::uint8_t* reply, std::int32_t* replyLength) {
    DiskHandle* own = ownHandle(handle);
    if (own == nullptr || command == nullptr || commandLength <= 0 ||
        static_cast<std::uint32_t>(commandLength) > kMaxCommandData || reply == nullptr ||
        replyLength == nullptr) {
        return -1;
    }
    // Commands and replies may carry PIN proofs, key material or deciphered data: both
    // buffers are wiped before their memory goes back (one pair per exchange; thread-local
    // storage would be torn down in an order that crashes a DLL its host unloads).
    WipedBuffer r(kDataOffset + static_cast<std::size_t>(commandLength));
    WipedBuffer answer(kSize);
    store32(r.span(), kCommandOffset, kExchange);
    store32(r.span(), kArgumentOffset, static_cast<std::uint32_t>(own->record.connection));
    store32(r.span(), kLengthOffset, static_cast<std::uint32_t>(commandLength));
    std::memcpy(r.data() + kDataOffset, command, static_cast<std::size_t>(commandLength));
    switch (own->client->call(r.span(), answer.span(), ServiceClient::Wipe::Afterwards)) {
        case ServiceClient::Outcome::Answered:
            break;
        case ServiceClient::Outcome::Locked:
            return -1;
        default:
            return TRANSPORT_DEVICE_LOST;
    }
    // A failed pass-through, or a handle the service no longer knows (it was restarted or
    // closed the disk): either way the device is gone for this handle.
    if (load32(answer.span(), kResultOffset) != kOk) return TRANSPORT_DEVICE_LOST;
    const std::uint32_t length = load32(answer.span(), kAnswerLengthOffset);
    if (length < 2 || length > kMaxResponse) return TRANSPORT_DEVICE_LOST;
    const std::uint8_t* received = answer.data() + kAnswerDataOffset;
    const std::size_t dataLength = length - 2;
    std::memcpy(reply, received, dataLength);
    *replyLength = static_cast<std::int32_t>(dataLength);
    return received[dataLength] * 256 + received[dataLength + 1];
}

}  // namespace disklink
