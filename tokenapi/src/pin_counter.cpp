#include "pin_counter.h"

#include "commands.h"
#include "status_words.h"

namespace tokenapi {
namespace {
constexpr uint16_t kCounterFile = 0x0020;
}  // namespace

PinCounterReply readPinCounter(Session& session, uint8_t pinNumber) {
    Response r = session.send(cmd::pinRetryCounter(pinNumber));
    if (r.ok()) {
        if (r.data.size() < 2) return {-1};
        return {0, static_cast<uint8_t>(r.data[0] * 16 + r.data[1]), false};
    }
    if (r.result != kSwInsNotSupported) return {r.result};

    if (int32_t s = session.select(kCounterFile); s != 0) return {s};
    Response file = session.send(cmd::readBinary(0, 2));
    if (!file.ok()) return {file.result};
    if (file.data.size() < 2) return {-1};
    return {0, file.data[pinNumber == 1 ? 0 : 1], true};
}

}  // namespace tokenapi
