// A transport that plays back scripted replies and records what the host sent, standing in for
// all four transport libraries, so the key API's exchange rules can be tested without a token.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace replay {

struct Reply {
    Reply(int32_t r, std::vector<uint8_t> d = {}, int32_t length = -1)
        : result(r), data(std::move(d)), reportedLength(length) {}
    int32_t result;             // what DoCommand returns
    std::vector<uint8_t> data;  // what it copies out
    int32_t reportedLength;     // the length it reports; -1 = data.size()
};

struct Script {
    int32_t devices = 1;        // what the 'C' library's EnumDEV reports
    int32_t driverDevices = 0;  // ... the 'D' library's
    int32_t sdDevices = 0;      // ... the 'M' library's (the 'H' library's EnumDEV fails)
    // Every successful Connect: the library's tag and the index it was given.
    std::vector<std::pair<char, int32_t>> connected;
    std::deque<Reply> replies;
    std::vector<std::vector<uint8_t>> sent;
    // DoCommand throws std::bad_alloc: where an allocation failure inside the key API would
    // leave the exchange path.
    bool throwOnExchange = false;
    // Called with each command before its reply is taken, outside the transport's own lock:
    // a test can hold an exchange there while other threads act on the same handle.
    std::function<void(const std::vector<uint8_t>&)> duringExchange;
    int connects = 0;
    int disconnects = 0;
};

// The script the replay transport runs; reset it between tests. The transport's functions may
// run on several threads at once and take a lock of their own around every access; a test
// changes the script only while no other thread uses the transport.
Script& script();

}  // namespace replay
