#include "commands.h"

namespace tokenapi::cmd {

Command select(uint16_t fileId) {
    const uint8_t fid[2] = {static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId)};
    return Command::shortData(0x00, 0xA4, 0x00, 0x00, fid).following(FollowUp::Accept61xx);
}

Command readBinary(uint16_t offset, uint8_t le) {
    return Command::header(0x00, 0xB0, static_cast<uint8_t>(offset >> 8),
                           static_cast<uint8_t>(offset), le);
}

Command readBinaryShortId(uint8_t shortId, uint8_t offset, uint8_t le) {
    return Command::header(0x00, 0xB0, static_cast<uint8_t>(0x80 | shortId), offset, le);
}

Command updateBinary(uint16_t offset, ByteView data) {
    return Command::shortData(0x00, 0xD6, static_cast<uint8_t>(offset >> 8),
                              static_cast<uint8_t>(offset), data);
}

Command readRecord(uint8_t record, uint8_t le) {
    return Command::header(0x00, 0xB2, record, 0x04, le);
}

Command updateRecord(uint8_t record, ByteView data) {
    return Command::shortData(0x00, 0xDC, record, 0x04, data);
}

Command getResponse(uint8_t le) {
    return Command::header(0x00, 0xC0, 0x00, 0x00, le);
}

Command getChallenge() {
    return Command::header(0x00, 0x84, 0x00, 0x00, 0x08);
}

Command externalAuthenticate(uint8_t keyNumber, ByteView cryptogram) {
    return Command::shortData(0x00, 0x82, 0x00, keyNumber, cryptogram);
}

Command createFile(ByteView controlData) {
    return Command::shortData(0x80, 0xE0, 0x00, 0x03, controlData);
}

Command writeKey(uint8_t p1, uint8_t keyNumber, ByteView keyRecord) {
    return Command::shortData(0x80, 0xD4, p1, keyNumber, keyRecord);
}

Command deviceStatus() {
    return Command::header(0xBF, 0xC8, 0x00, 0x00, 0x0F);
}

Command serialNumber() {
    return Command::header(0xBF, 0xC4, 0x00, 0x00, 0x0A);
}

Command largestBlock() {
    return Command::header(0xBF, 0xC0, 0x00, 0x00, 0x04);
}

Command pinRetryCounter(uint8_t pinNumber) {
    return Command::header(0xBF, 0x20, 0x00, pinNumber, 0x02);
}

Command clearDevice(bool sdCardToken) {
    return Command::header(0xBF, sdCardToken ? 0x74 : 0x64, 0x00, 0x01, 0x00);
}

}  // namespace tokenapi::cmd
