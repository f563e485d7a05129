// The machine-wide names under which the key service and its clients meet.
#pragma once

#include "diskgate/request_record.h"
#include "platform/service_channel.h"

namespace diskgate {

inline platform::ChannelNames channelNames() {
    return {"Global\\TV-REQ-EVENT", "Global\\TV-ANS-EVENT", "Global\\TV-MAPFILE", record::kSize};
}

}  // namespace diskgate
