#include "device_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_keys.h"
#include "registration_plan.h"

namespace tokendesk {
namespace {

using testing::FakeContainer;
using testing::FakeKey;
using testing::FakeKeys;
using Kind = DeviceList::Change::Kind;

const std::vector<std::uint8_t> kEncCert = {0x30, 0x03, 0x01, 0x02, 0x03};
const std::vector<std::uint8_t> kSigCert = {0x30, 0x02, 0x05, 0x06};

FakeKey key(std::string serial, std::vector<FakeContainer> containers = {}) {
    return FakeKey{"Label " + serial, serial, std::move(containers)};
}

FakeContainer container(std::string name) {
    FakeContainer out;
    out.name = std::move(name);
    return out;
}

std::vector<std::string> serials(const DeviceList& list) {
    std::vector<std::string> out;
    for (const DeviceEntry& entry : list.entries()) out.push_back(entry.serial);
    return out;
}

std::vector<ItemCode> ids(const DeviceList& list) {
    std::vector<ItemCode> out;
    for (const DeviceEntry& entry : list.entries()) out.push_back(entry.id);
    return out;
}

TEST(DeviceListBuild, ReadsLabelsContainersAndCertificates) {
    FakeKeys keys;
    keys.keys = {
        key("1111", {{"both", 0x01010101, kEncCert, kSigCert},
                     {"sign only", 0x01010000, {}, kSigCert},
                     {"lost signature", 0x01000100, kEncCert, {}},  // export fails
                     {"closed", 0x01010101, kEncCert, kSigCert, true},
                     {"no info", 0x01010101, kEncCert, kSigCert, false, true}}),
        key("2222"),
    };
    DeviceList list(keys);
    list.rebuild();

    ASSERT_EQ(serials(list), (std::vector<std::string>{"1111", "2222"}));
    EXPECT_EQ(ids(list), (std::vector<ItemCode>{10000, 20000}));
    EXPECT_EQ(list.knownCount(), 2u);
    const DeviceEntry& first = list.entries()[0];
    EXPECT_EQ(first.label, "Label 1111");
    ASSERT_EQ(first.containers.size(), 5u);

    const ContainerEntry& both = first.containers[0];
    EXPECT_TRUE(both.hasEncryptionKeyPair && both.hasEncryptionCertificate &&
                both.hasSignatureKeyPair && both.hasSignatureCertificate);
    EXPECT_EQ(both.encryptionCertificate, kEncCert);
    EXPECT_EQ(both.signatureCertificate, kSigCert);

    const ContainerEntry& signOnly = first.containers[1];
    EXPECT_FALSE(signOnly.hasEncryptionCertificate);
    EXPECT_TRUE(signOnly.hasSignatureCertificate);

    const ContainerEntry& lost = first.containers[2];
    EXPECT_TRUE(lost.hasEncryptionCertificate);
    EXPECT_FALSE(lost.hasSignatureCertificate);  // cleared when the export failed
    EXPECT_TRUE(lost.signatureCertificate.empty());

    for (std::size_t at : {3u, 4u}) {
        const ContainerEntry& bare = first.containers[at];
        EXPECT_FALSE(bare.hasEncryptionKeyPair || bare.hasEncryptionCertificate ||
                     bare.hasSignatureKeyPair || bare.hasSignatureCertificate)
            << bare.name;
    }
    EXPECT_EQ(keys.openContainers(), 0);  // every opened container was closed
    EXPECT_EQ(keys.openHandles(), 2);
}

TEST(DeviceListBuild, UnreadableLabelOrSerial) {
    FakeKeys keys;
    keys.keys = {key("1111", {container("c")}), key("2222", {container("c")}),
                 key("3333", {container("c")})};
    keys.keys[0].labelFails = true;
    keys.keys[1].label.clear();  // read, but empty
    keys.keys[2].serialFails = true;
    DeviceList list(keys);
    list.rebuild();

    ASSERT_EQ(list.entries().size(), 3u);
    EXPECT_EQ(list.entries()[0].label, unformattedLabel());
    EXPECT_EQ(list.entries()[0].containers.size(), 1u);
    EXPECT_EQ(list.entries()[1].label, unformattedLabel());
    EXPECT_EQ(list.entries()[2].label, "Label 3333");
    EXPECT_TRUE(list.entries()[2].serial.empty());
    EXPECT_TRUE(list.entries()[2].containers.empty());  // listed without containers
}

TEST(DeviceListBuild, NoKeysFailedEnumerationAndUnconnectableKeys) {
    FakeKeys keys;
    DeviceList list(keys);
    list.rebuild();
    EXPECT_TRUE(list.entries().empty());

    keys.keys = {key("1111"), key("2222")};
    keys.enumFails = true;
    list.rebuild();
    EXPECT_TRUE(list.entries().empty());
    EXPECT_EQ(list.knownCount(), 0u);

    keys.enumFails = false;
    keys.keys[0].connectFails = true;
    list.rebuild();
    EXPECT_EQ(serials(list), (std::vector<std::string>{"2222"}));
    EXPECT_EQ(list.knownCount(), 1u);
}

TEST(DeviceListBuild, RefreshGivesNewIdsAndReleasesOldHandles) {
    FakeKeys keys;
    keys.keys = {key("1111"), key("2222")};
    {
        DeviceList list(keys);
        list.rebuild();
        list.rebuild();
        EXPECT_EQ(ids(list), (std::vector<ItemCode>{30000, 40000}));
        EXPECT_EQ(keys.openHandles(), 2);
    }
    EXPECT_EQ(keys.openHandles(), 0);  // the list disconnects every key when it goes
}

// One device-change message after a start with the keys marked present.
struct ChangeCase {
    const char* name;
    std::vector<std::string> atStart;  // serials present at start
    std::vector<std::string> pulled;   // serials taken out before the message
    std::vector<std::string> added;    // serials plugged in before the message
    bool enumFails;
    Kind kind;
    std::string changed;  // the serial added or removed
    std::vector<std::string> listed;
    std::uint32_t knownCount;
};

class DeviceListChange : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(DeviceListChange, AddsOrRemovesOneKey) {
    const ChangeCase& c = GetParam();
    FakeKeys keys;
    for (const auto& serial : c.atStart)
        keys.keys.push_back(key(serial, {{"c", 0x01000000, {}, kSigCert}}));
    DeviceList list(keys);
    list.rebuild();
    for (FakeKey& present : keys.keys) {
        for (const auto& serial : c.pulled) {
            if (present.serial == serial) present.present = false;
        }
    }
    for (const auto& serial : c.added) keys.keys.push_back(key(serial));
    keys.enumFails = c.enumFails;

    const DeviceList::Change change = list.deviceChanged();
    EXPECT_EQ(change.kind, c.kind);
    if (c.kind != Kind::None) {
        EXPECT_EQ(change.entry.serial, c.changed);
    }
    if (c.kind == Kind::Removed) {
        // What the caller needs to take the key's certificates out of the store.
        EXPECT_EQ(deviceCertificates(change.entry).size(), 1u);
        EXPECT_EQ(change.entry.handle, nullptr);
    }
    EXPECT_EQ(serials(list), c.listed);
    EXPECT_EQ(list.knownCount(), c.knownCount);
    // Only listed keys keep a handle; candidates that were already listed were let go.
    EXPECT_EQ(keys.openHandles(), static_cast<int>(list.entries().size()));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DeviceListChange,
    ::testing::Values(
        ChangeCase{
            "SecondOfTwoPulled", {"A1", "B2"}, {"B2"}, {}, false, Kind::Removed, "B2", {"A1"}, 1},
        ChangeCase{
            "FirstOfTwoPulled", {"A1", "B2"}, {"A1"}, {}, false, Kind::Removed, "A1", {"B2"}, 1},
        ChangeCase{"ThirdOfThreePulled",
                   {"A1", "B2", "C3"},
                   {"C3"},
                   {},
                   false,
                   Kind::Removed,
                   "C3",
                   {"A1", "B2"},
                   2},
        ChangeCase{"TwoPulledOneRemovedPerMessage",
                   {"A1", "B2", "C3"},
                   {"A1", "C3"},
                   {},
                   false,
                   Kind::Removed,
                   "A1",
                   {"B2", "C3"},
                   1},
        ChangeCase{"OneInserted", {"A1"}, {}, {"B2"}, false, Kind::Added, "B2", {"A1", "B2"}, 2},
        ChangeCase{"InsertedIntoEmptyList", {}, {}, {"A1"}, false, Kind::Added, "A1", {"A1"}, 1},
        ChangeCase{"TwoInsertedOneAddedCountTakesBoth",
                   {"A1"},
                   {},
                   {"B2", "C3"},
                   false,
                   Kind::Added,
                   "B2",
                   {"A1", "B2"},
                   3},
        ChangeCase{"SerialBeginningLikeAListedOne",
                   {"A1B2"},
                   {},
                   {"A1"},
                   false,
                   Kind::Added,
                   "A1",
                   {"A1B2", "A1"},
                   2},
        ChangeCase{"NothingChanged", {"A1", "B2"}, {}, {}, false, Kind::None, "", {"A1", "B2"}, 2},
        ChangeCase{"SwapInOneMessage", {"A1"}, {"A1"}, {"B2"}, false, Kind::None, "", {"A1"}, 1},
        ChangeCase{
            "EnumerationFails", {"A1", "B2"}, {"B2"}, {}, true, Kind::None, "", {"A1", "B2"}, 2}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tokendesk
