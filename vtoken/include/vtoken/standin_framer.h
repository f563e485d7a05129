#pragma once

#include "standin/protocol.h"
#include "vtoken/framer.h"

namespace vtoken {

// The loopback protocol of the SD-card stand-in libraries (standin/protocol.h): a type byte, a
// 4-byte big-endian length and the payload. A probe ('P') is answered with 'P' and the protocol
// version; a command ('A') with 'R', the reply data and the status word. Another type, an empty
// command or a length over the protocol's limit is not this protocol.
class StandinFramer : public Framer {
  public:
    void restart() override;
    Bytes receive(ByteView bytes, CardPort& card) override;
    std::unique_ptr<Framer> another() const override { return std::make_unique<StandinFramer>(); }

  private:
    standin::FrameReader reader_{kHostTypes};
    static constexpr std::uint8_t kHostTypes[] = {standin::kProbe, standin::kCommand};
};

}  // namespace vtoken
