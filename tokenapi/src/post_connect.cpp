#include "post_connect.h"

#include "commands.h"

namespace tokenapi {
namespace {

constexpr uint16_t kStartupFile = 0xFFEE;
constexpr uint16_t kApplicationDirectory = 0x00A0;
constexpr uint8_t kApplicationRecords = 4;
constexpr uint8_t kApplicationRecordLength = 128;

}  // namespace

void postConnectSelection(TransportHandle* t) {
    if (!transmit(t, cmd::select(kStartupFile)).ok()) return;
    Response lengthByte = transmit(t, cmd::readBinary(0, 1));
    if (!lengthByte.ok() || lengthByte.value.empty()) return;
    // The block is read and discarded; a block of length 0 has nothing to read (Le 0 would
    // ask for 256 bytes and end the selection before the application is reached).
    if (uint8_t blockLength = lengthByte.value[0]; blockLength != 0) {
        if (!transmit(t, cmd::readBinary(1, blockLength)).ok()) return;
    }

    if (!transmit(t, cmd::select(kApplicationDirectory)).ok()) return;
    for (uint8_t record = 1; record <= kApplicationRecords; ++record) {
        Response r = transmit(t, cmd::readRecord(record, kApplicationRecordLength));
        if (!r.ok() || r.value.size() < 4) return;
        if (r.value[0] == 1 && r.value[3] != 0) {
            transmit(t, cmd::select(static_cast<uint16_t>(r.value[1] << 8 | r.value[2])));
            return;
        }
    }
}

}  // namespace tokenapi
