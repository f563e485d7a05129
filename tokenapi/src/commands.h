// The commands of the device, PIN, file and container operations, each built in one place.
// The cryptographic command families get files of their own. A builder declares its reply
// buffer when it is not the default 256 bytes, and its follow-up rule (SELECT accepts 61xx).
#pragma once

#include <array>
#include <cstdint>

#include "apdu.h"

namespace tokenapi::cmd {

// ISO 7816-4 basic commands.
Command select(uint16_t fileId);
Command readBinary(uint16_t offset, uint8_t le);
// READ BINARY of a file named by its short identifier (P1 = 0x80 + identifier).
Command readBinaryShortId(uint8_t shortId, uint8_t offset, uint8_t le);
Command updateBinary(uint16_t offset, ByteView data);
Command readRecord(uint8_t record, uint8_t le);
Command updateRecord(uint8_t record, ByteView data);
Command getResponse(uint8_t le);
Command getChallenge();
Command externalAuthenticate(uint8_t keyNumber, ByteView cryptogram);

// The token's own commands.
Command createFile(ByteView controlData);
Command writeKey(uint8_t p1, uint8_t keyNumber, ByteView keyRecord);
Command deviceStatus();
Command serialNumber();
Command largestBlock();
Command pinRetryCounter(uint8_t pinNumber);
Command clearDevice(bool sdCardToken);

}  // namespace tokenapi::cmd
