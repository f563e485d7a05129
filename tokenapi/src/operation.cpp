#include "operation.h"

#include <algorithm>

#include "commands.h"

namespace tokenapi {

int32_t LockedDevice::select(uint16_t fileId) {
    return send(cmd::select(fileId)).result;
}

int32_t LockedDevice::updateInPieces(size_t at, ByteView data) {
    constexpr size_t kPiece = 128;
    for (size_t done = 0; done < data.size();) {
        const size_t piece = std::min(kPiece, data.size() - done);
        Response r =
            send(cmd::updateBinary(static_cast<uint16_t>(at + done), data.subspan(done, piece)));
        if (!r.ok()) return r.result;
        done += piece;
    }
    return 0;
}

}  // namespace tokenapi
