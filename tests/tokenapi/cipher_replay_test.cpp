// The cipher calls on paths the virtual token cannot be made to take: chunk replies of the
// wrong length, a short-form reply fetched with GET RESPONSE, a device lost at the block-size
// query, and the sessions' rules after such failures. Played back on the replay transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cipher_chunks.h"
#include "cipher_padding.h"
#include "replay_transport.h"
#include "tokenapi.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kUntouched = 0xA5;
constexpr uint32_t kLengthUntouched = 0xDEADBEEF;
const Bytes kKey16(16, 0x11);

Bytes bigEndian32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes sentHeader(size_t i, size_t n) {
    const auto& sent = replay::script().sent.at(i);
    return Bytes(sent.begin(),
                 sent.begin() + static_cast<std::ptrdiff_t>(std::min(n, sent.size())));
}

class CipherReplay : public ::testing::Test {
  protected:
    void SetUp() override {
        replay::script() = {};
        uint32_t count = 0;
        ASSERT_EQ(X_EnumDEV(0, &count), 0);
        // Nothing scripted: the post-connect selection and the security query fail quietly.
        ASSERT_EQ(X_ConnectDEV(&device_, 0), 0);
        replay::script().sent.clear();
    }
    void TearDown() override { X_DisConnectDEV(device_); }

    void script(std::vector<replay::Reply> replies) {
        auto& s = replay::script();
        s.replies.assign(replies.begin(), replies.end());
        s.sent.clear();
    }
    size_t sentCount() const { return replay::script().sent.size(); }

    DeviceHandle* device_ = nullptr;
};

TEST(CipherChunkPlan, FormAndChunkFollowTheReportedBlockWithinTheBuffers) {
    using tokenapi::cipher::transportChunkLimit;
    using tokenapi::cmd::CipherForm;
    struct Case {
        uint32_t reported;
        char transport;
        CipherForm form;
        size_t chunk;
    };
    const Case cases[] = {
        {0, 'D', CipherForm::Short, 240},
        {255, 'D', CipherForm::Short, 240},
        {256, 'D', CipherForm::TwoByte, 256},
        {1000, 'D', CipherForm::TwoByte, 992},
        {4095, 'D', CipherForm::TwoByte, 4080},
        {4096, 'D', CipherForm::FourByte, 4096},
        {8192, 'D', CipherForm::FourByte, 8192},
        {32769, 'D', CipherForm::FourByte, 32768},
        {0xFFFFFFFF, 'D', CipherForm::FourByte, 32768},
        // What the transport carries back in one exchange caps the chunk as well.
        {0xFFFFFFFF, 'C', CipherForm::FourByte, 20224},
        {20224, 'C', CipherForm::FourByte, 20224},
        {8192, 'M', CipherForm::FourByte, 4080},
        {4095, 'M', CipherForm::TwoByte, 4080},
        {0xFFFFFFFF, 'H', CipherForm::FourByte, 32736},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.reported) + " on " + c.transport);
        const auto plan =
            tokenapi::cipher::planChunks(c.reported, transportChunkLimit(c.transport));
        EXPECT_EQ(plan.form, c.form);
        EXPECT_EQ(plan.chunk, c.chunk);
    }
}

TEST(CipherPadding, AcceptsOnlyWholeRunsOfTheLengthByte) {
    struct Case {
        const char* name;
        Bytes block;
        int expected;  // -1: refused
    };
    auto block = [](size_t size, uint8_t fill, std::vector<std::pair<size_t, uint8_t>> set) {
        Bytes b(size, fill);
        for (auto [at, v] : set) b[at] = v;
        return b;
    };
    const Case cases[] = {
        {"one byte", block(16, 0x41, {{15, 0x01}}), 1},
        {"whole block of 16", Bytes(16, 0x10), 16},
        {"whole block of 8", Bytes(8, 0x08), 8},
        {"ends in 00", block(16, 0x41, {{15, 0x00}}), -1},
        {"ends in 11", Bytes(16, 0x11), -1},
        {"ends in 09 on 8 bytes", Bytes(8, 0x09), -1},
        {"run broken at its start", block(16, 0x04, {{12, 0x05}}), -1},
        {"run broken inside", block(16, 0x04, {{13, 0x00}}), -1},
        {"byte before the run differs", block(16, 0x04, {{11, 0x41}}), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto p = tokenapi::cipher::paddingOf(c.block);
        EXPECT_EQ(p ? static_cast<int>(*p) : -1, c.expected);
    }
}

TEST_F(CipherReplay, AChunkReplyOfTheWrongLengthEndsTheCallAndIsNotCopied) {
    struct Case {
        const char* name;
        size_t secondReplyLength;
        int32_t reportedLength;  // what the transport claims, -1: the data's own length
    };
    const Case cases[] = {
        {"shorter", 239, -1},
        {"longer but within the buffer", 241, -1},
        {"empty", 0, -1},
        {"longer than the short form's buffer", 300, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script({{0x9000},                    // key load
                {0x9000, bigEndian32(0)},    // largest block: short form, 240-byte chunks
                {0x9000, Bytes(240, 0x01)},  // first chunk
                {0x9000, Bytes(c.secondReplyLength, 0x02), c.reportedLength}});
        const Bytes data(480, 0x33);
        Bytes out(480, kUntouched);
        uint32_t outLength = kLengthUntouched;
        EXPECT_EQ(X_EncryptNoPad(device_, XCIPHER_BLOCK16, kKey16.data(), 16, data.data(), 480,
                                 out.data(), &outLength),
                  -1);
        EXPECT_EQ(sentCount(), 4u);
        EXPECT_EQ(outLength, kLengthUntouched);
        EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 240, [](uint8_t b) { return b == 1; }))
            << "the first chunk's reply stays";
        EXPECT_TRUE(std::all_of(out.begin() + 240, out.end(), [](uint8_t b) {
            return b == kUntouched;
        })) << "nothing of the bad reply is copied";
    }
}

TEST_F(CipherReplay, AShortFormReplyAnnouncedWith61xxIsFetched) {
    const Bytes cipher(32, 0x5C);
    script({{0x9000}, {0x9000, bigEndian32(0)}, {0x6120}, {0x9000, cipher}});
    const Bytes data(32, 0x33);
    Bytes out(32, kUntouched);
    uint32_t outLength = 0;
    ASSERT_EQ(X_EncryptNoPad(device_, XCIPHER_BLOCK16, kKey16.data(), 16, data.data(), 32,
                             out.data(), &outLength),
              0);
    EXPECT_EQ(out, cipher);
    EXPECT_EQ(outLength, 32u);
    ASSERT_EQ(sentCount(), 4u);
    EXPECT_EQ(replay::script().sent[3], (Bytes{0x00, 0xC0, 0x00, 0x00, 0x20}));
}

TEST_F(CipherReplay, TheBlockQueryDecidesTheFormOrEndsTheCallWhenTheDeviceIsLost) {
    struct Case {
        const char* name;
        replay::Reply query;
        int32_t expected;
        Bytes dataHeader;  // the first bytes of the data command, empty: none sent
    };
    const Case cases[] = {
        {"refused", {0x6D00}, 0, {0x80, 0xC6, 0x00, 0x00, 0x10}},
        {"three bytes", {0x9000, Bytes{0x00, 0x10, 0x00}}, 0, {0x80, 0xC6, 0x00, 0x00, 0x10}},
        {"five bytes",
         {0x9000, Bytes{0x00, 0x00, 0x10, 0x00, 0x00}},
         0,
         {0x80, 0xC6, 0x00, 0x00, 0x10}},
        {"2,048", {0x9000, bigEndian32(2048)}, 0, {0x90, 0xC6, 0x00, 0x00, 0x00, 0x10}},
        {"8,192", {0x9000, bigEndian32(8192)}, 0, {0x90, 0xC6, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10}},
        {"no exchange", {-1}, 0, {0x80, 0xC6, 0x00, 0x00, 0x10}},
        // Last: the device stays lost.
        {"device lost", {0x10001}, 0x10001, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script({{0x9000}, c.query, {0x9000, Bytes(16, 0x77)}});
        const Bytes data(16, 0x33);
        Bytes out(16);
        uint32_t outLength = 0;
        EXPECT_EQ(X_EncryptNoPad(device_, XCIPHER_BLOCK16, kKey16.data(), 16, data.data(), 16,
                                 out.data(), &outLength),
                  c.expected);
        if (c.dataHeader.empty()) {
            EXPECT_EQ(sentCount(), 2u);
        } else {
            ASSERT_EQ(sentCount(), 3u);
            EXPECT_EQ(sentHeader(2, c.dataHeader.size()), c.dataHeader);
        }
        if (c.expected == 0x10001) {
            // A lost device is lost for good: the next call does not reach the transport.
            script({});
            EXPECT_EQ(X_EncryptNoPad(device_, XCIPHER_BLOCK16, kKey16.data(), 16, data.data(), 16,
                                     out.data(), &outLength),
                      XR_BAD_HANDLE);
            EXPECT_EQ(sentCount(), 0u);
        }
    }
}

TEST_F(CipherReplay, AnUpdateThatFailsOnTheWayBreaksTheStreamUntilFinalReleasesIt) {
    CipherSession* session = nullptr;
    script({{0x9000}});
    ASSERT_EQ(X_EncryptInit(device_, &session, XCIPHER_BLOCK16, kKey16.data(), 16), 0);

    const Bytes data(100, 0x33);
    Bytes out(200, kUntouched);
    uint32_t outLength = kLengthUntouched;
    // The query, then the first data chunk answered short.
    script({{0x9000, bigEndian32(0)}, {0x9000, Bytes(10, 0x01)}});
    EXPECT_EQ(X_EncryptUpdate(device_, session, data.data(), 100, out.data(), &outLength), -1);
    EXPECT_EQ(outLength, kLengthUntouched);

    // Later calls say so again without sending anything; Final lets the session go.
    script({{0x9000, bigEndian32(0)}, {0x9000, Bytes(96, 0x01)}});
    EXPECT_EQ(X_EncryptUpdate(device_, session, data.data(), 100, out.data(), &outLength), -1);
    EXPECT_EQ(X_EncryptFinal(device_, session, out.data(), &outLength), -1);
    EXPECT_EQ(sentCount(), 0u);
    EXPECT_EQ(X_EncryptFinal(device_, session, out.data(), &outLength), XR_BAD_PARAMETER);
}

TEST_F(CipherReplay, AFinalWhoseCommandFailsKeepsTheSessionForAnotherTry) {
    CipherSession* session = nullptr;
    script({{0x9000}});
    ASSERT_EQ(X_EncryptInit(device_, &session, XCIPHER_BLOCK16, kKey16.data(), 16), 0);
    const Bytes data(5, 0x33);
    Bytes out(32, kUntouched);
    uint32_t outLength = kLengthUntouched;
    ASSERT_EQ(X_EncryptUpdate(device_, session, data.data(), 5, out.data(), &outLength), 0);
    ASSERT_EQ(outLength, 0u);

    script({{0x9000, bigEndian32(0)}, {0x6F00}});
    outLength = kLengthUntouched;
    EXPECT_EQ(X_EncryptFinal(device_, session, out.data(), &outLength), 0x6F00);
    EXPECT_EQ(outLength, kLengthUntouched);

    const Bytes cipher(16, 0x5C);
    script({{0x9000, bigEndian32(0)}, {0x9000, cipher}});
    ASSERT_EQ(X_EncryptFinal(device_, session, out.data(), &outLength), 0);
    EXPECT_EQ(outLength, 16u);
    // The same block went out both times: the five bytes and eleven bytes of value 0B.
    Bytes block(data);
    block.resize(16, 0x0B);
    Bytes expected{0x80, 0xC6, 0x00, 0x00, 0x10};
    expected.insert(expected.end(), block.begin(), block.end());
    EXPECT_EQ(replay::script().sent.at(1), expected);
}

TEST_F(CipherReplay, ASessionIsRefusedOnAnotherDeviceAndGoneAfterItsDisconnect) {
    replay::script().devices = 2;
    uint32_t count = 0;
    ASSERT_EQ(X_EnumDEV(0, &count), 0);
    DeviceHandle* other = nullptr;
    ASSERT_EQ(X_ConnectDEV(&other, 1), 0);
    CipherSession* session = nullptr;
    script({{0x9000}});
    ASSERT_EQ(X_EncryptInit(device_, &session, XCIPHER_BLOCK16, kKey16.data(), 16), 0);

    const Bytes data(40, 0x33);
    Bytes out(64);
    uint32_t outLength = 0;
    script({});
    EXPECT_EQ(X_EncryptUpdate(other, session, data.data(), 40, out.data(), &outLength),
              XR_BAD_PARAMETER);
    EXPECT_EQ(X_EncryptFinal(other, session, out.data(), &outLength), XR_BAD_PARAMETER);
    EXPECT_EQ(sentCount(), 0u);
    X_DisConnectDEV(other);

    X_DisConnectDEV(device_);
    ASSERT_EQ(X_ConnectDEV(&device_, 0), 0);
    script({});
    EXPECT_EQ(X_EncryptFinal(device_, session, out.data(), &outLength), XR_BAD_PARAMETER);
    EXPECT_EQ(sentCount(), 0u);
}

}  // namespace
