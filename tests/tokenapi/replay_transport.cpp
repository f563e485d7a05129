#include "replay_transport.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "transports/transport.h"

namespace replay {
Script& script() {
    static Script s;
    return s;
}
}  // namespace replay

namespace {

std::mutex& scriptLock() {
    static std::mutex m;
    return m;
}

int32_t enumerate(int32_t* count, int32_t devices) {
    *count = devices;
    return 0;
}

int32_t connect(char tag, TransportHandle** handle, int32_t index, int32_t devices) {
    if (index < 0 || index >= devices) return -1;
    *handle = new TransportHandle{tag, 1, nullptr};
    std::lock_guard guard(scriptLock());
    ++replay::script().connects;
    replay::script().connected.emplace_back(tag, index);
    return 0;
}

int32_t disconnect(char tag, TransportHandle* handle) {
    if (handle == nullptr) return 0;
    if (handle->tag != tag) return -1;
    delete handle;
    std::lock_guard guard(scriptLock());
    ++replay::script().disconnects;
    return 0;
}

int32_t doCommand(const uint8_t* command, int32_t length, uint8_t* reply, int32_t* replyLength) {
    auto& s = replay::script();
    const std::vector<uint8_t> sent(command, command + length);
    std::function<void(const std::vector<uint8_t>&)> during;
    {
        std::lock_guard guard(scriptLock());
        s.sent.push_back(sent);
        during = s.duringExchange;
    }
    if (during) during(sent);
    std::unique_lock guard(scriptLock());
    if (s.throwOnExchange) throw std::bad_alloc();
    if (s.replies.empty()) return -1;
    replay::Reply r = s.replies.front();
    s.replies.pop_front();
    guard.unlock();
    std::copy(r.data.begin(), r.data.end(), reply);
    *replyLength = r.reportedLength >= 0 ? r.reportedLength : static_cast<int32_t>(r.data.size());
    return r.result;
}

}  // namespace

extern "C" {
// The disk library's enumeration fails; the others report the script's device counts.
int32_t CKEY_EnumDEV(int32_t* count) {
    return enumerate(count, replay::script().devices);
}
int32_t CKEY_Connect(TransportHandle** h, char*, int32_t i) {
    return connect('C', h, i, replay::script().devices);
}
int32_t CKEY_Disconnect(TransportHandle* h) {
    return disconnect('C', h);
}
int32_t CKEY_DoCommand(TransportHandle*, const uint8_t* c, int32_t n, uint8_t* r, int32_t* rn) {
    return doCommand(c, n, r, rn);
}
int32_t NDKEY_EnumDEV(int32_t* count) {
    return enumerate(count, replay::script().driverDevices);
}
int32_t NDKEY_Connect(TransportHandle** h, char*, int32_t i) {
    return connect('D', h, i, replay::script().driverDevices);
}
int32_t NDKEY_Disconnect(TransportHandle* h) {
    return disconnect('D', h);
}
int32_t NDKEY_DoCommand(TransportHandle*, const uint8_t* c, int32_t n, uint8_t* r, int32_t* rn) {
    return doCommand(c, n, r, rn);
}
int32_t HKEY_EnumDEV(int32_t*) {
    return -1;
}
int32_t HKEY_Connect(TransportHandle**, char*, int32_t) {
    return -1;
}
int32_t HKEY_Disconnect(TransportHandle* h) {
    return disconnect('H', h);
}
int32_t HKEY_DoCommand(TransportHandle*, const uint8_t*, int32_t, uint8_t*, int32_t*) {
    return -1;
}
int32_t MDKEY_EnumDEV(int32_t* count) {
    return enumerate(count, replay::script().sdDevices);
}
int32_t MDKEY_Connect(TransportHandle** h, char*, int32_t i) {
    return connect('M', h, i, replay::script().sdDevices);
}
int32_t MDKEY_Disconnect(TransportHandle* h) {
    return disconnect('M', h);
}
int32_t MDKEY_DoCommand(TransportHandle*, const uint8_t* c, int32_t n, uint8_t* r, int32_t* rn) {
    return doCommand(c, n, r, rn);
}
}
