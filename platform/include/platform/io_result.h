// How a bounded read or write on a connection or a device ended.
#pragma once

namespace platform {

enum class IoResult {
    Done,     // everything asked for was moved
    Closed,   // the peer closed the connection, or the device went away
    Timeout,  // the limit passed first; part of the bytes may have moved
    Failed,   // any other failure
};

}  // namespace platform
