// The bed's own PC/SC view, independent of the transport under test: what pcscd lists and
// which ATR each reader's card shows.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testbed {

class PcscProbe {
  public:
    // Connects to the pcscd named by PCSCLITE_CSOCK_NAME, retrying until the limit.
    // Throws std::runtime_error when it cannot.
    explicit PcscProbe(std::chrono::milliseconds limit);
    ~PcscProbe();
    PcscProbe(const PcscProbe&) = delete;
    PcscProbe& operator=(const PcscProbe&) = delete;

    std::vector<std::string> readers() const;  // empty when there are none
    // The ATR of the card in the reader, or nothing when no card is present.
    std::optional<std::vector<std::uint8_t>> atr(const std::string& reader) const;

  private:
    long context_ = 0;
};

}  // namespace testbed
