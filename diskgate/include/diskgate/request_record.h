// The request/answer record that the key service and its clients share: one 32 KiB block in
// which the client writes a request at the start and the service overwrites it with the
// answer. All numbers are 32-bit little-endian; handles are values that only the service
// can interpret (clients hand them back unchanged).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace diskgate::record {

inline constexpr std::size_t kSize = 0x8000;

// Request.
inline constexpr std::size_t kCommandOffset = 0;
inline constexpr std::size_t kArgumentOffset = 8;  // index, handle or path length
inline constexpr std::size_t kLengthOffset = 12;   // exchange: length L of the command data
inline constexpr std::size_t kDataOffset = 16;     // exchange: the L command bytes
inline constexpr std::size_t kPathOffset = 12;     // open by path: the path bytes
inline constexpr std::uint32_t kMaxCommandData = kSize - kDataOffset;  // 32,752
inline constexpr std::uint32_t kMaxPath = 255;

// Answer.
inline constexpr std::size_t kResultOffset = 0;
inline constexpr std::size_t kAnswerLengthOffset = 4;
inline constexpr std::size_t kAnswerDataOffset = 8;
inline constexpr std::uint32_t kMaxResponse = kSize - kAnswerDataOffset;  // 32,760

static_assert(kDataOffset + kMaxCommandData == kSize);
static_assert(kPathOffset + kMaxPath < kSize);

enum Command : std::uint32_t {
    kEnumerate = 1,
    kOpenByIndex = 2,
    kClose = 3,
    kExchange = 4,
    kOpenByPath = 5,
};

// What the stop control writes before it wakes the worker: a code no command uses.
inline constexpr std::uint32_t kStopWord = 0x110011;

// Results. Apart from these the result is a system error code passed through.
inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kAccessDenied = 5;       // a path no discovery recorded
inline constexpr std::uint32_t kInvalidHandle = 6;      // a handle never handed out or closed
inline constexpr std::uint32_t kBadLength = 24;         // lengths beyond the record
inline constexpr std::uint32_t kNoSuchDevice = 55;      // empty path or empty table slot
inline constexpr std::uint32_t kInvalidParameter = 87;  // index not below the count
inline constexpr std::uint32_t kUnknownCommand = 1804;
inline constexpr std::uint32_t kNullHandle = 0xFFFFFFFF;  // -1: exchange with handle 0

inline std::uint32_t load32(std::span<const std::uint8_t> record, std::size_t offset) {
    return static_cast<std::uint32_t>(record[offset]) |
           static_cast<std::uint32_t>(record[offset + 1]) << 8 |
           static_cast<std::uint32_t>(record[offset + 2]) << 16 |
           static_cast<std::uint32_t>(record[offset + 3]) << 24;
}

inline void store32(std::span<std::uint8_t> record, std::size_t offset, std::uint32_t value) {
    record[offset] = static_cast<std::uint8_t>(value);
    record[offset + 1] = static_cast<std::uint8_t>(value >> 8);
    record[offset + 2] = static_cast<std::uint8_t>(value >> 16);
    record[offset + 3] = static_cast<std::uint8_t>(value >> 24);
}

}  // namespace diskgate::record
