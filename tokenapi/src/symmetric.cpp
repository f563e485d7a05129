// Symmetric encryption on the token: the one-shot calls with and without padding, the CBC
// pair, and the Init/Update/Final sessions. The key goes to the token's key register at every
// one-shot call and once at Init; no host record keeps it.
#include <algorithm>
#include <array>
#include <limits>

#include "cipher_algorithms.h"
#include "cipher_chunks.h"
#include "cipher_padding.h"
#include "cipher_session.h"
#include "crypto/secure_bytes.h"
#include "operation.h"
#include "tokenapi.h"

using namespace tokenapi;
using namespace tokenapi::cipher;
using cmd::CipherDirection;

namespace {

// X_DecryptInit is X_EncryptInit under a second name. The alias names the symbol as the
// assembler knows it: 32-bit Windows decorates stdcall names with their argument bytes.
#if defined(_WIN32) && defined(__i386__)
#define ENCRYPT_INIT_SYMBOL "X_EncryptInit@20"
#else
#define ENCRYPT_INIT_SYMBOL "X_EncryptInit"
#endif

ByteView bytesOf(const uint8_t* p, size_t n) {
    return n == 0 ? ByteView{} : ByteView(p, n);
}

// The argument checks of a one-shot call, in their order: the identifier (0x30005), the key
// length (0x30006), the data length (0x30007), then missing pointers (0x10003).
int32_t oneShotArguments(int32_t algorithmCheck, bool lengthFits, const uint8_t* key,
                         const uint8_t* data, uint32_t length, const uint8_t* output,
                         const uint32_t* outputLength) {
    if (algorithmCheck != 0) return algorithmCheck;
    if (!lengthFits) return XR_BAD_DATA_LENGTH;
    const bool given = key != nullptr && outputLength != nullptr &&
                       (length == 0 || (data != nullptr && output != nullptr));
    return given ? 0 : XR_BAD_HANDLE;
}

int32_t noPad(DeviceHandle* device, CipherDirection direction, uint32_t identifier,
              const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length,
              uint8_t* output, uint32_t* outputLength) {
    const Algorithm* algorithm = findAlgorithm(identifier);
    const int32_t arguments =
        oneShotArguments(checkAlgorithmAndKey(identifier, keyLength),
                         algorithm != nullptr && length % algorithm->blockLength == 0, key, data,
                         length, output, outputLength);
    return runDeviceOp(device, {.arguments = arguments}, [&](LockedDevice& s) -> int32_t {
        noteKeyLoad(device, nullptr);
        if (int32_t r = loadKey(s, *algorithm, ByteView(key, keyLength)); r != 0) return r;
        const Joined input{bytesOf(data, length), {}};
        if (int32_t r = processChunks(s, direction, input, {output, length}); r != 0) return r;
        *outputLength = length;
        return 0;
    });
}

int32_t noPadCbc(DeviceHandle* device, CipherDirection direction, uint32_t identifier,
                 const uint8_t* key, uint32_t keyLength, const uint8_t* initialValue,
                 const uint8_t* data, uint32_t length, uint8_t* output, uint32_t* outputLength) {
    const Algorithm* algorithm = findAlgorithm(identifier);
    int32_t algorithmCheck = 0;
    if (algorithm == nullptr || !algorithm->cbc) {
        algorithmCheck = XR_BAD_ALGORITHM;
    } else if (keyLength != kCbcBlockLength) {
        algorithmCheck = XR_BAD_KEY_LENGTH;
    }
    int32_t arguments = oneShotArguments(algorithmCheck, length % kCbcBlockLength == 0, key, data,
                                         length, output, outputLength);
    if (arguments == 0 && initialValue == nullptr) arguments = XR_BAD_HANDLE;
    return runDeviceOp(device, {.arguments = arguments}, [&](LockedDevice& s) -> int32_t {
        noteKeyLoad(device, nullptr);
        if (int32_t r = loadKey(s, *algorithm, ByteView(key, keyLength)); r != 0) return r;
        const ByteView iv(initialValue, kCbcBlockLength);
        if (int32_t r = processChunksCbc(s, direction, iv, bytesOf(data, length), {output, length});
            r != 0) {
            return r;
        }
        *outputLength = length;
        return 0;
    });
}

// A session call: the device handle leased for the whole call, then the session, leased
// exclusively so that two threads on one session take turns (0x50002 when it is not a live
// session of this device). `work` sets `done` when the session is done with; it is then
// released by this call, and the record goes when the call lets go of it.
template <class Work>
int32_t sessionCall(DeviceHandle* device, CipherSession* session, int32_t arguments, Work&& work) {
    auto onTurn = [&](DeviceHandle& d) -> int32_t {
        SessionLease lease = leaseSession(session);
        if (!lease || lease->device != &d) return XR_BAD_PARAMETER;
        bool done = false;
        const int32_t r = work(d, *lease, done);
        // Only a normal return lets the session go: an exception out of `work` leaves it as it
        // stood, to be finalised again.
        if (done) releaseSession(lease);
        return r;
    };
    return runHandleCall(device, LostDevice::Refused, {.arguments = arguments}, onTurn);
}

int32_t update(DeviceHandle* device, CipherSession* session, CipherDirection direction,
               const uint8_t* data, uint32_t length, uint8_t* output, uint32_t* outputLength) {
    const bool given =
        outputLength != nullptr && (length == 0 || (data != nullptr && output != nullptr));
    return sessionCall(
        device, session, given ? 0 : XR_BAD_HANDLE,
        [&](DeviceHandle& d, CipherSession& state, bool& done) -> int32_t {
            // Nothing to do: no lock, no command.
            if (length == 0) {
                *outputLength = 0;
                return 0;
            }
            if (state.broken != 0) return state.broken;
            return runLeasedOp(d, {}, [&](LockedDevice& s) -> int32_t {
                if (!holdsKeyRegister(device, session)) return state.broken = XR_KEY_UNAVAILABLE;
                const size_t b = state.algorithm->blockLength;
                const size_t total = state.heldCount + length;
                const size_t keep = total % b == 0 ? b : total % b;
                const size_t send = total - keep;
                // T = held bytes then the data; its last `keep` bytes are held back.
                std::array<uint8_t, kMaxBlockLength> before{};
                crypto::WipeGuard wipeBefore(before);
                std::copy_n(state.held.begin(), state.heldCount, before.begin());
                const Joined t{ByteView(before.data(), state.heldCount), ByteView(data, length)};
                // The stream counts as broken until the chunks are through: an exception on the
                // way must not leave a session that goes on as if nothing was lost.
                state.broken = XR_TRANSPORT;
                t.copy(send, std::span(state.held.data(), keep));
                state.heldCount = keep;
                if (send != 0) {
                    const Joined sent{t.first, t.second.first(send - t.first.size())};
                    state.broken = processChunks(s, direction, sent, {output, send});
                    if (state.broken != 0) return state.broken;
                }
                state.broken = 0;
                *outputLength = static_cast<uint32_t>(send);
                return 0;
            });
        });
}

// A broken stream ends at its next Final, which releases the session and gives the result
// that broke it.
int32_t finishBroken(const CipherSession& state, bool& done) {
    done = true;
    return state.broken;
}

int32_t encryptFinal(DeviceHandle* device, CipherSession* session, uint8_t* output,
                     uint32_t* outputLength) {
    const bool given = output != nullptr && outputLength != nullptr;
    return sessionCall(
        device, session, given ? 0 : XR_BAD_HANDLE,
        [&](DeviceHandle& d, CipherSession& state, bool& done) -> int32_t {
            if (state.broken != 0) return finishBroken(state, done);
            const size_t b = state.algorithm->blockLength;
            const size_t h = state.heldCount;
            // With nothing held the message was empty; it still gets its block of padding, as
            // X_Encrypt gives it, so that every decryption can find one.
            const size_t p = h == b ? b : b - h;
            std::array<uint8_t, kMaxBlockLength> padding{};
            std::fill_n(padding.begin(), p, static_cast<uint8_t>(p));
            return runLeasedOp(d, {}, [&](LockedDevice& s) -> int32_t {
                if (!holdsKeyRegister(device, session)) {
                    state.broken = XR_KEY_UNAVAILABLE;
                    return finishBroken(state, done);
                }
                const Joined blocks{ByteView(state.held.data(), h), ByteView(padding.data(), p)};
                if (int32_t r = processChunks(s, CipherDirection::Encrypt, blocks, {output, h + p});
                    r != 0) {
                    return r;  // the same blocks can be sent again: the session stays
                }
                *outputLength = static_cast<uint32_t>(h + p);
                done = true;
                return 0;
            });
        });
}

int32_t decryptFinal(DeviceHandle* device, CipherSession* session, uint8_t* output,
                     uint32_t* outputLength) {
    const bool given = output != nullptr && outputLength != nullptr;
    return sessionCall(device, session, given ? 0 : XR_BAD_HANDLE,
                       [&](DeviceHandle& d, CipherSession& state, bool& done) -> int32_t {
                           if (state.broken != 0) return finishBroken(state, done);
                           if (state.heldCount == 0) {
                               *outputLength = 0;
                               done = true;
                               return 0;
                           }
                           const size_t b = state.algorithm->blockLength;
                           if (state.heldCount != b) return XR_BAD_DATA_LENGTH;
                           return runLeasedOp(d, {}, [&](LockedDevice& s) -> int32_t {
                               if (!holdsKeyRegister(device, session)) {
                                   state.broken = XR_KEY_UNAVAILABLE;
                                   return finishBroken(state, done);
                               }
                               std::array<uint8_t, kMaxBlockLength> plain{};
                               crypto::WipeGuard wipePlain(plain);
                               const Joined block{ByteView(state.held.data(), b), {}};
                               if (int32_t r = processChunks(s, CipherDirection::Decrypt, block,
                                                             {plain.data(), b});
                                   r != 0) {
                                   return r;
                               }
                               const auto p = paddingOf(std::span(plain.data(), b));
                               if (!p) return XR_BAD_PADDING;
                               std::copy_n(plain.begin(), b - *p, output);
                               *outputLength = static_cast<uint32_t>(b - *p);
                               done = true;
                               return 0;
                           });
                       });
}

}  // namespace

extern "C" {

XAPI X_Encrypt(DeviceHandle* device, uint32_t algorithm, const uint8_t* key, uint32_t keyLength,
               const uint8_t* data, uint32_t length, uint8_t* output, uint32_t* outputLength) {
    const Algorithm* a = findAlgorithm(algorithm);
    const size_t p = a != nullptr ? padLength(length, a->blockLength) : 0;
    int32_t arguments = oneShotArguments(checkAlgorithmAndKey(algorithm, keyLength),
                                         length <= std::numeric_limits<uint32_t>::max() - p, key,
                                         data, length, output, outputLength);
    // The output holds at least the padding.
    if (arguments == 0 && output == nullptr) arguments = XR_BAD_HANDLE;
    std::array<uint8_t, kMaxBlockLength> padding{};
    std::fill_n(padding.begin(), p, static_cast<uint8_t>(p));
    return runDeviceOp(device, {.arguments = arguments}, [&](LockedDevice& s) -> int32_t {
        noteKeyLoad(device, nullptr);
        if (int32_t r = loadKey(s, *a, ByteView(key, keyLength)); r != 0) return r;
        const Joined padded{bytesOf(data, length), ByteView(padding.data(), p)};
        if (int32_t r = processChunks(s, CipherDirection::Encrypt, padded, {output, length + p});
            r != 0) {
            return r;
        }
        *outputLength = static_cast<uint32_t>(length + p);
        return 0;
    });
}

XAPI X_Decrypt(DeviceHandle* device, uint32_t algorithm, const uint8_t* key, uint32_t keyLength,
               const uint8_t* data, uint32_t length, uint8_t* output, uint32_t* outputLength) {
    const Algorithm* a = findAlgorithm(algorithm);
    // Padded data is at least one block: an empty input has no padding to take off.
    const int32_t arguments =
        oneShotArguments(checkAlgorithmAndKey(algorithm, keyLength),
                         a != nullptr && length != 0 && length % a->blockLength == 0, key, data,
                         length, output, outputLength);
    return runDeviceOp(device, {.arguments = arguments}, [&](LockedDevice& s) -> int32_t {
        noteKeyLoad(device, nullptr);
        if (int32_t r = loadKey(s, *a, ByteView(key, keyLength)); r != 0) return r;
        const std::span<uint8_t> out(output, length);
        if (int32_t r =
                processChunks(s, CipherDirection::Decrypt, Joined{ByteView(data, length), {}}, out);
            r != 0) {
            return r;
        }
        const auto p = paddingOf(out.last(a->blockLength));
        if (!p) {
            // Deciphered bytes that fail the check are no result: none stays behind.
            crypto::secureWipe(out);
            return XR_BAD_PADDING;
        }
        *outputLength = static_cast<uint32_t>(length - *p);
        return 0;
    });
}

XAPI X_EncryptNoPad(DeviceHandle* device, uint32_t algorithm, const uint8_t* key,
                    uint32_t keyLength, const uint8_t* data, uint32_t length, uint8_t* output,
                    uint32_t* outputLength) {
    return noPad(device, CipherDirection::Encrypt, algorithm, key, keyLength, data, length, output,
                 outputLength);
}

XAPI X_DecryptNoPad(DeviceHandle* device, uint32_t algorithm, const uint8_t* key,
                    uint32_t keyLength, const uint8_t* data, uint32_t length, uint8_t* output,
                    uint32_t* outputLength) {
    return noPad(device, CipherDirection::Decrypt, algorithm, key, keyLength, data, length, output,
                 outputLength);
}

XAPI X_EncryptNoPad_CBC(DeviceHandle* device, uint32_t algorithm, const uint8_t* key,
                        uint32_t keyLength, const uint8_t* initialValue, const uint8_t* data,
                        uint32_t length, uint8_t* output, uint32_t* outputLength) {
    return noPadCbc(device, CipherDirection::Encrypt, algorithm, key, keyLength, initialValue, data,
                    length, output, outputLength);
}

XAPI X_DecryptNoPad_CBC(DeviceHandle* device, uint32_t algorithm, const uint8_t* key,
                        uint32_t keyLength, const uint8_t* initialValue, const uint8_t* data,
                        uint32_t length, uint8_t* output, uint32_t* outputLength) {
    return noPadCbc(device, CipherDirection::Decrypt, algorithm, key, keyLength, initialValue, data,
                    length, output, outputLength);
}

XAPI X_EncryptInit(DeviceHandle* device, CipherSession** session, uint32_t algorithm,
                   const uint8_t* key, uint32_t keyLength) {
    int32_t arguments =
        session == nullptr ? XR_BAD_PARAMETER : checkAlgorithmAndKey(algorithm, keyLength);
    if (arguments == 0 && key == nullptr) arguments = XR_BAD_HANDLE;
    return runDeviceOp(device, {.arguments = arguments}, [&](LockedDevice& s) -> int32_t {
        const Algorithm& a = *findAlgorithm(algorithm);
        noteKeyLoad(device, nullptr);
        if (int32_t r = loadKey(s, a, ByteView(key, keyLength)); r != 0) return r;
        *session = newSession(device, a);
        return 0;
    });
}

// Decryption starts exactly as encryption does: the session does not record the direction.
XAPI X_DecryptInit(DeviceHandle* device, CipherSession** session, uint32_t algorithm,
                   const uint8_t* key, uint32_t keyLength)
    __attribute__((alias(ENCRYPT_INIT_SYMBOL)));

XAPI X_EncryptUpdate(DeviceHandle* device, CipherSession* session, const uint8_t* data,
                     uint32_t length, uint8_t* output, uint32_t* outputLength) {
    return update(device, session, CipherDirection::Encrypt, data, length, output, outputLength);
}

XAPI X_DecryptUpdate(DeviceHandle* device, CipherSession* session, const uint8_t* data,
                     uint32_t length, uint8_t* output, uint32_t* outputLength) {
    return update(device, session, CipherDirection::Decrypt, data, length, output, outputLength);
}

XAPI X_EncryptFinal(DeviceHandle* device, CipherSession* session, uint8_t* output,
                    uint32_t* outputLength) {
    return encryptFinal(device, session, output, outputLength);
}

XAPI X_DecryptFinal(DeviceHandle* device, CipherSession* session, uint8_t* output,
                    uint32_t* outputLength) {
    return decryptFinal(device, session, output, outputLength);
}

}  // extern "C"
