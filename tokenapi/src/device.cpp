// Enumeration, connection and the device-level operations of the key API.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include "cipher_session.h"
#include "commands.h"
#include "device_list.h"
#include "device_status.h"
#include "hex.h"
#include "operation.h"
#include "pin_counter.h"
#include "post_connect.h"
#include "status_words.h"
#include "tokenapi.h"
#include "transport_route.h"

using namespace tokenapi;

namespace {

constexpr uint16_t kMasterFile = 0x3F00;
constexpr uint16_t kLabelFile = 0x00E1;
constexpr uint16_t kContainerDirectory = 0x00E2;
constexpr uint8_t kDirectoryRecordLength = 128;
constexpr size_t kLabelRecordLength = 128;
constexpr uint32_t kMaxLabel = 64;
constexpr size_t kSerialLength = 10;
// Largest command the exchange accepts: header, a four-byte length field, 65,535 data bytes.
constexpr uint32_t kMaxCommand = 4 + 4 + 0xFFFF;

constexpr char kDeviceName[] = "QRBNKEY";

// The token's own report of whether its user PIN is verified: 1 or 0.
Result<uint8_t> querySecurityState(LockedDevice& s) {
    // One status record tells both the generation and, on generation 2, the state.
    Result<DeviceStatus> st = readDeviceStatus(s);
    if (!st.ok()) return {st.result};
    const int generation = st.value.generation();
    if (generation == 0) return {-1};
    if (generation == 2) {
        const uint8_t state = st.value.securityState();
        if (state > 2) return {state};
        return {0, static_cast<uint8_t>(state == 1 ? 1 : 0)};
    }
    // Generation 1 has no such report: rewriting the container directory's first record with
    // its own bytes is allowed exactly when the user PIN is verified, and changes nothing.
    if (int32_t r = s.select(kContainerDirectory); r != 0) return {r};
    Response rec = s.send(cmd::readRecord(1, kDirectoryRecordLength));
    if (!rec.ok()) return {rec.result};
    // Anything shorter written back would not be the record unchanged.
    if (rec.value.size() != kDirectoryRecordLength) return {-1};
    Response probe = s.send(cmd::updateRecord(1, rec.value));
    if (probe.ok()) return {0, 1};
    if (probe.result == kSwSecurityNotSatisfied) return {0, 0};
    return {probe.result};
}

// A transport connection that X_ConnectDEV has not handed out yet: released again on every
// path out of the connect that does not end in a device handle.
class PendingTransport {
  public:
    PendingTransport() = default;
    ~PendingTransport() {
        if (handle_ != nullptr) route::disconnect(handle_);
    }
    PendingTransport(const PendingTransport&) = delete;
    PendingTransport& operator=(const PendingTransport&) = delete;
    TransportHandle** out() { return &handle_; }
    TransportHandle* get() const { return handle_; }
    TransportHandle* release() { return std::exchange(handle_, nullptr); }

  private:
    TransportHandle* handle_ = nullptr;
};

// Writes `text` plus a terminator; the caller's buffer must hold 2 x 10 + 1 bytes.
int32_t serialInfo(LockedDevice& s, uint8_t* buffer, uint32_t* length) {
    Response r = s.send(cmd::serialNumber());
    if (!r.ok()) return r.result;
    if (r.value.size() > kSerialLength) return -1;
    const std::string hex = toHexLower(r.value);
    std::memcpy(buffer, hex.c_str(), hex.size() + 1);
    *length = static_cast<uint32_t>(hex.size());
    return 0;
}

}  // namespace

extern "C" {

XAPI X_EnumDEV(uint32_t /*reserved*/, uint32_t* count) {
    return noThrow([&] {
        const uint32_t total = enumerateDevices();
        if (count != nullptr) *count = total;
        return 0;
    });
}

XAPI X_ConnectDEV(DeviceHandle** device, int32_t number) {
    return noThrow([&]() -> int32_t {
        const DeviceSlot slot = slotOf(number);
        if (slot.tag == '\0') return XR_DEVICE_LOST;
        if (device == nullptr) return XR_BAD_HANDLE;

        std::array<char, TRANSPORT_ID_BUFFER_SIZE> identification{};
        PendingTransport transport;
        if (int32_t r =
                route::connect(slot.tag, transport.out(), identification.data(), slot.index);
            r != 0) {
            transport.release();  // a failed Connect hands out nothing
            return r;
        }
        postConnectSelection(transport.get());

        std::shared_ptr<platform::NamedMutex> lock =
            platform::NamedMutex::openOrCreate(kKeyApiLockName);
        if (!lock) return XR_LOCK_UNAVAILABLE;
        auto made = std::make_unique<DeviceHandle>(number, transport.get(), std::move(lock));
        transport.release();  // the device handle owns the connection now
        DeviceHandle* handle = deviceHandles().add(std::move(made));

        uint8_t state = 0;
        uint32_t stateLength = 0;
        X_GetDEVInfo(handle, XINFO_SECURITY_STATE, &state, &stateLength);

        *device = handle;
        return 0;
    });
}

XAPI X_DisConnectDEV(DeviceHandle* device) {
    // Waits for the calls running on the handle; the transport connection closes with it.
    noThrow([&] {
        if (deviceHandles().retire(device)) cipher::releaseSessionsOf(device);
        return 0;
    });
    return 0;
}

XAPI X_TransmitCmd(DeviceHandle* device, const uint8_t* command, uint32_t commandLength,
                   uint8_t* reply, uint32_t* replyLength, int32_t* status) {
    const bool badArguments = command == nullptr || commandLength == 0 ||
                              commandLength > kMaxCommand || replyLength == nullptr ||
                              status == nullptr || (reply == nullptr && *replyLength != 0);
    // The raw exchange, under the lock but outside the device-operation pattern: a lost handle
    // has no lock to wait for (the wait fails), and a 0x10001 is reported, not acted on.
    return runHandleCall(device, LostDevice::Accepted,
                         {.afterHandle = badArguments ? XR_BAD_PARAMETER : 0},
                         [&](DeviceHandle& d) -> int32_t {
                             const std::shared_ptr<platform::NamedMutex> lock = d.keyApiLock();
                             if (!lock) return XR_LOCK_TIMEOUT;
                             RawReply raw;
                             {
                                 platform::NamedMutexGuard guard(*lock, kLockLimit);
                                 if (!guard.owns()) return XR_LOCK_TIMEOUT;
                                 raw = exchangeRaw(d.transport(), ByteView(command, commandLength));
                             }
                             *status = raw.result;
                             if (raw.data.size() > *replyLength) {
                                 *replyLength = static_cast<uint32_t>(raw.data.size());
                                 return XR_BAD_PARAMETER;
                             }
                             std::copy(raw.data.begin(), raw.data.end(), reply);
                             *replyLength = static_cast<uint32_t>(raw.data.size());
                             return 0;
                         });
}

XAPI X_GetDEVInfo(DeviceHandle* device, uint32_t type, uint8_t* buffer, uint32_t* length) {
    const bool known = type == XINFO_NAME || type == XINFO_TYPE2 || type == XINFO_TYPE3 ||
                       type == XINFO_SERIAL || type == XINFO_SECURITY_STATE ||
                       type == XINFO_ADMIN_RETRIES;
    const int32_t typeAndBuffer =
        !known ? XR_UNSUPPORTED : (buffer == nullptr || length == nullptr ? XR_BAD_PARAMETER : 0);
    const Checks checks{.afterHandle = typeAndBuffer};
    if (type == XINFO_TYPE2 || type == XINFO_TYPE3) {
        // Answered without the lock, also while another process holds it.
        return runHandleCall(device, LostDevice::Refused, checks, [&](DeviceHandle&) {
            buffer[0] = type == XINFO_TYPE2 ? 0x01 : 0x10;
            *length = 1;
            return 0;
        });
    }
    return runDeviceOp(device, checks, [&](LockedDevice& s) -> int32_t {
        switch (type) {
            case XINFO_NAME:
                std::memcpy(buffer, kDeviceName, sizeof kDeviceName - 1);
                *length = sizeof kDeviceName - 1;
                return 0;
            case XINFO_SERIAL:
                return serialInfo(s, buffer, length);
            case XINFO_SECURITY_STATE: {
                Result<uint8_t> st = querySecurityState(s);
                if (!st.ok()) return st.result;
                buffer[0] = st.value;
                *length = 1;
                s.device().setUserVerified(st.value);
                return 0;
            }
            default: {
                Result<PinCounter> c = readPinCounter(s, 2);
                if (!c.ok()) return c.result;
                buffer[0] = c.value.counter;
                *length = 1;
                return 0;
            }
        }
    });
}

XAPI X_SetDEVLabel(DeviceHandle* device, const uint8_t* label, uint32_t length) {
    const bool badLabel = length > kMaxLabel || (label == nullptr && length != 0);
    return runDeviceOp(device, {.afterHandle = badLabel ? XR_BAD_PARAMETER : 0},
                       [&](LockedDevice& s) -> int32_t {
                           Bytes record(kLabelRecordLength, 0);
                           record[0] = 0x01;
                           record[1] = static_cast<uint8_t>(length);
                           std::copy_n(label, length, record.begin() + 2);
                           int32_t result = s.select(kMasterFile);
                           if (result == 0) result = s.select(kLabelFile);
                           if (result == 0) result = s.send(cmd::updateBinary(0, record)).result;
                           postConnectSelection(s.transport());
                           return result;
                       });
}

XAPI X_GetDEVLabel(DeviceHandle* device, uint8_t* label, uint32_t* length) {
    const bool badArguments = label == nullptr || length == nullptr;
    return runDeviceOp(device, {.afterHandle = badArguments ? XR_BAD_PARAMETER : 0},
                       [&](LockedDevice& s) -> int32_t {
                           int32_t result = s.select(kMasterFile);
                           if (result == 0) result = s.select(kLabelFile);
                           Response r;
                           if (result == 0) {
                               r = s.send(cmd::readBinary(0, kLabelRecordLength));
                               result = r.result;
                           }
                           postConnectSelection(s.transport());
                           if (result != 0) return result;
                           // An unformatted label file (first byte not 1) reads as an empty label.
                           uint32_t n = 0;
                           if (r.value.size() >= 2 && r.value[0] == 0x01) {
                               n = std::min<uint32_t>({r.value[1], kMaxLabel,
                                                       static_cast<uint32_t>(r.value.size() - 2)});
                           }
                           std::copy_n(r.value.begin() + (n ? 2 : 0), n, label);
                           label[n] = 0;
                           *length = n;
                           return 0;
                       });
}

XAPI X_GetDEVTransport(DeviceHandle* device, char* tag) {
    return runHandleCall(device, LostDevice::Accepted,
                         {.afterHandle = tag == nullptr ? XR_BAD_PARAMETER : 0},
                         [&](DeviceHandle& d) {
                             *tag = d.tag();
                             return 0;
                         });
}

XAPI X_ClearDevice(DeviceHandle* device) {
    return runDeviceOp(device, {}, [](LockedDevice& s) {
        return s.send(cmd::clearDevice(s.tag() == TRANSPORT_TAG_SD)).result;
    });
}

XAPI X_InitDEVInfo(void) {
    return 0;
}
XAPI X_BeginTransaction(void) {
    return 0;
}
XAPI X_EndTransaction(void) {
    return 0;
}

}  // extern "C"
