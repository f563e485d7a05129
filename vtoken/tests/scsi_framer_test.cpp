// The vendor SCSI block framer on its own: what each block does, the blocks it refuses with
// CHECK CONDITION without asking the card, and messages cut anywhere on the stream.
#include "vtoken/scsi_framer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "token_fixture.h"

namespace vtoken {
namespace {

using testing::hex;

class ScriptedCard : public CardPort {
  public:
    std::optional<Bytes> command(ByteView apdu) override {
        commands.push_back(toHex(apdu));
        if (pullOn && toHex(apdu) == *pullOn) return std::nullopt;
        return reply;
    }
    void powerOn() override {}
    void powerOff() override {}
    void reset() override {}
    Bytes atr() override { return {}; }

    std::vector<std::string> commands;
    Bytes reply = hex("0103010200040200008000140080009000");
    std::optional<std::string> pullOn;
};

// A message from the host: block, 32-bit little-endian length, data.
Bytes message(std::string_view block, std::string_view data = "") {
    Bytes out = hex(block);
    const Bytes d = hex(data);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(d.size() >> (8 * i)));
    out.insert(out.end(), d.begin(), d.end());
    return out;
}

// An answer to the host: status, 32-bit little-endian length, data.
Bytes answer(std::uint8_t status, std::string_view data = "") {
    Bytes out{status};
    const Bytes d = hex(data);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(d.size() >> (8 * i)));
    out.insert(out.end(), d.begin(), d.end());
    return out;
}

constexpr std::string_view kSend5 = "FF 51584B4559 02 0500 FF";
constexpr std::string_view kReceive256 = "FF 51584B4559 01 0001 FF";
constexpr std::string_view kProbe = "BFC800000F";
constexpr std::string_view kProbeAnswer = "0103010200040200008000140080009000";

struct Case {
    std::string name;
    std::vector<Bytes> messages;
    std::vector<Bytes> answers;
    std::vector<std::string> commands;  // what the card was asked
};

std::vector<Case> cases() {
    const std::uint8_t good = ScsiFramer::kGood;
    const std::uint8_t check = ScsiFramer::kCheckCondition;
    return {
        {"SendThenReceiveHandsOutTheAnswer",
         {message(kSend5, kProbe), message(kReceive256)},
         {answer(good), answer(good, kProbeAnswer)},
         {"BFC800000F"}},
        {"ReceiveWithLessRoomGetsTheFirstBytesAndTheRestIsForgotten",
         {message(kSend5, kProbe), message("FF 51584B4559 01 0400 FF"), message(kReceive256)},
         {answer(good), answer(good, "01030102"), answer(good)},
         {"BFC800000F"}},
        {"ReceiveWithNothingKeptHandsOutNothing", {message(kReceive256)}, {answer(good)}, {}},
        {"NotTheVendorsSignature",
         {message("FF 51584B4558 02 0500 FF", kProbe)},
         {answer(check)},
         {}},
        {"LastByteNotFF", {message("FF 51584B4559 02 0500 00", kProbe)}, {answer(check)}, {}},
        {"UnknownDirection", {message("FF 51584B4559 03 0500 FF", kProbe)}, {answer(check)}, {}},
        {"SendWhoseDataIsNotItsLength",
         {message("FF 51584B4559 02 0600 FF", kProbe)},
         {answer(check)},
         {}},
        {"SendOfNothing", {message("FF 51584B4559 02 0000 FF")}, {answer(check)}, {}},
        {"ReceiveThatBringsData", {message(kReceive256, "00")}, {answer(check)}, {}},
        {"LengthIsLittleEndian",
         {message("FF 51584B4559 02 0501 FF", std::string(261 * 2, 'A'))},
         {answer(good)},
         {std::string(261 * 2, 'A')}},
    };
}

class ScsiFramerTable : public ::testing::TestWithParam<Case> {};

TEST_P(ScsiFramerTable, AnswersEachBlock) {
    const Case& c = GetParam();
    Bytes stream, expected;
    for (const Bytes& m : c.messages) stream.insert(stream.end(), m.begin(), m.end());
    for (const Bytes& a : c.answers) expected.insert(expected.end(), a.begin(), a.end());
    // The same answers whatever pieces the stream arrives in.
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        SCOPED_TRACE(piece);
        ScsiFramer framer;
        ScriptedCard card;
        Bytes out;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const Bytes part = framer.receive(
                ByteView(stream).subspan(at, std::min(piece, stream.size() - at)), card);
            out.insert(out.end(), part.begin(), part.end());
        }
        EXPECT_EQ(toHex(out), toHex(expected));
        EXPECT_EQ(card.commands, c.commands);
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, ScsiFramerTable, ::testing::ValuesIn(cases()),
                         [](const auto& p) { return p.param.name; });

TEST(ScsiFramer, PulledCardAnswersNothingMoreAndRestartForgetsTheKeptAnswer) {
    ScsiFramer framer;
    ScriptedCard card;
    EXPECT_EQ(framer.receive(message(kSend5, kProbe), card), answer(ScsiFramer::kGood));
    card.pullOn = "00A4000000";
    Bytes stream = message(kSend5, "00A4000000");
    const Bytes more = message(kReceive256);
    stream.insert(stream.end(), more.begin(), more.end());
    EXPECT_EQ(framer.receive(stream, card), Bytes{});
    framer.restart();
    EXPECT_EQ(framer.receive(message(kReceive256), card), answer(ScsiFramer::kGood));
}

TEST(ScsiFramer, DataLongerThanABlockCanAnnounceEndsTheConnection) {
    ScsiFramer framer;
    ScriptedCard card;
    Bytes header = hex(kSend5);
    for (std::uint8_t b : {0x00, 0x00, 0x01, 0x00}) header.push_back(b);  // 65536
    EXPECT_THROW(framer.receive(header, card), FramingError);
    EXPECT_TRUE(card.commands.empty());
}

}  // namespace
}  // namespace vtoken
