// The SD-card stand-ins' own parts: where their cards are configured, and the loopback
// protocol's framing as it arrives in pieces.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "card_config.h"
#include "platform/module_path.h"
#include "standin/protocol.h"

namespace {

using standin::CardAddress;
using standin::CardPath;

std::string describe(const std::vector<CardAddress>& cards) {
    std::string out;
    for (const CardAddress& c : cards) {
        out += (out.empty() ? "" : ",") + c.name + "@" + c.host + ":" + std::to_string(c.port);
    }
    return out;
}

struct ListCase {
    const char* what;
    const char* text;
    const char* cards;
};

class CardLists : public ::testing::TestWithParam<ListCase> {};

TEST_P(CardLists, EnvironmentListGivesTheLoopbackCards) {
    EXPECT_EQ(describe(standin::parseCardList(GetParam().text)), GetParam().cards)
        << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, CardLists,
    ::testing::Values(
        ListCase{"empty", "", ""}, ListCase{"named", "E:=127.0.0.1:5000", "E:@127.0.0.1:5000"},
        ListCase{"unnamed_are_numbered", "127.0.0.1:5000;127.0.0.2:5001",
                 "SD0@127.0.0.1:5000,SD1@127.0.0.2:5001"},
        ListCase{"spaces_and_empty_entries", " E: = localhost:7 ; ;F:=127.0.0.1:8",
                 "E:@localhost:7,F:@127.0.0.1:8"},
        ListCase{"never_off_this_machine", "E:=10.0.0.1:5000;F:=example.org:5000", ""},
        ListCase{"bad_ports", "E:=127.0.0.1:0;F:=127.0.0.1:65536;G:=127.0.0.1;H:=127.0.0.1:5x", ""},
        ListCase{"first_of_a_name_wins", "E:=127.0.0.1:5000;E:=127.0.0.1:6000",
                 "E:@127.0.0.1:5000"},
        ListCase{"empty_name", "=127.0.0.1:5000", ""},
        ListCase{"name_too_long",
                 "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN=127.0.0.1:1",
                 ""},
        ListCase{"malformed_addresses", "127.0.0.1.1:5000;127.256.0.1:5000;1270.0.0.1:5000", ""}),
    [](const auto& p) { return std::string(p.param.what); });

TEST(CardConfigFile, TakesTheLinesOfItsPathOnly) {
    const std::string text =
        "# cards of the test machine\n"
        "vendor E: 127.0.0.1:5000\r\n"
        "driver F: 127.0.0.1:5001\n"
        "   vendor   G:   localhost:5002   \n"
        "vendor H: 127.0.0.1:5003 extra\n"
        "vendor I:\n"
        "other J: 127.0.0.1:5004\n";
    EXPECT_EQ(describe(standin::parseConfigFile(text, CardPath::Vendor)),
              "E:@127.0.0.1:5000,G:@localhost:5002");
    EXPECT_EQ(describe(standin::parseConfigFile(text, CardPath::Driver)), "F:@127.0.0.1:5001");
}

TEST(CardConfig, TheEnvironmentVariableOfEachPathWinsEvenWhenEmpty) {
    ::setenv("TARVEX_SD_CARDS", "V=127.0.0.1:1", 1);
    ::setenv("TARVEX_SD_DRIVER_CARDS", "", 1);
    const void* here = reinterpret_cast<const void*>(&describe);
    EXPECT_EQ(describe(standin::configuredCards(CardPath::Vendor, here)), "V@127.0.0.1:1");
    EXPECT_EQ(describe(standin::configuredCards(CardPath::Driver, here)), "");
}

TEST(ModuleFolder, IsTheFolderOfTheProgram) {
    const std::filesystem::path folder =
        platform::moduleFolder(reinterpret_cast<const void*>(&describe));
    EXPECT_TRUE(std::filesystem::exists(folder / "standin_tests")) << folder;
}

// ---- Framing ----

const std::vector<std::uint8_t> kHostTypes = {standin::kProbe, standin::kCommand};

TEST(StandinFraming, AMessageArrivingByteByByteCompletesOnItsLastByte) {
    const std::vector<std::uint8_t> payload = {0x00, 0x84, 0x00, 0x00, 0x08};
    const std::vector<std::uint8_t> wire = standin::encode(standin::kCommand, payload);
    ASSERT_EQ(wire, (std::vector<std::uint8_t>{'A', 0, 0, 0, 5, 0x00, 0x84, 0x00, 0x00, 0x08}));
    standin::FrameReader reader(kHostTypes);
    for (std::size_t i = 0; i < wire.size(); ++i) {
        std::size_t used = 0;
        const auto state = reader.feed({&wire[i], 1}, used);
        EXPECT_EQ(used, 1u);
        EXPECT_EQ(state, i + 1 == wire.size() ? standin::FrameReader::State::Complete
                                              : standin::FrameReader::State::Incomplete)
            << i;
    }
    EXPECT_EQ(reader.header().type, standin::kCommand);
    EXPECT_EQ(reader.payload(), payload);
}

TEST(StandinFraming, TwoMessagesInOneChunkAreTakenOneAtATime) {
    std::vector<std::uint8_t> wire = standin::encode(standin::kProbe, {});
    const std::vector<std::uint8_t> second = standin::encode(standin::kCommand, {{0xAB}});
    wire.insert(wire.end(), second.begin(), second.end());
    standin::FrameReader reader(kHostTypes);
    std::size_t used = 0;
    ASSERT_EQ(reader.feed(wire, used), standin::FrameReader::State::Complete);
    EXPECT_EQ(used, standin::kHeaderSize);
    EXPECT_EQ(reader.header().type, standin::kProbe);
    EXPECT_TRUE(reader.payload().empty());
    reader.next();
    std::size_t rest = 0;
    ASSERT_EQ(reader.feed(std::span(wire).subspan(used), rest),
              standin::FrameReader::State::Complete);
    EXPECT_EQ(used + rest, wire.size());
    EXPECT_EQ(reader.payload(), std::vector<std::uint8_t>{0xAB});
}

struct BrokenCase {
    const char* what;
    std::vector<std::uint8_t> header;
};

class BrokenHeaders : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenHeaders, AreRefusedBeforeAnyPayloadIsKept) {
    standin::FrameReader reader(kHostTypes);
    std::size_t used = 0;
    EXPECT_EQ(reader.feed(GetParam().header, used), standin::FrameReader::State::Broken);
    EXPECT_TRUE(reader.payload().empty());
    reader.next();
    EXPECT_EQ(reader.state(), standin::FrameReader::State::Broken) << "a broken stream stays so";
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BrokenHeaders,
    ::testing::Values(BrokenCase{"unknown_type", {'Z', 0, 0, 0, 1}},
                      BrokenCase{"reply_type_from_a_host", {'R', 0, 0, 0, 2}},
                      BrokenCase{"one_byte_past_the_limit", {'A', 0, 1, 0, 0x11}},
                      BrokenCase{"largest_length", {'A', 0xFF, 0xFF, 0xFF, 0xFF}}),
    [](const auto& p) { return std::string(p.param.what); });

TEST(StandinFraming, TheLongestPayloadIsAccepted) {
    const std::vector<std::uint8_t> payload(standin::kMaxPayload, 0x11);
    const std::vector<std::uint8_t> wire = standin::encode(standin::kCommand, payload);
    standin::FrameReader reader(kHostTypes);
    std::size_t used = 0;
    EXPECT_EQ(reader.feed(wire, used), standin::FrameReader::State::Complete);
    EXPECT_EQ(reader.payload().size(), standin::kMaxPayload);
    EXPECT_THROW(
        standin::encode(standin::kCommand, std::vector<std::uint8_t>(standin::kMaxPayload + 1)),
        std::length_error);
}

}  // namespace
