#pragma once

#include "vtoken/framer.h"

namespace vtoken {

// The frame of the token's own device driver: the host writes 0xA5, the command's length
// (16-bit little-endian) and the command; the card answers 0x5A, the reply's length and the
// reply data with the status word. Another first byte, or an empty command, is not this frame.
// A reply longer than the length field can carry goes back as 6700.
class DriverFramer : public Framer {
  public:
    void restart() override { pending_.clear(); }
    Bytes receive(ByteView bytes, CardPort& card) override;
    std::unique_ptr<Framer> another() const override { return std::make_unique<DriverFramer>(); }

  private:
    Bytes pending_;
};

}  // namespace vtoken
