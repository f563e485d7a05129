#include "vtoken/standin_framer.h"

namespace vtoken {

void StandinFramer::restart() {
    reader_ = standin::FrameReader(kHostTypes);
}

Bytes StandinFramer::receive(ByteView bytes, CardPort& card) {
    Bytes out;
    while (!bytes.empty()) {
        std::size_t used = 0;
        const standin::FrameReader::State state = reader_.feed(bytes, used);
        bytes = bytes.subspan(used);
        if (state == standin::FrameReader::State::Broken) {
            restart();
            throw FramingError("not the SD-card stand-in protocol");
        }
        if (state == standin::FrameReader::State::Incomplete) break;

        Bytes answer;
        if (reader_.header().type == standin::kProbe) {
            answer = standin::encode(standin::kPresent, Bytes{standin::kVersion});
        } else {
            if (reader_.payload().empty()) {
                restart();
                throw FramingError("an empty command");
            }
            const std::optional<Bytes> reply = card.command(reader_.payload());
            if (!reply) {
                restart();  // pulled: nothing more is answered
                return out;
            }
            answer = standin::encode(standin::kReply, *reply);
        }
        reader_.next();
        out.insert(out.end(), answer.begin(), answer.end());
    }
    return out;
}

}  // namespace vtoken
