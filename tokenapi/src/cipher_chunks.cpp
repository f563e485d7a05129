#include "cipher_chunks.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "commands.h"
#include "crypto/secure_bytes.h"
#include "status_words.h"

namespace tokenapi::cipher {
namespace {

using crypto::SecureBytes;

constexpr size_t kLargestBlockReply = 4;

size_t wholeBlocks(size_t n) {
    return n - n % kMaxBlockLength;
}

// One chunk out and its reply into `out`, which is exactly as long as the chunk.
int32_t sendChunk(LockedDevice& session, const ChunkPlan& plan, cmd::CipherDirection direction,
                  ByteView chunk, std::span<uint8_t> out) {
    // The reply of a decryption is plain text; its buffer wipes itself when it goes.
    const Response r = session.send(cmd::cipherData(plan.form, direction, chunk));
    if (!r.ok()) return status::kCipherData.map(r.result);
    if (r.value.size() != chunk.size()) return XR_TRANSPORT;
    std::copy(r.value.begin(), r.value.end(), out.begin());
    return 0;
}

// The chunk [at, at + length) of the input: a view into it when it lies in one piece,
// otherwise gathered into `scratch`.
ByteView chunkOf(const Joined& input, size_t at, size_t length, SecureBytes& scratch) {
    if (ByteView direct = input.within(at, length); direct.size() == length) return direct;
    scratch.resize(length);
    input.copy(at, scratch);
    return scratch;
}

}  // namespace

size_t transportChunkLimit(char tag) {
    constexpr size_t kStatusWord = 2;
    switch (tag) {
        case TRANSPORT_TAG_PCSC:
            return 20240 - kStatusWord;
        case TRANSPORT_TAG_SD:
            return 4096 - kStatusWord;
        case TRANSPORT_TAG_DISK:
            // The command, header included, must fit the service's 32,752 bytes too.
            return std::min<size_t>(32760 - kStatusWord, 32752 - 8);
        default:
            return cmd::maxCipherData(cmd::CipherForm::FourByte);
    }
}

ChunkPlan planChunks(uint32_t reported, size_t transportLimit) {
    if (reported < kTwoByteFrom) return {cmd::CipherForm::Short, kShortChunk};
    const cmd::CipherForm form =
        reported < kFourByteFrom ? cmd::CipherForm::TwoByte : cmd::CipherForm::FourByte;
    const size_t capped = std::min({size_t{reported}, cmd::maxCipherData(form), transportLimit});
    // Every transport carries at least a short chunk; the floor keeps a chunk from being empty.
    return {form, std::max(wholeBlocks(capped), kShortChunk)};
}

void Joined::copy(size_t at, std::span<uint8_t> out) const {
    size_t done = 0;
    if (at < first.size()) {
        const size_t n = std::min(out.size(), first.size() - at);
        std::memcpy(out.data(), first.data() + at, n);
        done = n;
    }
    if (done < out.size()) {
        const size_t from = at + done - first.size();
        std::memcpy(out.data() + done, second.data() + from, out.size() - done);
    }
}

ByteView Joined::within(size_t at, size_t length) const {
    if (at + length <= first.size()) return first.subspan(at, length);
    if (at >= first.size()) return second.subspan(at - first.size(), length);
    return {};
}

Result<uint32_t> queryLargestBlock(LockedDevice& session) {
    Response r = session.send(cmd::largestBlock());
    if (r.result == TRANSPORT_DEVICE_LOST) return {r.result, 0};
    if (!r.ok() || r.value.size() != kLargestBlockReply) return {0, 0};
    const uint32_t value = static_cast<uint32_t>(r.value[0]) << 24 |
                           static_cast<uint32_t>(r.value[1]) << 16 |
                           static_cast<uint32_t>(r.value[2]) << 8 | r.value[3];
    return {0, value};
}

int32_t loadKey(LockedDevice& session, const Algorithm& algorithm, ByteView key) {
    const int32_t r = session.send(cmd::loadCipherKey(algorithm.tokenCode, key)).result;
    return status::kCipherKeyLoad.map(r);
}

int32_t processChunks(LockedDevice& session, cmd::CipherDirection direction, const Joined& input,
                      std::span<uint8_t> out) {
    const Result<uint32_t> largest = queryLargestBlock(session);
    if (largest.result != 0) return largest.result;
    const ChunkPlan plan = planChunks(largest.value, transportChunkLimit(session.tag()));
    SecureBytes scratch;
    for (size_t at = 0; at < input.size();) {
        const size_t length = std::min(plan.chunk, input.size() - at);
        const ByteView chunk = chunkOf(input, at, length, scratch);
        if (int32_t r = sendChunk(session, plan, direction, chunk, out.subspan(at, length));
            r != 0) {
            return r;
        }
        at += length;
    }
    return 0;
}

int32_t processChunksCbc(LockedDevice& session, cmd::CipherDirection direction,
                         ByteView initialValue, ByteView input, std::span<uint8_t> out) {
    const Result<uint32_t> largest = queryLargestBlock(session);
    if (largest.result != 0) return largest.result;
    const ChunkPlan plan = planChunks(largest.value, transportChunkLimit(session.tag()));
    std::array<uint8_t, kCbcBlockLength> current{};
    std::copy_n(initialValue.begin(), kCbcBlockLength, current.begin());
    for (size_t at = 0; at < input.size();) {
        const size_t length = std::min(plan.chunk, input.size() - at);
        const ByteView chunk = input.subspan(at, length);
        // Taken before the chunk goes out: the output may be the input's own buffer.
        std::array<uint8_t, kCbcBlockLength> next{};
        if (direction == cmd::CipherDirection::Decrypt) {
            std::copy(chunk.end() - kCbcBlockLength, chunk.end(), next.begin());
        }
        if (int32_t r = session.send(cmd::loadInitialValue(current)).result; r != 0) return r;
        const std::span<uint8_t> target = out.subspan(at, length);
        if (int32_t r = sendChunk(session, plan, direction, chunk, target); r != 0) return r;
        if (direction == cmd::CipherDirection::Encrypt) {
            std::copy(target.end() - kCbcBlockLength, target.end(), next.begin());
        }
        current = next;
        at += length;
    }
    return 0;
}

}  // namespace tokenapi::cipher
