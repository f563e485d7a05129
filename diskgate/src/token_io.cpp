#include "token_io.h"

#include <array>

namespace diskgate {
namespace {

constexpr std::array<std::uint8_t, 5> kProbeCommand = {0xBF, 0xC8, 0x00, 0x00, 0x0F};
constexpr std::size_t kProbeRoom = 256;
constexpr std::uint8_t kRejectedLow = 0x29;
constexpr std::uint8_t kRejectedHigh = 0x50;

}  // namespace

SystemError transferError(const Transfer& transfer, std::size_t requested) {
    if (transfer.error != kSuccess) return transfer.error;
    if (transfer.transferred == 0 || transfer.transferred > requested) return kErrorIoDevice;
    return kSuccess;
}

std::uint32_t probeToken(OpenDisk& disk) {
    std::array<std::uint8_t, kProbeCommand.size()> command = kProbeCommand;
    if (SystemError e = transferError(disk.passThrough(Direction::Send, command), command.size())) {
        return e;
    }
    std::array<std::uint8_t, kProbeRoom> answer{};
    const Transfer received = disk.passThrough(Direction::Receive, answer);
    if (SystemError e = transferError(received, answer.size())) return e;
    const std::size_t n = received.transferred;
    if (n <= 2) return 2;
    const std::uint32_t sw = static_cast<std::uint32_t>(answer[n - 2]) << 8 | answer[n - 1];
    if (sw != 0x9000) return sw;
    return answer[1] >= kRejectedLow && answer[1] <= kRejectedHigh ? 1 : 0;
}

ExchangeResult exchangeApdu(OpenDisk& disk, std::span<std::uint8_t> command,
                            std::span<std::uint8_t> response) {
    if (SystemError e = transferError(disk.passThrough(Direction::Send, command), command.size())) {
        return {e, 0};
    }
    const Transfer received = disk.passThrough(Direction::Receive, response);
    if (SystemError e = transferError(received, response.size())) return {e, 0};
    return {kSuccess, received.transferred};
}

}  // namespace diskgate
