// The cipher commands of the token, built in one place: the key and initial-value loads and
// the data command in its three framings, each offering the reply buffer of its form.
#pragma once

#include <cstdint>

#include "apdu.h"

namespace tokenapi::cmd {

enum class CipherForm {
    Short,     // 80 C6, Lc 1 byte; the reply comes back in at most 256 bytes (61xx fetched)
    TwoByte,   // 90 C6, length high low; reply buffer 5,120 bytes
    FourByte,  // 90 C6, 00 00 length high low; reply buffer 32,768 bytes
};

enum class CipherDirection : uint8_t { Encrypt = 0x00, Decrypt = 0x01 };

// 80 C6 code 02: the session key into the token's key register.
Command loadCipherKey(uint8_t algorithmCode, ByteView key);
// 80 C6 00 03: the 16-byte initial value for CBC.
Command loadInitialValue(ByteView initialValue);
// The data command: P1 00, P2 the direction, the data in the given framing.
Command cipherData(CipherForm form, CipherDirection direction, ByteView data);

// The most data one command of the form carries (its reply buffer holds as much).
size_t maxCipherData(CipherForm form);

}  // namespace tokenapi::cmd
