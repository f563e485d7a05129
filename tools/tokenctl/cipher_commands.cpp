// cipher encrypt, cipher decrypt: files of any size through the token's symmetric ciphers, in
// pieces, with the same memory whatever the size. Without an initial value the data goes
// through a session (blocks enciphered one by one, PKCS #5 padding); with one, through the
// token's CBC calls, the chain carried from piece to piece and the padding added and checked
// here.
#include <algorithm>
#include <iostream>
#include <optional>
#include <string>

#include "cipher_key.h"
#include "command_table.h"
#include "platform/console.h"
#include "secret_buffer.h"
#include "stream_files.h"
#include "token_session.h"

namespace tokenctl {
namespace {

// A whole number of blocks of every algorithm.
constexpr size_t kPiece = 64 * 1024;
constexpr size_t kCbcBlock = 16;
constexpr char kUsage[] =
    "usage: tokenctl cipher encrypt|decrypt N ALGORITHM IN OUT [--key-file FILE | --key HEX] "
    "[--iv HEX | --iv-file FILE]";

struct Request {
    std::string token;
    CipherAlgorithm algorithm{};
    std::string in;
    std::string out;
    KeySource key;
    std::optional<KeySource> iv;
};

// Nothing (after saying why) for a command line that does not make a request.
std::optional<Request> parse(Args args) {
    if (args.size() < 4) {
        usage(kUsage);
        return std::nullopt;
    }
    Request request;
    request.token = args[0];
    auto algorithm = parseCipherAlgorithm(args[1]);
    if (!algorithm) {
        usage("ALGORITHM is 1, 16, 256 (ssf33) or 4096 (sm1), not '" + args[1] + "'");
        return std::nullopt;
    }
    request.algorithm = *algorithm;
    request.in = args[2];
    request.out = args[3];
    for (size_t i = 4; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) {
            usage(option + " needs a value");
            return std::nullopt;
        }
        const std::string& value = args[++i];
        if (option == "--key") {
            request.key.hex = value;
        } else if (option == "--key-file") {
            request.key.file = value;
        } else if (option == "--iv") {
            request.iv = request.iv.value_or(KeySource{});
            request.iv->hex = value;
        } else if (option == "--iv-file") {
            request.iv = request.iv.value_or(KeySource{});
            request.iv->file = value;
        } else {
            usage("unknown option '" + option + "'");
            return std::nullopt;
        }
    }
    if (request.iv && !request.algorithm.cbc) {
        usage("the token chains blocks (an initial value) only for algorithms 256 and 4096");
        return std::nullopt;
    }
    return request;
}

int failCipher(bool encrypt, int32_t result) {
    return fail(encrypt ? "cannot encrypt" : "cannot decrypt", result);
}

int throughSession(DeviceHandle* device, bool encrypt, const Request& request,
                   const SecretBuffer& key, InputStream& in, OutputStream& out) {
    CipherSession* session = nullptr;
    if (int32_t r = X_EncryptInit(device, &session, request.algorithm.identifier, key.data(),
                                  static_cast<uint32_t>(key.size()));
        r != 0) {
        return fail("cannot load the key into the token", r);
    }
    // A session left behind by a failure goes with the disconnect.
    auto update = encrypt ? X_EncryptUpdate : X_DecryptUpdate;
    SecretBuffer piece(kPiece);
    SecretBuffer result(kPiece + kCbcBlock);
    for (;;) {
        const long long n = in.read(piece.span());
        if (n < 0) return kExitFailed;
        uint32_t length = 0;
        if (int32_t r = update(device, session, piece.data(), static_cast<uint32_t>(n),
                               result.data(), &length);
            r != 0) {
            return failCipher(encrypt, r);
        }
        if (!out.write(std::span(result.data(), length))) return kExitFailed;
        if (static_cast<size_t>(n) < kPiece) break;
    }
    uint32_t length = 0;
    if (int32_t r =
            (encrypt ? X_EncryptFinal : X_DecryptFinal)(device, session, result.data(), &length);
        r != 0) {
        return failCipher(encrypt, r);
    }
    return out.write(std::span(result.data(), length)) && out.commit() ? kExitOk : kExitFailed;
}

// The padding length of a deciphered last block, or nothing when it is not PKCS #5 padding.
std::optional<size_t> paddingOf(std::span<const uint8_t> block) {
    const size_t p = block.back();
    if (p == 0 || p > block.size()) return std::nullopt;
    if (!std::all_of(block.end() - static_cast<std::ptrdiff_t>(p), block.end(),
                     [&](uint8_t b) { return b == p; })) {
        return std::nullopt;
    }
    return p;
}

int throughCbc(DeviceHandle* device, bool encrypt, const Request& request, const SecretBuffer& key,
               std::vector<uint8_t> iv, InputStream& in, OutputStream& out) {
    auto cbc = encrypt ? X_EncryptNoPad_CBC : X_DecryptNoPad_CBC;
    // Deciphering keeps the last block back until the end, where its padding comes off.
    SecretBuffer work(kCbcBlock + kPiece + kCbcBlock);
    SecretBuffer result(work.size());
    size_t held = 0;
    for (;;) {
        const long long n = in.read(std::span(work.data() + held, kPiece));
        if (n < 0) return kExitFailed;
        const bool last = static_cast<size_t>(n) < kPiece;
        size_t total = held + static_cast<size_t>(n);
        size_t send = total;
        if (encrypt && last) {
            const size_t p = kCbcBlock - total % kCbcBlock;
            std::fill_n(work.data() + total, p, static_cast<uint8_t>(p));
            send = total += p;
        } else if (!encrypt && !last) {
            send = total - kCbcBlock;
        } else if (!encrypt && (total == 0 || total % kCbcBlock != 0)) {
            std::cerr << "tokenctl: cannot decrypt: " << request.in
                      << " is not a whole number of 16-byte blocks\n";
            return kExitFailed;
        }
        uint32_t length = 0;
        if (int32_t r = cbc(device, request.algorithm.identifier, key.data(),
                            static_cast<uint32_t>(key.size()), iv.data(), work.data(),
                            static_cast<uint32_t>(send), result.data(), &length);
            r != 0) {
            return failCipher(encrypt, r);
        }
        // The chain goes on from the last cipher block of what went through.
        const uint8_t* lastCipher = (encrypt ? result.data() : work.data()) + send - kCbcBlock;
        std::copy_n(lastCipher, kCbcBlock, iv.begin());
        size_t keep = send;
        if (!encrypt && last) {
            const auto p = paddingOf(std::span(result.data() + send - kCbcBlock, kCbcBlock));
            if (!p) return failCipher(false, XR_BAD_PADDING);
            keep = send - *p;
        }
        if (!out.write(std::span(result.data(), keep))) return kExitFailed;
        if (last) break;
        held = total - send;
        std::copy_n(work.data() + send, held, work.data());
    }
    return out.commit() ? kExitOk : kExitFailed;
}

int run(Args args, bool encrypt) {
    auto request = parse(args);
    if (!request) return kExitUsage;
    std::optional<std::vector<uint8_t>> iv;
    if (request->iv) {
        iv = readInitialValue(*request->iv);
        if (!iv) return kExitUsage;
    }
    auto key = readCipherKey(request->key, request->algorithm.keyLength);
    if (!key) return kExitUsage;
    if (request->in == "-" || request->out == "-") platform::useBinaryStandardStreams();
    InputStream in(request->in);
    if (!in.ok()) return kExitFailed;

    TokenSession token(request->token);
    if (!token) return token.exitCode();
    OutputStream out(request->out);
    if (!out.ok()) return kExitFailed;
    return iv ? throughCbc(token.device(), encrypt, *request, *key, std::move(*iv), in, out)
              : throughSession(token.device(), encrypt, *request, *key, in, out);
}

int encryptFile(Args args) {
    return run(args, true);
}
int decryptFile(Args args) {
    return run(args, false);
}

const Registration kEncrypt{
    {"cipher encrypt", "N ALG IN OUT [--key-file F|--key HEX] [--iv HEX|--iv-file F]",
     "encrypt IN into OUT on token N (\"-\": standard input or output)", encryptFile}};
const Registration kDecrypt{{"cipher decrypt",
                             "N ALG IN OUT [--key-file F|--key HEX] [--iv HEX|--iv-file F]",
                             "decrypt IN into OUT on token N; without --key-file or --key, the "
                             "key comes from TOKEN_CIPHER_KEY or the terminal",
                             decryptFile}};

}  // namespace
}  // namespace tokenctl
