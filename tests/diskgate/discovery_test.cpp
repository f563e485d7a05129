// Which disks the service lists as tokens, and in which order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_disks.h"
#include "token_table.h"

namespace {

using diskgate::PlugIn;
using fake::Bytes;
using fake::Disk;

Disk token(int n, std::uint64_t time) {
    Disk d;
    d.path = fake::tokenPath(n);
    d.plugIn = {PlugIn::Kind::Time, time, 0};
    return d;
}

Disk withProbeAnswer(Disk d, Bytes answer) {
    d.answer = [answer](const Bytes&) { return answer; };
    return d;
}

Disk withPlugIn(Disk d, PlugIn plugIn) {
    d.plugIn = plugIn;
    return d;
}

Disk withOpenError(Disk d, diskgate::SystemError error) {
    d.openError = error;
    return d;
}

// A status record whose second byte is `b`.
Bytes statusWithSecondByte(std::uint8_t b) {
    return {0x01, b,    0x01, 0x02, 0x00, 0x04, 0x02, 0x00, 0x00,
            0x80, 0x00, 0x14, 0x00, 0x80, 0x00, 0x90, 0x00};
}

struct Case {
    std::string name;
    std::vector<Disk> disks;
    diskgate::SystemError listingEndsWith = 0;
    diskgate::SystemError result = 0;
    std::vector<std::string> listed;  // paths in index order
};

std::vector<Case> cases() {
    using namespace fake;
    std::vector<Case> c;
    c.push_back({"PluggedInOrderWhateverTheSystemOrder",
                 {token(1, 300), token(2, 100), token(3, 200)},
                 0,
                 0,
                 {tokenPath(2), tokenPath(3), tokenPath(1)}});
    c.push_back({"EqualTimesKeepTheSystemOrder",
                 {token(1, 100), token(2, 100), token(3, 50)},
                 0,
                 0,
                 {tokenPath(3), tokenPath(1), tokenPath(2)}});
    {
        Disk upper = token(1, 10);
        upper.identity = "\\\\?\\USBSTOR#DISK&VEN_TARVEX&PROD_USB_KEY#1";
        Disk mixed = token(2, 20);
        mixed.identity = "\\\\?\\usbstor#Disk&Ven_Tarvex&Prod_Usb_Key#2";
        Disk other = token(3, 5);
        other.path = otherDiskPath(3);
        Disk almost = token(4, 1);
        almost.identity = "\\\\?\\usbstor#disk&ven_tarvex&prod_usb_kez#4";
        c.push_back({"VendorMarkInAnyLetterCase",
                     {upper, other, mixed, almost},
                     0,
                     0,
                     {tokenPath(1), tokenPath(2)}});
    }
    c.push_back({"ProbeSecondByteInRejectedRange",
                 {withProbeAnswer(token(1, 1), statusWithSecondByte(0x2A)),
                  withProbeAnswer(token(2, 2), statusWithSecondByte(0x29)),
                  withProbeAnswer(token(3, 3), statusWithSecondByte(0x50)),
                  withProbeAnswer(token(4, 4), statusWithSecondByte(0x28)),
                  withProbeAnswer(token(5, 5), statusWithSecondByte(0x51))},
                 0,
                 0,
                 {tokenPath(4), tokenPath(5)}});
    c.push_back(
        {"ProbeAnswerOfTwoBytesOrAnotherStatusWord",
         {withProbeAnswer(token(1, 1), {0x90, 0x00}), withProbeAnswer(token(2, 2), {0x6D, 0x00}),
          withProbeAnswer(token(3, 3), {0x01, 0x03, 0x6A, 0x82}),
          withProbeAnswer(token(4, 4), {0x01, 0x90, 0x00}), token(5, 5)},
         0,
         0,
         {tokenPath(4), tokenPath(5)}});
    {
        Disk silent = token(1, 1);
        silent.sendFailure = {31, 0};
        Disk empty = withProbeAnswer(token(2, 2), {});
        c.push_back({"ProbeThatCannotBeSentOrGetsNothing",
                     {silent, empty, token(3, 3)},
                     0,
                     0,
                     {tokenPath(3)}});
    }
    c.push_back({"OpenRefusedForLackOfRightsEndsDiscovery",
                 {token(1, 1), withOpenError(token(2, 2), 5), token(3, 3)},
                 0,
                 5,
                 {}});
    c.push_back({"OpenFailingOtherwiseTakesTheDiskUnprobed",
                 {withOpenError(token(1, 2), 32), token(2, 1)},
                 0,
                 0,
                 {tokenPath(2), tokenPath(1)}});
    c.push_back({"DisksWithoutATimeFollowInTheirListedPlace",
                 {withPlugIn(token(1, 0), {PlugIn::Kind::Position, 1, 0}), token(2, 500),
                  withPlugIn(token(3, 0), {PlugIn::Kind::Position, 0, 0}), token(4, 100)},
                 0,
                 0,
                 {tokenPath(4), tokenPath(2), tokenPath(3), tokenPath(1)}});
    c.push_back({"DiskTheSystemHasNoRecordOfIsLeftOut",
                 {withPlugIn(token(1, 0), {PlugIn::Kind::Unknown, 0, 0}), token(2, 1)},
                 0,
                 0,
                 {tokenPath(2)}});
    c.push_back({"FailedPlugInLookupEndsDiscovery",
                 {token(1, 1), withPlugIn(token(2, 0), {PlugIn::Kind::Failed, 0, 2})},
                 0,
                 2,
                 {}});
    c.push_back({"ListingThatEndsWithAnError", {token(1, 1)}, 1784, 1784, {}});
    {
        Disk longPath = token(1, 1);
        longPath.path += std::string(260 - longPath.path.size(), 'x');
        Disk longest = token(2, 2);
        longest.path += std::string(259 - longest.path.size(), 'y');
        c.push_back({"PathASlotCannotHoldIsLeftOut", {longPath, longest}, 0, 0, {longest.path}});
    }
    {
        std::vector<Disk> seventeen;
        std::vector<std::string> first16;
        for (int i = 0; i < 17; ++i) {
            seventeen.push_back(token(i, 1000 - i));
            if (i < 16) first16.insert(first16.begin(), tokenPath(i));
        }
        c.push_back({"SixteenOfSeventeen", seventeen, 0, 0, first16});
        // The sixteenth token found ends the search: an error further on is never met.
        c.push_back({"SixteenFoundBeforeAListingError", seventeen, 1784, 0, first16});
    }
    return c;
}

class Discovery : public ::testing::TestWithParam<Case> {};

TEST_P(Discovery, ListsTokens) {
    const Case& c = GetParam();
    fake::Disks io;
    io.disks = c.disks;
    io.listingEndsWith = c.listingEndsWith;
    diskgate::TokenTable table;
    EXPECT_EQ(table.discover(io), c.result);
    std::vector<std::string> listed;
    for (std::size_t i = 0; i < table.count(); ++i) listed.push_back(table.at(i).path);
    EXPECT_EQ(listed, c.listed);
    // Every disk opened for the probe is closed again.
    EXPECT_EQ(io.openCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, Discovery, ::testing::ValuesIn(cases()),
                         [](const auto& p) { return p.param.name; });

TEST(DiscoveryProbe, SendsTheIdentificationCommandAndNothingElse) {
    fake::Disks io;
    io.disks = {token(1, 1)};
    diskgate::TokenTable table;
    ASSERT_EQ(table.discover(io), 0u);
    EXPECT_EQ(io.sent(fake::tokenPath(1)), (std::vector<Bytes>{{0xBF, 0xC8, 0x00, 0x00, 0x0F}}));
}

TEST(DiscoveryProbe, SeventeenthTokenIsNeverOpened) {
    fake::Disks io;
    for (int i = 0; i < 17; ++i) io.disks.push_back(token(i, i));
    diskgate::TokenTable table;
    ASSERT_EQ(table.discover(io), 0u);
    EXPECT_EQ(io.count(fake::Event::Open), 16);
    EXPECT_FALSE(table.recorded(fake::tokenPath(16)));
}

TEST(DiscoveryTable, EachDiscoveryStartsAfresh) {
    fake::Disks io;
    io.disks = {token(1, 1), token(2, 2)};
    diskgate::TokenTable table;
    ASSERT_EQ(table.discover(io), 0u);
    EXPECT_TRUE(table.recorded(fake::tokenPath(1)));
    io.disks.erase(io.disks.begin());
    ASSERT_EQ(table.discover(io), 0u);
    EXPECT_EQ(table.count(), 1u);
    EXPECT_FALSE(table.recorded(fake::tokenPath(1)));
    EXPECT_TRUE(table.recorded(fake::tokenPath(2)));
    // A failed discovery leaves nothing that a client could open.
    io.listingEndsWith = 1784;
    EXPECT_EQ(table.discover(io), 1784u);
    EXPECT_EQ(table.count(), 0u);
    EXPECT_FALSE(table.recorded(fake::tokenPath(2)));
}

}  // namespace
