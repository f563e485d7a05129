// The symmetric cipher calls on the wire: the commands the virtual token receives (key load,
// block-size query, data in the form its reported block calls for, initial values before CBC
// chunks), the results against OpenSSL's DES and SM4, and the sessions' rules.
#include <algorithm>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "fresh_token.h"
#include "openssl_reference.h"

namespace wire {
namespace {

using reference::Cipher;

constexpr uint8_t kUntouched = 0xA5;
constexpr uint32_t kLengthUntouched = 0xDEADBEEF;
constexpr char kQuery[] = "BFC0000004";
const Bytes kDesKey = hexBytes("133457799BBCDFF1");
const Bytes kKey16 = hexBytes("0123456789ABCDEFFEDCBA9876543210");
const Bytes kIv = hexBytes("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");

// Bytes the token declares secret (keys, plain text) as the trace shows them.
std::string shown(const Bytes& bytes) {
    return hexOf(bytes);
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
    return b;
}

Bytes slice(const Bytes& b, size_t at, size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
                 b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

Bytes padded(Bytes data, size_t block) {
    const size_t p = block - data.size() % block;
    data.insert(data.end(), p, static_cast<uint8_t>(p));
    return data;
}

const Bytes& keyFor(uint32_t id) {
    return id == XCIPHER_BLOCK8 ? kDesKey : kKey16;
}
size_t blockOf(uint32_t id) {
    return id == XCIPHER_BLOCK8 ? 8 : 16;
}
std::string codeOf(uint32_t id) {
    switch (id) {
        case XCIPHER_BLOCK8:
            return "01";
        case XCIPHER_BLOCK16:
            return "00";
        case XCIPHER_SSF33:
            return "02";
        default:
            return "03";
    }
}
// OpenSSL's cipher for the identifiers whose cipher is published.
std::optional<Cipher> publishedCipher(uint32_t id) {
    if (id == XCIPHER_BLOCK8) return Cipher::Des;
    if (id == XCIPHER_BLOCK16) return Cipher::Sm4;
    return std::nullopt;
}

std::string keyLoad(uint32_t id) {
    const Bytes& key = keyFor(id);
    return "80C6" + codeOf(id) + "02" + hexOf({static_cast<uint8_t>(key.size())}) + shown(key);
}

// The largest block the token reports: a number, or nothing for a token whose query fails.
using Largest = std::optional<uint32_t>;
const Largest kAllSettings[] = {0u, 240u, 1024u, 4096u, 8192u, std::nullopt};
const uint32_t kAllIds[] = {XCIPHER_BLOCK8, XCIPHER_BLOCK16, XCIPHER_SSF33, XCIPHER_SM1};

std::string nameOf(const Largest& l) {
    return l ? "reports " + std::to_string(*l) : "query fails";
}

class CipherTest : public FreshToken {
  protected:
    void setLargest(const Largest& largest) {
        ASSERT_EQ(token().control("clear"), "ok");
        ASSERT_EQ(token().control("max-block " + (largest ? std::to_string(*largest) : "none")),
                  "ok");
    }

    using OneShot = int32_t (*)(DeviceHandle*, uint32_t, const uint8_t*, uint32_t, const uint8_t*,
                                uint32_t, uint8_t*, uint32_t*);
    // Runs a one-shot call into an output with room to spare; the output is cut to the
    // length the call reports, and the spare room must stay untouched.
    int32_t call(OneShot f, uint32_t id, const Bytes& data, Bytes& out) {
        const Bytes& key = keyFor(id);
        out.assign(data.size() + 64, kUntouched);
        uint32_t length = kLengthUntouched;
        const int32_t r = f(device(), id, key.data(), static_cast<uint32_t>(key.size()),
                            data.data(), static_cast<uint32_t>(data.size()), out.data(), &length);
        if (r == 0) {
            EXPECT_LE(length, data.size() + 16);
            // X_Decrypt leaves the padding it took off behind the result.
            const size_t written = std::max<size_t>(length, data.size());
            EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(written), out.end(),
                                    [](uint8_t b) { return b == kUntouched; }));
            out.resize(length);
        } else {
            EXPECT_EQ(length, kLengthUntouched) << "no output length on failure";
        }
        return r;
    }

    // A whole Init/Update/Final pass over `data`, fed in pieces of the given sizes (repeated).
    Bytes stream(bool encrypt, uint32_t id, const Bytes& data, const std::vector<size_t>& pieces) {
        const Bytes& key = keyFor(id);
        CipherSession* session = nullptr;
        EXPECT_EQ(
            X_EncryptInit(device(), &session, id, key.data(), static_cast<uint32_t>(key.size())),
            0);
        auto update = encrypt ? X_EncryptUpdate : X_DecryptUpdate;
        Bytes result;
        size_t at = 0;
        for (size_t i = 0; at < data.size(); ++i) {
            const size_t n = std::min(pieces[i % pieces.size()], data.size() - at);
            Bytes out(n + 16, kUntouched);
            uint32_t length = kLengthUntouched;
            EXPECT_EQ(update(device(), session, data.data() + at, static_cast<uint32_t>(n),
                             out.data(), &length),
                      0);
            EXPECT_LE(length, n + 16);
            result.insert(result.end(), out.begin(), out.begin() + length);
            at += n;
        }
        Bytes out(32, kUntouched);
        uint32_t length = kLengthUntouched;
        EXPECT_EQ(
            (encrypt ? X_EncryptFinal : X_DecryptFinal)(device(), session, out.data(), &length), 0);
        EXPECT_LE(length, 32u);
        result.insert(result.end(), out.begin(), out.begin() + std::min<uint32_t>(length, 32));
        return result;
    }

    // The data commands sent since the last clearTrace(), without their data.
    std::vector<std::string> dataHeaders() {
        std::vector<std::string> out;
        for (const std::string& c : sentCommands()) {
            if (c.starts_with("80C60000") || c.starts_with("80C60001")) {
                out.push_back(c.substr(0, 10));
            } else if (c.starts_with("90C6")) {
                // The four-byte form: 00 00 and a length that accounts for the rest.
                const bool four = c.size() >= 16 && c.substr(8, 4) == "0000" &&
                                  std::stoul(c.substr(12, 4), nullptr, 16) * 2 == c.size() - 16;
                out.push_back(c.substr(0, four ? 16 : 12));
            }
        }
        return out;
    }
};

TEST_F(CipherTest, PaddedEncryptionSendsTheKeyThenTheDataWithItsPadding) {
    struct Case {
        uint32_t id;
        size_t length;
        size_t expectedLength;
    };
    const Case cases[] = {
        {XCIPHER_BLOCK8, 8, 16},  // a whole block of eight 08 bytes
        {XCIPHER_SSF33, 0, 16},   // sixteen 10 bytes
        {XCIPHER_BLOCK16, 20, 32}, {XCIPHER_SM1, 15, 16},
        {XCIPHER_BLOCK8, 13, 16},  {XCIPHER_BLOCK16, 16, 32},
    };
    setLargest(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + " with " + std::to_string(c.length) + " bytes");
        const Bytes data = pattern(c.length, 0x40);
        const Bytes sentData = padded(data, blockOf(c.id));
        clearTrace();
        Bytes cipher;
        ASSERT_EQ(call(X_Encrypt, c.id, data, cipher), 0);
        EXPECT_EQ(cipher.size(), c.expectedLength);
        EXPECT_EQ(sentCommands(), (std::vector<std::string>{
                                      keyLoad(c.id), kQuery,
                                      "80C60000" + hexOf({static_cast<uint8_t>(sentData.size())}) +
                                          shown(sentData)}));
        if (auto published = publishedCipher(c.id)) {
            EXPECT_EQ(cipher, reference::run(*published, true, keyFor(c.id), {}, data, true));
        }
        // What the token deciphers without padding is the data and its padding.
        Bytes plain;
        ASSERT_EQ(call(X_DecryptNoPad, c.id, cipher, plain), 0);
        EXPECT_EQ(plain, sentData);
        ASSERT_EQ(call(X_Decrypt, c.id, cipher, plain), 0);
        EXPECT_EQ(plain, data);
    }
}

TEST_F(CipherTest, ArgumentsAreCheckedBeforeAnyCommand) {
    const Bytes data = pattern(64, 1);
    Bytes out(128, kUntouched);
    uint32_t length = kLengthUntouched;
    CipherSession* session = nullptr;
    const uint8_t* k = kKey16.data();
    const uint8_t* d = data.data();
    uint8_t* o = out.data();
    DeviceHandle* dev = device();
    struct Case {
        const char* name;
        std::function<int32_t()> run;
        int32_t expected;
    };
    const Case cases[] = {
        {"NoPad, 16, 20 bytes", [&] { return X_EncryptNoPad(dev, 16, k, 16, d, 20, o, &length); },
         XR_BAD_DATA_LENGTH},
        {"NoPad, 1, 12 bytes", [&] { return X_DecryptNoPad(dev, 1, k, 8, d, 12, o, &length); },
         XR_BAD_DATA_LENGTH},
        {"unknown identifier", [&] { return X_Encrypt(dev, 2, k, 16, d, 16, o, &length); },
         XR_BAD_ALGORITHM},
        {"identifier judged before the key",
         [&] { return X_Encrypt(dev, 0, k, 7, d, 16, o, &length); }, XR_BAD_ALGORITHM},
        {"8-byte key for 4096", [&] { return X_Encrypt(dev, 4096, k, 8, d, 16, o, &length); },
         XR_BAD_KEY_LENGTH},
        {"16-byte key for 1", [&] { return X_EncryptNoPad(dev, 1, k, 16, d, 16, o, &length); },
         XR_BAD_KEY_LENGTH},
        {"Decrypt of 0 bytes", [&] { return X_Decrypt(dev, 16, k, 16, d, 0, o, &length); },
         XR_BAD_DATA_LENGTH},
        {"Decrypt of 17 bytes", [&] { return X_Decrypt(dev, 256, k, 16, d, 17, o, &length); },
         XR_BAD_DATA_LENGTH},
        {"CBC with 16",
         [&] { return X_EncryptNoPad_CBC(dev, 16, k, 16, kIv.data(), d, 16, o, &length); },
         XR_BAD_ALGORITHM},
        {"CBC with 1",
         [&] { return X_DecryptNoPad_CBC(dev, 1, k, 8, kIv.data(), d, 16, o, &length); },
         XR_BAD_ALGORITHM},
        {"CBC with an 8-byte key",
         [&] { return X_EncryptNoPad_CBC(dev, 256, k, 8, kIv.data(), d, 16, o, &length); },
         XR_BAD_KEY_LENGTH},
        {"CBC of 24 bytes",
         [&] { return X_EncryptNoPad_CBC(dev, 4096, k, 16, kIv.data(), d, 24, o, &length); },
         XR_BAD_DATA_LENGTH},
        {"CBC without initial value",
         [&] { return X_EncryptNoPad_CBC(dev, 4096, k, 16, nullptr, d, 16, o, &length); },
         XR_BAD_HANDLE},
        {"no key", [&] { return X_Encrypt(dev, 16, nullptr, 16, d, 16, o, &length); },
         XR_BAD_HANDLE},
        {"no output", [&] { return X_EncryptNoPad(dev, 16, k, 16, d, 16, nullptr, &length); },
         XR_BAD_HANDLE},
        {"no output length", [&] { return X_Decrypt(dev, 16, k, 16, d, 16, o, nullptr); },
         XR_BAD_HANDLE},
        {"no device", [&] { return X_Encrypt(nullptr, 16, k, 16, d, 16, o, &length); },
         XR_BAD_HANDLE},
        {"Init, unknown identifier", [&] { return X_EncryptInit(dev, &session, 3, k, 16); },
         XR_BAD_ALGORITHM},
        {"Init, no session output", [&] { return X_DecryptInit(dev, nullptr, 16, k, 16); },
         XR_BAD_PARAMETER},
        {"Update, no session", [&] { return X_EncryptUpdate(dev, nullptr, d, 16, o, &length); },
         XR_BAD_PARAMETER},
        {"Update, a pointer never handed out",
         [&] {
             return X_DecryptUpdate(dev, reinterpret_cast<CipherSession*>(out.data()), d, 16, o,
                                    &length);
         },
         XR_BAD_PARAMETER},
        {"Final, no session", [&] { return X_DecryptFinal(dev, nullptr, o, &length); },
         XR_BAD_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearTrace();
        EXPECT_EQ(c.run(), c.expected);
        EXPECT_TRUE(sentCommands().empty());
        EXPECT_EQ(length, kLengthUntouched);
        EXPECT_EQ(session, nullptr);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kUntouched; }));
    }
}

TEST_F(CipherTest, ChunksFollowTheLargestBlockTheTokenReports) {
    struct Case {
        Largest largest;
        uint32_t id;
        size_t length;
        std::vector<std::string> headers;  // of the data commands, in order
    };
    const std::string shortChunk = "80C60000F0";
    const std::string twoByte1024 = "90C600000400";
    const std::string fourByte8192 = "90C6000000002000";
    const Case cases[] = {
        {0u, XCIPHER_BLOCK8, 1000, {shortChunk, shortChunk, shortChunk, shortChunk, "80C6000028"}},
        {std::nullopt,
         XCIPHER_BLOCK8,
         1000,
         {shortChunk, shortChunk, shortChunk, shortChunk, "80C6000028"}},
        {255u, XCIPHER_BLOCK16, 256, {shortChunk, "80C6000010"}},
        {1024u, XCIPHER_BLOCK16, 4096, {twoByte1024, twoByte1024, twoByte1024, twoByte1024}},
        {1000u, XCIPHER_BLOCK16, 2000, {"90C6000003E0", "90C6000003E0", "90C600000010"}},
        {4096u, XCIPHER_BLOCK8, 4104, {"90C6000000001000", "90C6000000000008"}},
        {8192u, XCIPHER_BLOCK16, 16416, {fourByte8192, fourByte8192, "90C6000000000020"}},
        // Capped at what the PC/SC transport takes back in one exchange: 20,238 bytes.
        {40000u, XCIPHER_BLOCK16, 32784, {"90C6000000004F00", "90C6000000003110"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(nameOf(c.largest) + ", " + std::to_string(c.length) + " bytes");
        setLargest(c.largest);
        const Bytes data = pattern(c.length, 0x11);
        clearTrace();
        Bytes cipher;
        ASSERT_EQ(call(X_EncryptNoPad, c.id, data, cipher), 0);
        EXPECT_EQ(dataHeaders(), c.headers);
        const auto sent = sentCommands();
        ASSERT_GE(sent.size(), 2u);
        EXPECT_EQ(sent[0], keyLoad(c.id));
        EXPECT_EQ(sent[1], kQuery);
        // Each chunk carries the next piece of the data, and its reply lands at the same place.
        size_t at = 0;
        for (size_t i = 2; i < sent.size(); ++i) {
            const size_t header = sent[i].starts_with("80") ? 10 : c.headers[i - 2].size();
            const size_t n = (sent[i].size() - header) / 2;
            EXPECT_EQ(sent[i].substr(header), shown(slice(data, at, n))) << "chunk " << i - 2;
            at += n;
        }
        EXPECT_EQ(at, c.length);
        EXPECT_EQ(cipher,
                  reference::run(*publishedCipher(c.id), true, keyFor(c.id), {}, data, false));
        Bytes plain;
        ASSERT_EQ(call(X_DecryptNoPad, c.id, cipher, plain), 0);
        EXPECT_EQ(plain, data);
    }
}

TEST_F(CipherTest, OneShotResultsAgreeWithOpenSsl) {
    setLargest(1024);
    for (uint32_t id : {XCIPHER_BLOCK8, XCIPHER_BLOCK16}) {
        for (size_t length : {0u, 1u, 7u, 8u, 100u, 1024u, 3000u}) {
            SCOPED_TRACE(std::to_string(id) + " with " + std::to_string(length));
            const Bytes data = pattern(length, static_cast<uint8_t>(length));
            const Cipher c = *publishedCipher(id);
            Bytes cipher;
            ASSERT_EQ(call(X_Encrypt, id, data, cipher), 0);
            EXPECT_EQ(cipher, reference::run(c, true, keyFor(id), {}, data, true));
            Bytes plain;
            ASSERT_EQ(call(X_Decrypt, id, cipher, plain), 0);
            EXPECT_EQ(plain, data);
            if (length % blockOf(id) == 0) {
                ASSERT_EQ(call(X_EncryptNoPad, id, data, cipher), 0);
                EXPECT_EQ(cipher, reference::run(c, true, keyFor(id), {}, data, false));
            }
        }
    }
}

TEST_F(CipherTest, CbcReloadsTheChainedInitialValueBeforeEveryChunk) {
    // 512 bytes: chunks of 240, 240 and 32 on a token reporting 0, one chunk on 8,192.
    const Bytes data = pattern(512, 0x21);
    for (uint32_t id : {XCIPHER_SSF33, XCIPHER_SM1}) {
        SCOPED_TRACE(id);
        auto cbc = [&](bool encrypt, const Bytes& in, Bytes& out) {
            const Bytes iv = kIv;
            out.assign(in.size(), kUntouched);
            uint32_t length = kLengthUntouched;
            const int32_t r = (encrypt ? X_EncryptNoPad_CBC : X_DecryptNoPad_CBC)(
                device(), id, kKey16.data(), 16, iv.data(), in.data(),
                static_cast<uint32_t>(in.size()), out.data(), &length);
            EXPECT_EQ(length, in.size());
            EXPECT_EQ(iv, kIv) << "the caller's initial value is never updated";
            return r;
        };
        setLargest(8192);
        Bytes whole;
        ASSERT_EQ(cbc(true, data, whole), 0);

        setLargest(0);
        clearTrace();
        Bytes chunked;
        ASSERT_EQ(cbc(true, data, chunked), 0);
        EXPECT_EQ(chunked, whole) << "the chain runs across the chunks as within one";
        const std::string ivLoad = "80C6000310";
        EXPECT_EQ(
            sentCommands(),
            (std::vector<std::string>{
                keyLoad(id), kQuery, ivLoad + hexOf(kIv), "80C60000F0" + shown(slice(data, 0, 240)),
                ivLoad + hexOf(slice(whole, 224, 16)), "80C60000F0" + shown(slice(data, 240, 240)),
                ivLoad + hexOf(slice(whole, 464, 16)),
                "80C6000020" + shown(slice(data, 480, 32))}));

        clearTrace();
        Bytes plain;
        ASSERT_EQ(cbc(false, chunked, plain), 0);
        EXPECT_EQ(plain, data);
        // When deciphering, the next value is the chunk's own last cipher block.
        const auto ivLoads = sentStartingWith(ivLoad);
        EXPECT_EQ(ivLoads, (std::vector<std::string>{ivLoad + hexOf(kIv),
                                                     ivLoad + hexOf(slice(chunked, 224, 16)),
                                                     ivLoad + hexOf(slice(chunked, 464, 16))}));

        // A caller that goes on with a stream passes the last cipher block itself.
        Bytes first;
        Bytes second;
        const Bytes half1 = slice(data, 0, 256);
        const Bytes half2 = slice(data, 256, 256);
        ASSERT_EQ(cbc(true, half1, first), 0);
        uint32_t length = 0;
        second.resize(256);
        ASSERT_EQ(X_EncryptNoPad_CBC(device(), id, kKey16.data(), 16, first.data() + 240,
                                     half2.data(), 256, second.data(), &length),
                  0);
        first.insert(first.end(), second.begin(), second.end());
        EXPECT_EQ(first, whole);
    }
}

TEST_F(CipherTest, UpdateHoldsBackAtLeastOneByteAndFinalPads) {
    struct Case {
        std::vector<size_t> pieces;
        std::vector<uint32_t> updateOutputs;
        uint32_t finalOutput;
    };
    const Case cases[] = {
        {{16}, {0}, 32},
        {{5}, {0}, 16},
        {{17}, {16}, 16},
        {{16, 16}, {0, 16}, 32},
        {{3, 13, 1}, {0, 0, 16}, 16},
        {{}, {}, 16},
        {{40, 8}, {32, 0}, 32},
    };
    setLargest(0);
    for (const Case& c : cases) {
        const size_t total = std::accumulate(c.pieces.begin(), c.pieces.end(), size_t{0});
        SCOPED_TRACE(std::to_string(c.pieces.size()) + " pieces, " + std::to_string(total) +
                     " bytes");
        const Bytes data = pattern(total, 0x61);
        CipherSession* session = nullptr;
        ASSERT_EQ(X_EncryptInit(device(), &session, XCIPHER_BLOCK16, kKey16.data(), 16), 0);
        Bytes cipher;
        size_t at = 0;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            Bytes out(c.pieces[i] + 16, kUntouched);
            uint32_t length = kLengthUntouched;
            clearTrace();
            ASSERT_EQ(X_EncryptUpdate(device(), session, data.data() + at,
                                      static_cast<uint32_t>(c.pieces[i]), out.data(), &length),
                      0);
            EXPECT_EQ(length, c.updateOutputs[i]);
            // Nothing goes to the token until there is more than a block.
            EXPECT_EQ(sentCommands().empty(), length == 0);
            cipher.insert(cipher.end(), out.begin(), out.begin() + length);
            at += c.pieces[i];
        }
        Bytes out(32, kUntouched);
        uint32_t length = kLengthUntouched;
        ASSERT_EQ(X_EncryptFinal(device(), session, out.data(), &length), 0);
        EXPECT_EQ(length, c.finalOutput);
        cipher.insert(cipher.end(), out.begin(), out.begin() + length);
        EXPECT_EQ(cipher, reference::run(Cipher::Sm4, true, kKey16, {}, data, true));
        // A successful Final released the session.
        EXPECT_EQ(X_EncryptFinal(device(), session, out.data(), &length), XR_BAD_PARAMETER);
    }
}

TEST_F(CipherTest, DecryptFinalChecksTheHeldCountAndThePadding) {
    struct Case {
        const char* name;
        Bytes lastPlainBlock;  // what the last block deciphers to
        size_t cut;            // bytes of the last block left out
        int32_t expected;
        size_t output;
    };
    Bytes endsIn00 = pattern(16, 3);
    endsIn00[15] = 0x00;
    Bytes endsIn01 = pattern(16, 3);
    endsIn01[15] = 0x01;
    Bytes brokenRun(16, 0x04);
    brokenRun[13] = 0x05;
    const Case cases[] = {
        {"5 bytes held", pattern(16, 3), 11, XR_BAD_DATA_LENGTH, 0},
        {"ends in 00", endsIn00, 0, XR_BAD_PADDING, 0},
        {"ends in 11", Bytes(16, 0x11), 0, XR_BAD_PADDING, 0},
        {"a run of 04 broken", brokenRun, 0, XR_BAD_PADDING, 0},
        {"ends in 01", endsIn01, 0, 0, 15},
        {"sixteen 10", Bytes(16, 0x10), 0, 0, 0},
    };
    setLargest(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes plain = pattern(32, 9);
        Bytes all = plain;
        all.insert(all.end(), c.lastPlainBlock.begin(), c.lastPlainBlock.end());
        Bytes cipher;
        ASSERT_EQ(call(X_EncryptNoPad, XCIPHER_SSF33, all, cipher), 0);
        cipher.resize(cipher.size() - c.cut);

        CipherSession* session = nullptr;
        ASSERT_EQ(X_DecryptInit(device(), &session, XCIPHER_SSF33, kKey16.data(), 16), 0);
        Bytes out(cipher.size() + 16, kUntouched);
        uint32_t length = 0;
        ASSERT_EQ(X_DecryptUpdate(device(), session, cipher.data(),
                                  static_cast<uint32_t>(cipher.size()), out.data(), &length),
                  0);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + length), plain);
        Bytes last(16, kUntouched);
        length = kLengthUntouched;
        clearTrace();
        EXPECT_EQ(X_DecryptFinal(device(), session, last.data(), &length), c.expected);
        if (c.expected == 0) {
            EXPECT_EQ(length, c.output);
            EXPECT_EQ(Bytes(last.begin(), last.begin() + c.output),
                      slice(c.lastPlainBlock, 0, c.output));
        } else {
            EXPECT_EQ(length, kLengthUntouched);
            EXPECT_EQ(last, Bytes(16, kUntouched)) << "no deciphered byte is handed out";
            EXPECT_EQ(sentCommands().empty(), c.expected == XR_BAD_DATA_LENGTH);
            // The session stays after such a failure, and fails the same way again.
            EXPECT_EQ(X_DecryptFinal(device(), session, last.data(), &length), c.expected);
        }
    }
}

TEST_F(CipherTest, TheTokensRefusalsBecomeTheirResults) {
    struct Case {
        const char* fault;
        int32_t expected;
    };
    const Case cases[] = {
        {"sw 80C60302 6A81", XR_BAD_ALGORITHM},    // unknown algorithm at the key load
        {"sw 80C60000 6901", XR_KEY_UNAVAILABLE},  // no key for the data
        {"sw 80C60302 6A80", 0x6A80},
        {"sw 80C60000 6F00", 0x6F00},
        {"sw 80C60003 6A86", 0x6A86},  // the initial value refused
    };
    const Bytes data = pattern(32, 5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        setLargest(0);
        ASSERT_EQ(token().control(std::string(c.fault) + " 1"), "ok");
        Bytes out(32, kUntouched);
        uint32_t length = kLengthUntouched;
        EXPECT_EQ(X_EncryptNoPad_CBC(device(), XCIPHER_SM1, kKey16.data(), 16, kIv.data(),
                                     data.data(), 32, out.data(), &length),
                  c.expected);
        EXPECT_EQ(length, kLengthUntouched);
        EXPECT_EQ(out, Bytes(32, kUntouched));
    }
}

TEST_F(CipherTest, AChunkRefusedOnTheWayKeepsWhatCameBeforeAndBreaksASession) {
    setLargest(0);
    const Bytes data = pattern(1000, 0x19);
    // The third data chunk is refused.
    ASSERT_EQ(token().control("sw 80C60000 6F00 1 at 3"), "ok");
    Bytes out(1000, kUntouched);
    uint32_t length = kLengthUntouched;
    EXPECT_EQ(X_EncryptNoPad(device(), XCIPHER_BLOCK8, kDesKey.data(), 8, data.data(), 1000,
                             out.data(), &length),
              0x6F00);
    EXPECT_EQ(length, kLengthUntouched);
    EXPECT_EQ(dataHeaders().size(), 3u) << "nothing is sent after the refusal";
    EXPECT_EQ(slice(out, 0, 480),
              reference::run(Cipher::Des, true, kDesKey, {}, slice(data, 0, 480), false));
    EXPECT_EQ(slice(out, 480, 520), Bytes(520, kUntouched));

    // The same refusal inside an Update: the stream is broken for good, and Final lets it go.
    CipherSession* session = nullptr;
    ASSERT_EQ(X_EncryptInit(device(), &session, XCIPHER_BLOCK8, kDesKey.data(), 8), 0);
    ASSERT_EQ(token().control("sw 80C60000 6F00 1 at 2"), "ok");
    EXPECT_EQ(X_EncryptUpdate(device(), session, data.data(), 1000, out.data(), &length), 0x6F00);
    clearTrace();
    EXPECT_EQ(X_EncryptUpdate(device(), session, data.data(), 8, out.data(), &length), 0x6F00);
    EXPECT_EQ(X_EncryptFinal(device(), session, out.data(), &length), 0x6F00);
    EXPECT_TRUE(sentCommands().empty());
    EXPECT_EQ(length, kLengthUntouched);
    EXPECT_EQ(X_EncryptFinal(device(), session, out.data(), &length), XR_BAD_PARAMETER);
}

TEST_F(CipherTest, ASessionWhoseKeyAnotherCallReplacedIsRefused) {
    setLargest(0);
    const Bytes data = pattern(48, 2);
    CipherSession* session = nullptr;
    ASSERT_EQ(X_EncryptInit(device(), &session, XCIPHER_BLOCK16, kKey16.data(), 16), 0);
    Bytes out(64, kUntouched);
    uint32_t length = 0;
    ASSERT_EQ(X_EncryptUpdate(device(), session, data.data(), 20, out.data(), &length), 0);

    Bytes other;
    ASSERT_EQ(call(X_EncryptNoPad, XCIPHER_BLOCK8, slice(data, 0, 8), other), 0);
    clearTrace();
    length = kLengthUntouched;
    EXPECT_EQ(X_EncryptUpdate(device(), session, data.data(), 48, out.data(), &length),
              XR_KEY_UNAVAILABLE);
    EXPECT_EQ(X_EncryptFinal(device(), session, out.data(), &length), XR_KEY_UNAVAILABLE);
    EXPECT_TRUE(sentCommands().empty());
    EXPECT_EQ(length, kLengthUntouched);
    // That Final let the broken session go.
    EXPECT_EQ(X_EncryptFinal(device(), session, out.data(), &length), XR_BAD_PARAMETER);
}

TEST_F(CipherTest, LongStreamsInUnevenPiecesComeBackForEveryAlgorithmAndBlockSetting) {
    const Bytes data = pattern(100000, 0x77);
    const std::vector<size_t> encryptPieces = {1, 4095, 333, 16, 10000, 7, 2048, 1};
    const std::vector<size_t> decryptPieces = {17, 8191, 5, 64, 32768, 3};
    for (const Largest& largest : kAllSettings) {
        setLargest(largest);
        for (uint32_t id : kAllIds) {
            SCOPED_TRACE(nameOf(largest) + ", algorithm " + std::to_string(id));
            clearTrace();
            const Bytes cipher = stream(true, id, data, encryptPieces);
            ASSERT_EQ(cipher.size(), padded(data, blockOf(id)).size());
            if (auto published = publishedCipher(id)) {
                EXPECT_EQ(cipher, reference::run(*published, true, keyFor(id), {}, data, true));
            } else {
                Bytes oneShot;
                ASSERT_EQ(call(X_Encrypt, id, data, oneShot), 0);
                EXPECT_EQ(cipher, oneShot);
            }
            EXPECT_EQ(stream(false, id, cipher, decryptPieces), data);
        }
    }
}

class CipherTrace : public CipherTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CipherTrace, KeysAndPlainTextAreMaskedUnlessSecretsAreShown) {
    const bool shown = GetParam();
    reprovision({.showSecrets = shown});
    setLargest(0);
    const Bytes plain = pattern(96, 0xC3);
    Bytes cipher;
    ASSERT_EQ(call(X_Encrypt, XCIPHER_BLOCK16, plain, cipher), 0);
    Bytes back;
    ASSERT_EQ(call(X_Decrypt, XCIPHER_BLOCK16, cipher, back), 0);
    ASSERT_EQ(stream(true, XCIPHER_SSF33, plain, {50}).size(), 112u);
    Bytes out(96);
    uint32_t length = 0;
    ASSERT_EQ(X_DecryptNoPad_CBC(device(), XCIPHER_SM1, kKey16.data(), 16, kIv.data(),
                                 cipher.data(), 96, out.data(), &length),
              0);

    std::string all;
    for (const std::string& line : token().traceLines()) all += line + "\n";
    // The key, and every block of the plain text, visible only with the option.
    EXPECT_EQ(all.find(hexOf(kKey16)) != std::string::npos, shown);
    for (size_t at = 0; at < plain.size(); at += 16) {
        EXPECT_EQ(all.find(hexOf(slice(plain, at, 16))) != std::string::npos, shown) << at;
    }
    // Cipher text and initial values are no secrets.
    EXPECT_NE(all.find(hexOf(slice(cipher, 0, 16))), std::string::npos);
    EXPECT_NE(all.find("80C6000310" + hexOf(kIv)), std::string::npos);
    if (!shown) {
        EXPECT_NE(all.find("> 80C6000210" + std::string(32, '*') + "\n"), std::string::npos);
        EXPECT_NE(all.find("> 80C6000070" + std::string(224, '*') + "\n"), std::string::npos)
            << "the padded plain text of X_Encrypt";
    }
}

INSTANTIATE_TEST_SUITE_P(Trace, CipherTrace, ::testing::Values(false, true),
                         [](const auto& testCase) { return testCase.param ? "Shown" : "Masked"; });

}  // namespace
}  // namespace wire
