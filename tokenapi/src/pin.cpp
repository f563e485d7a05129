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
    if ((result & 0xFFF0) == 0x63C0) {
        if (retry != nullptr) *retry = static_cast<uint32_t>(result & 0x0F);
        return XR_PIN_INCORRECT;
    }
    if (result == kSwPinBlocked) {
        if (retry != nullptr) *retry = 0;
        return XR_PIN_BLOCKED;
    }
    return result;
}

// A command carrying a key record: its bytes are wiped once it has been sent.
class SecretCommand {
  public:
    explicit SecretCommand(Command command) : command_(std::move(command)) {}
    ~SecretCommand() {
        const ByteView b = command_.bytes();
        crypto::secureWipe(const_cast<uint8_t*>(b.data()), b.size());
    }
    SecretCommand(const SecretCommand&) = delete;
    SecretCommand& operator=(const SecretCommand&) = delete;
    const Command& get() const { return command_; }

  private:
    Command command_;
};

int32_t proveOnToken(Session& s, uint32_t type, ByteView pinBytes) {
    if (int32_t r = selectApplication(s, pinDirectoryFor(effectivePinType(type))); r != 0) {
        return r;
    }
    const crypto::SecureBytes key = pin::verificationKey(pinBytes);
    Response challenge = s.send(cmd::getChallenge());
    if (!challenge.ok()) return challenge.result;
    auto answer = pin::answerChallenge(key, challenge.data);
    if (!answer) return -1;
    crypto::WipeGuard wipeAnswer(*answer);
    return s.send(cmd::externalAuthenticate(kPinKeyNumber, *answer)).result;
}

// WRITE KEY of a new PIN in the current directory; P1 follows the device generation.
int32_t writePinRecord(Session& s, int generation, uint8_t pinNumber, ByteView newPin) {
    const crypto::SecureBytes record = pin::keyRecord(newPin);
    const uint8_t p1 = generation == 1 ? 0x01 : 0x80;
    SecretCommand command(cmd::writeKey(p1, pinNumber, record));
    return rightsMapped(s.send(command.get()).result);
}

// Older tokens do not restore a counter themselves when a PIN is written; the host does it in
// their counter file 0020 (byte 0 the user PIN, byte 1 the administrator PIN).
int32_t restoreUserCounter(Session& s) {
    PinCounterReply counter = readPinCounter(s, kUserPin);
    if (counter.result != 0) return counter.result;
    const uint8_t allowed = counter.counter >> 4;
    if ((counter.counter & 0x0F) == allowed || !counter.fromFile) return 0;
    if (int32_t r = s.select(kCounterFile); r != 0) return r;
    const uint8_t full[1] = {static_cast<uint8_t>(allowed << 4 | allowed)};
    return rightsMapped(s.send(cmd::updateBinary(kUserPin - 1, full)).result);
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
    return noThrow([&]() -> int32_t {
        if (pinLength > pin::kMaxPinLength) return XR_PIN_TOO_LONG;
        if (!validPin(pin, pinLength)) return XR_BAD_PARAMETER;
        return runDeviceOp(device, Gate::None, [&](Session& s) -> int32_t {
            const int32_t r = proveOnToken(s, type, pinView(pin, pinLength));
            if (r != 0) return verificationResult(r, retry);
            s.device().userVerified = 1;
            s.device().adminVerified = 0;
            return 0;
        });
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

        if (int32_t r = X_VerifyPIN(device, type, oldPin, oldLength, retry); r != 0) return r;
        // The lock is released in between: the verification and the write are two operations.
        return runDeviceOp(device, Gate::None, [&](Session& s) -> int32_t {
            GenerationReply gen = readGeneration(s);
            if (gen.result != 0) return gen.result;
            const bool admin = type == XPIN_ADMIN;
            s.device().userVerified = admin ? 0 : 1;
            s.device().adminVerified = admin ? 1 : 0;
            return writePinRecord(s, gen.generation, admin ? kAdminPin : kUserPin, next);
        });
    });
}

XAPI X_UnblockPIN(DeviceHandle* device, const uint8_t* adminPin, uint32_t adminLength,
                  const uint8_t* newUserPin, uint32_t newLength, uint32_t* retry) {
    return noThrow([&]() -> int32_t {
        if (adminLength > pin::kMaxPinLength || newLength > pin::kMaxPinLength) {
            return XR_PIN_TOO_LONG;
        }
        if (!usable(device)) return XR_BAD_HANDLE;
        if (!validPin(newUserPin, newLength)) return XR_BAD_PARAMETER;
        const ByteView next = pinView(newUserPin, newLength);
        if (!pin::storableAsKeyRecord(next)) return XR_BAD_PARAMETER;

        // Without an administrator PIN the token's own security state decides the write.
        if (adminPin != nullptr && adminLength != 0) {
            if (int32_t r = X_VerifyPIN(device, XPIN_ADMIN, adminPin, adminLength, retry); r != 0) {
                return r;
            }
            device->adminVerified = 1;
            device->userVerified = 0;
        }
        return runDeviceOp(device, Gate::None, [&](Session& s) -> int32_t {
            GenerationReply gen = readGeneration(s);
            if (gen.result != 0) return gen.result;
            if (int32_t r = writePinRecord(s, gen.generation, kUserPin, next); r != 0) return r;
            return restoreUserCounter(s);
        });
    });
}

XAPI X_ClearSecureState(DeviceHandle* device) {
    // Only the handle forgets; the token keeps its state until a reset or directory change.
    return runDeviceOp(device, Gate::None, [](Session& s) {
        s.device().userVerified = 0;
        s.device().adminVerified = 0;
        return 0;
    });
}

}  // extern "C"
