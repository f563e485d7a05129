// Routing to the four transport libraries. A handle's first byte names the library that made
// it; the device numbering runs across the libraries in the fixed order H, D, C, M.
#pragma once

#include <array>
#include <cstdint>

#include "transports/transport.h"

namespace tokenapi::route {

inline constexpr std::array<char, 4> kEnumerationOrder = {TRANSPORT_TAG_DISK, TRANSPORT_TAG_DRIVER,
                                                          TRANSPORT_TAG_PCSC, TRANSPORT_TAG_SD};

int32_t enumerate(char tag, int32_t* count);
int32_t connect(char tag, TransportHandle** handle, char* identification, int32_t index);
// 0x10003 for a null handle or an unknown tag.
int32_t disconnect(TransportHandle* handle);
// -1 for a null handle or an unknown tag.
int32_t doCommand(TransportHandle* handle, const uint8_t* command, int32_t length, uint8_t* reply,
                  int32_t* replyLength);

}  // namespace tokenapi::route
