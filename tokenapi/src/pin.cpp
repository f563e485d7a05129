// PIN verification, change and unblocking, and the verified flags of a device handle.
#include <algorithm>

#include "application_directory.h"
#include "commands.h"
#include "crypto/secure_bytes.h"
#include "device_status.h"
#include "operation.h"
#include "pin_counter.h"
#include "pin_material.h"
#include "status_words.h"
#include "tokenapi.h"

using namespace tokenapi;

namespace {

constexpr uint8_t kPinKeyNumber = 2;
constexpr uint8_t kUserPin = 1;
constexpr uint8_t kAdminPin = 2;
constexpr uint16_t kCounterFile = 0x0020;

// The token answers a wrong PIN with 63Cx (x tries left) and a blocked one with 6983; callers
// get those as library codes, the tries left through their retry output.
int32_t verificationResult(int32_t result, uint32_t* retry) {
    const int32_t mapped = status::kPinProof.map(result);
    if (retry != nullptr) {
        if (mapped == XR_PIN_INCORRECT) *retry = static_cast<uint32_t>(result & 0x0F);
        if (mapped == XR_PIN_BLOCKED) *retry = 0;
    }
    return mapped;
}

// GET CHALLENGE and EXTERNAL AUTHENTICATE in the PIN directory the type names. The key, the
// challenge, the cryptogram and the commands and replies carrying them all live in wiping
// buffers, so they are cleared on every way out, an exception included.
int32_t proveOnToken(LockedDevice& s, uint32_t type, ByteView pinBytes) {
    if (int32_t r = selectApplication(s, pinDirectoryFor(effectivePinType(type))); r != 0) {
        return r;
    }
    const crypto::SecureBytes key = pin::verificationKey(pinBytes);
    Response challenge = s.send(cmd::getChallenge());
    if (!challenge.ok()) return challenge.result;
    auto answer = pin::answerChallenge(key, challenge.value);
    if (!answer) return -1;
    crypto::WipeGuard wipeAnswer(*answer);
    return s.send(cmd::externalAuthenticate(kPinKeyNumber, *answer)).result;
}

// X_VerifyPIN's work on a leased device.
int32_t verifyOn(DeviceHandle& device, uint32_t type, ByteView pinBytes, uint32_t* retry) {
    return runLeasedOp(device, {}, [&](LockedDevice& s) -> int32_t {
        const int32_t r = proveOnToken(s, type, pinBytes);
        if (r != 0) return verificationResult(r, retry);
        s.device().setVerified({.user = 1, .admin = 0});
        return 0;
    });
}

// WRITE KEY of a new PIN in the current directory; P1 follows the device generation.
int32_t writePinRecord(LockedDevice& s, int generation, uint8_t pinNumber, ByteView newPin) {
    const crypto::SecureBytes record = pin::keyRecord(newPin);
    const uint8_t p1 = generation == 1 ? 0x01 : 0x80;
    return status::kPinWrite.map(s.send(cmd::writeKey(p1, pinNumber, record)).result);
}

// Older tokens do not restore a counter themselves when a PIN is written; the host does it in
// their counter file 0020 (byte 0 the user PIN, byte 1 the administrator PIN).
int32_t restoreUserCounter(LockedDevice& s) {
    Result<PinCounter> counter = readPinCounter(s, kUserPin);
    if (!counter.ok()) return counter.result;
    const uint8_t allowed = counter.value.counter >> 4;
    if ((counter.value.counter & 0x0F) == allowed || !counter.value.fromFile) return 0;
    if (int32_t r = s.select(kCounterFile); r != 0) return r;
    const uint8_t full[1] = {static_cast<uint8_t>(allowed << 4 | allowed)};
    return status::kPinWrite.map(s.send(cmd::updateBinary(kUserPin - 1, full)).result);
}

bool validPin(const uint8_t* pin, uint32_t length) {
    return pin != nullptr || length == 0;
}

ByteView pinView(const uint8_t* pin, uint32_t length) {
    return length == 0 ? ByteView{} : ByteView(pin, length);
}

}  // namespace

extern "C" {

XAPI X_VerifyPIN(DeviceHandle* device, uint32_t type, const uint8_t* pin, uint32_t pinLength,
                 uint32_t* retry) {
    const int32_t arguments = pinLength > pin::kMaxPinLength ? XR_PIN_TOO_LONG
                              : !validPin(pin, pinLength)    ? XR_BAD_PARAMETER
                                                             : 0;
    return noThrow([&]() -> int32_t {
        if (arguments != 0) return arguments;
        DeviceLease lease;
        if (int32_t r = leaseDevice(device, LostDevice::Refused, lease); r != 0) return r;
        return verifyOn(*lease, type, pinView(pin, pinLength), retry);
    });
}

XAPI X_ChangePIN(DeviceHandle* device, uint32_t type, const uint8_t* oldPin, uint32_t oldLength,
                 const uint8_t* newPin, uint32_t newLength, uint32_t* retry) {
    return noThrow([&]() -> int32_t {
        if (oldLength > pin::kMaxPinLength || newLength > pin::kMaxPinLength) {
            return XR_PIN_TOO_LONG;
        }
        if (!validPin(oldPin, oldLength) || !validPin(newPin, newLength)) return XR_BAD_PARAMETER;
        const ByteView next = pinView(newPin, newLength);
        if (!pin::storableAsKeyRecord(next)) return XR_BAD_PARAMETER;

        // One lease for both operations; the lock is released in between.
        DeviceLease lease;
        if (int32_t r = leaseDevice(device, LostDevice::Refused, lease); r != 0) return r;
        if (int32_t r = verifyOn(*lease, type, pinView(oldPin, oldLength), retry); r != 0) {
            return r;
        }
        return runLeasedOp(*lease, {}, [&](LockedDevice& s) -> int32_t {
            Result<int> gen = readGeneration(s);
            if (!gen.ok()) return gen.result;
            const bool admin = type == XPIN_ADMIN;
            s.device().setVerified({.user = admin ? 0u : 1u, .admin = admin ? 1u : 0u});
            return writePinRecord(s, gen.value, admin ? kAdminPin : kUserPin, next);
        });
    });
}

XAPI X_UnblockPIN(DeviceHandle* device, const uint8_t* adminPin, uint32_t adminLength,
                  const uint8_t* newUserPin, uint32_t newLength, uint32_t* retry) {
    return noThrow([&]() -> int32_t {
        if (adminLength > pin::kMaxPinLength || newLength > pin::kMaxPinLength) {
            return XR_PIN_TOO_LONG;
        }
        DeviceLease lease;
        if (int32_t r = leaseDevice(device, LostDevice::Refused, lease); r != 0) return r;
        if (!validPin(newUserPin, newLength)) return XR_BAD_PARAMETER;
        const ByteView next = pinView(newUserPin, newLength);
        if (!pin::storableAsKeyRecord(next)) return XR_BAD_PARAMETER;

        // Without an administrator PIN the token's own security state decides the write.
        if (adminPin != nullptr && adminLength != 0) {
            if (int32_t r = verifyOn(*lease, XPIN_ADMIN, ByteView(adminPin, adminLength), retry);
                r != 0) {
                return r;
            }
            lease->setVerified({.user = 0, .admin = 1});
        }
        return runLeasedOp(*lease, {}, [&](LockedDevice& s) -> int32_t {
            Result<int> gen = readGeneration(s);
            if (!gen.ok()) return gen.result;
            if (int32_t r = writePinRecord(s, gen.value, kUserPin, next); r != 0) return r;
            return restoreUserCounter(s);
        });
    });
}

XAPI X_ClearSecureState(DeviceHandle* device) {
    // Only the handle forgets; the token keeps its state until a reset or directory change.
    return runDeviceOp(device, {}, [](LockedDevice& s) {
        s.device().setVerified({});
        return 0;
    });
}

}  // extern "C"
