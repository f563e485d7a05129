// Data through the token's cipher in chunks: the largest-block query, the choice of framing
// and chunk length, ECB chunk by chunk (the token enciphers each command on its own) and CBC
// with the initial value reloaded before every chunk. Every chunk's reply must be exactly as
// long as the chunk; it is written to the output at the chunk's own offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "apdu.h"
#include "cipher_algorithms.h"
#include "cipher_commands.h"
#include "operation.h"

namespace tokenapi::cipher {

// Chunks of the short form: 240 bytes keep the reply within 256 and are whole blocks of
// every algorithm.
inline constexpr size_t kShortChunk = 240;
// Below this the token takes only the short form; from kFourByteFrom on, the four-byte form.
inline constexpr uint32_t kTwoByteFrom = 256;
inline constexpr uint32_t kFourByteFrom = 4096;

struct ChunkPlan {
    cmd::CipherForm form = cmd::CipherForm::Short;
    size_t chunk = kShortChunk;
};

// The most reply data one exchange carries back through the transport with this tag (its
// receive buffer less the status word): the PC/SC transport takes 20,240 bytes, the SD-card
// transport 4,096 on its driver path, the disk transport's service 32,760 (and commands of at
// most 32,752 bytes); the driver transport's 51,200 are more than any form needs.
size_t transportChunkLimit(char tag);

// The form and chunk length for the largest block the token reported (0 when the query
// failed). The chunk is capped at what the form's reply buffer holds and at what the
// transport carries, then rounded down to whole 16-byte blocks, so that every chunk but the
// last is whole blocks of any algorithm.
ChunkPlan planChunks(uint32_t reported, size_t transportLimit);

// Two pieces read as one input, without joining them in memory: the bytes a session held
// back followed by new data, or data followed by its padding.
struct Joined {
    ByteView first;
    ByteView second;

    size_t size() const { return first.size() + second.size(); }
    // The piece [at, at + out.size()), copied.
    void copy(size_t at, std::span<uint8_t> out) const;
    // The piece [at, at + length) when it lies within one of the two pieces; empty otherwise.
    ByteView within(size_t at, size_t length) const;
};

// BF C0: the reported largest block, 0 when the token refused or answered in a form the
// library does not know. A lost device (0x10001) is passed up as the result.
Result<uint32_t> queryLargestBlock(LockedDevice& session);

// Loads the key register; 0x6A81 (unknown algorithm) becomes 0x30005.
int32_t loadKey(LockedDevice& session, const Algorithm& algorithm, ByteView key);

// ECB over the whole input: the query, then the chunks. `out` holds input.size() bytes.
// 0x6901 (no key loaded) becomes 0x30013; a reply of the wrong length gives -1 and nothing of
// that chunk is copied. Earlier chunks stay in the output on failure.
int32_t processChunks(LockedDevice& session, cmd::CipherDirection direction, const Joined& input,
                      std::span<uint8_t> out);

// CBC over 16-byte blocks from `initialValue` (16 bytes, read only): the query, then before
// every chunk the current initial value, then the chunk. The next initial value is the last
// ciphertext block of the chunk: its output when encrypting, its input when decrypting.
int32_t processChunksCbc(LockedDevice& session, cmd::CipherDirection direction,
                         ByteView initialValue, ByteView input, std::span<uint8_t> out);

}  // namespace tokenapi::cipher
