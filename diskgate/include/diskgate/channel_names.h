// The machine-wide names under which the key service and its clients meet.
#pragma once

#include "diskgate/request_record.h"
#include "platform/service_channel.h"

namespace diskgate {

// Held by the service's worker for as long as it serves: a client that can take it knows at
// once that no service is there (also when a service died and left its other objects behind,
// kept alive by clients), instead of waiting for an answer that cannot come.
inline constexpr char kServiceRunningMutex[] = "Global\\TV-SERVICE-MUTEX";

inline platform::ChannelNames channelNames() {
    return {"Global\\TV-REQ-EVENT", "Global\\TV-ANS-EVENT", "Global\\TV-MAPFILE", record::kSize};
}

}  // namespace diskgate
