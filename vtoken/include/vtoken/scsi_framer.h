#pragma once

#include <memory>

#include "vtoken/framer.h"

namespace vtoken {

// The token as a USB disk: the host wraps each command in a vendor SCSI block, and fetches the
// answer with another. Vendor block, 10 bytes: FF "QXKEY", the direction (2: send, the data
// that comes with it is one command; 1: receive, room for the answer), the transfer length
// little-endian (the reverse of the usual SCSI order), FF.
//
// On a byte stream each block travels as one message each way, numbers little-endian:
//   from the host: the 10-byte block, a 32-bit data length, the data (a send's command)
//   to the host:   the SCSI status byte, a 32-bit data length, the data (a receive's answer)
// A send runs the command and keeps its answer; the next receive hands it out (at most as many
// bytes as it has room for) and forgets it, and a receive with nothing kept hands out nothing.
// A block that is not the vendor's, a send whose data does not match its length, or a receive
// that brings data is answered CHECK CONDITION (02) and changes nothing. A data length above
// 0xFFFF cannot come from a block and ends the connection.
class ScsiFramer : public Framer {
  public:
    static constexpr std::uint8_t kGood = 0x00;
    static constexpr std::uint8_t kCheckCondition = 0x02;

    void restart() override {
        pending_.clear();
        answer_.clear();
    }
    Bytes receive(ByteView bytes, CardPort& card) override;
    std::unique_ptr<Framer> another() const override { return std::make_unique<ScsiFramer>(); }

  private:
    // One complete message; false when the card was pulled.
    bool serve(ByteView block, ByteView data, CardPort& card, Bytes& out);

    Bytes pending_;  // bytes of a message not yet whole
    Bytes answer_;   // the last command's answer, until a receive fetches it
};

}  // namespace vtoken
