#pragma once

#include "vtoken/framer.h"

namespace vtoken {

// vpcd's protocol: every message both ways is a 2-byte big-endian length and the payload.
// One-byte payloads from vpcd are control messages: 00 power off, 01 power on, 02 reset, 04 get
// ATR (answered with the ATR); longer ones are commands, answered with reply data and status
// word. Empty payloads and unknown control bytes are ignored.
class VpcdFramer : public Framer {
  public:
    void restart() override { pending_.clear(); }
    Bytes receive(ByteView bytes, CardPort& card) override;
    std::unique_ptr<Framer> another() const override { return std::make_unique<VpcdFramer>(); }

  private:
    Bytes pending_;
};

}  // namespace vtoken
