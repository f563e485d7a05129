// The table of tokens found by the last discovery, in plug-in order: what "open by index"
// counts in, and the only paths "open by path" accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device_io.h"

namespace diskgate {

// Searched for in the upper-cased identity of every disk.
inline constexpr std::string_view kVendorMark = "VEN_TARVEX&PROD_USB_KEY";

struct TokenEntry {
    std::string path;
    std::uint64_t plugIn = 0;
};

class TokenTable {
  public:
    static constexpr std::size_t kCapacity = 16;
    // A slot holds at most this many path bytes (and its terminator).
    static constexpr std::size_t kMaxPath = 259;
    // Disks the system has no plug-in time for are placed after every disk that has one, in
    // the order the system lists the token's USB devices: their time is this plus that place.
    static constexpr std::uint64_t kPositionTimeBase = 0xFFFF'FFFF'0000'0000ULL;

    // Rebuilds the table: every disk whose identity carries the vendor mark, that answers the
    // probe as a token (or cannot be opened for another reason than access denied) and whose
    // plug-in time or place is known; at most 16, sorted by plug-in time (ties keep the
    // system's order). 0, or the error that ended the discovery: the table is then empty.
    SystemError discover(DeviceIo& io);

    std::size_t count() const { return entries_.size(); }
    const TokenEntry& at(std::size_t index) const { return entries_.at(index); }
    // True when `path` is, byte for byte, one that the last discovery recorded.
    bool recorded(std::string_view path) const;

  private:
    std::vector<TokenEntry> entries_;
};

}  // namespace diskgate
