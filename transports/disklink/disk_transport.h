// The transport for the disk-class token: every operation is a request to the key service,
// which opens the disk and carries the commands to it.
#pragma once

#include <cstdint>
#include <memory>

#include "service_client.h"
#include "transports/transport.h"

namespace disklink {

// How long to wait for the service; tests shorten it.
void setTiming(Timing timing);

std::int32_t enumerate(std::int32_t* count);
std::int32_t connect(TransportHandle** handle, char* identification, std::int32_t index);
std::int32_t disconnect(TransportHandle* handle);
std::int32_t doCommand(TransportHandle* handle, const std::uint8_t* command,
                       std::int32_t commandLength, std::uint8_t* reply, std::int32_t* replyLength);

}  // namespace disklink
