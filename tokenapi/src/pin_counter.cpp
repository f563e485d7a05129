#include "pin_counter.h"

#include "commands.h"
#include "status_words.h"

namespace tokenapi {
namespace {
constexpr uint16_t kCounterFile = 0x0020;
}  // namespace

Result<PinCounter> readPinCounter(LockedDevice& device, uint8_t pinNumber) {
    Response r = device.send(cmd::pinRetryCounter(pinNumber));
    if (r.ok()) {
        if (r.value.size() < 2) return {-1};
        return {0, {static_cast<uint8_t>(r.value[0] * 16 + r.value[1]), false}};
    }
    if (r.result != kSwInsNotSupported) return {r.result};

    if (int32_t s = device.select(kCounterFile); s != 0) return {s};
    Response file = device.send(cmd::readBinary(0, 2));
    if (!file.ok()) return {file.result};
    if (file.value.size() < 2) return {-1};
    return {0, {file.value[pinNumber == 1 ? 0 : 1], true}};
}

}  // namespace tokenapi
