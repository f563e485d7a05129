#include "item_code.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>

namespace tokendesk {
namespace {

struct DecodeCase {
    const char* name;
    ItemCode code;
    NodeKind node;
    ItemCode deviceId;
    int container;
    LeafKind leaf;
};

class ItemCodeDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ItemCodeDecode, FindsKeyContainerAndLeaf) {
    const DecodeCase& c = GetParam();
    const DecodedItem item = decodeItem(c.code);
    EXPECT_EQ(item.node, c.node);
    if (c.node == NodeKind::None) return;
    EXPECT_EQ(item.deviceId, c.deviceId);
    EXPECT_EQ(item.container, c.container);
    if (c.node == NodeKind::Leaf) {
        EXPECT_EQ(item.leaf, c.leaf);
    }
}

constexpr auto kEnc = LeafKind::EncryptionCertificate;
INSTANTIATE_TEST_SUITE_P(
    Codes, ItemCodeDecode,
    ::testing::Values(DecodeCase{"Placeholder", 0, NodeKind::None, 0, 0, kEnc},
                      DecodeCase{"Negative", -10000, NodeKind::None, 0, 0, kEnc},
                      DecodeCase{"FirstKey", 10000, NodeKind::Key, 10000, 0, kEnc},
                      DecodeCase{"ThirdKey", 30000, NodeKind::Key, 30000, 0, kEnc},
                      DecodeCase{"FirstContainer", 10010, NodeKind::Container, 10000, 1, kEnc},
                      DecodeCase{"NinthContainer", 10090, NodeKind::Container, 10000, 9, kEnc},
                      // Past nine containers a narrower stride would reach the next key.
                      DecodeCase{"TenthContainer", 10100, NodeKind::Container, 10000, 10, kEnc},
                      DecodeCase{"LastContainer", 19990, NodeKind::Container, 10000, 999, kEnc},
                      DecodeCase{"EncryptionCertificate", 20011, NodeKind::Leaf, 20000, 1,
                                 LeafKind::EncryptionCertificate},
                      DecodeCase{"EncryptionKeyPair", 20012, NodeKind::Leaf, 20000, 1,
                                 LeafKind::EncryptionKeyPair},
                      DecodeCase{"SignatureCertificate", 20023, NodeKind::Leaf, 20000, 2,
                                 LeafKind::SignatureCertificate},
                      DecodeCase{"SignatureKeyPair", 20124, NodeKind::Leaf, 20000, 12,
                                 LeafKind::SignatureKeyPair},
                      DecodeCase{"LeafWithoutContainer", 10003, NodeKind::None, 0, 0, kEnc},
                      DecodeCase{"UnknownLeafKind", 10015, NodeKind::None, 0, 0, kEnc}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ItemCodeEncode, RoundTripsEveryPositionAndKind) {
    for (int position : {1, 2, 9, 10, 128, kMaxContainers}) {
        const auto container = containerCode(20000, position);
        ASSERT_TRUE(container.has_value()) << position;
        const DecodedItem decoded = decodeItem(*container);
        EXPECT_EQ(decoded.node, NodeKind::Container);
        EXPECT_EQ(decoded.deviceId, 20000);
        EXPECT_EQ(decoded.container, position);
        for (LeafKind kind : {LeafKind::EncryptionCertificate, LeafKind::EncryptionKeyPair,
                              LeafKind::SignatureCertificate, LeafKind::SignatureKeyPair}) {
            const DecodedItem leaf = decodeItem(leafCode(*container, kind));
            EXPECT_EQ(leaf.node, NodeKind::Leaf);
            EXPECT_EQ(leaf.deviceId, 20000);
            EXPECT_EQ(leaf.container, position);
            EXPECT_EQ(leaf.leaf, kind);
        }
    }
    EXPECT_FALSE(containerCode(20000, 0).has_value());
    EXPECT_FALSE(containerCode(20000, kMaxContainers + 1).has_value());
}

TEST(DeviceIdCounter, GivesNewIdsAcrossRefreshes) {
    DeviceIdCounter counter;
    const auto none = [](ItemCode) { return false; };
    EXPECT_EQ(counter.next(none), 10000);
    EXPECT_EQ(counter.next(none), 20000);
    // A refresh builds every entry again: the same keys get the next ids.
    EXPECT_EQ(counter.next(none), 30000);
    EXPECT_EQ(counter.next(none), 40000);
}

TEST(DeviceIdCounter, StartsAgainBelowOverflowAndSkipsListedIds) {
    DeviceIdCounter counter;
    const auto none = [](ItemCode) { return false; };
    ItemCode id = 0;
    ItemCode previous = 0;
    // Run the counter to its end: every code of the last id must still fit.
    while ((id = counter.next(none)) > previous) previous = id;
    EXPECT_EQ(id, 10000);
    EXPECT_LE(static_cast<long long>(previous) + kDeviceStride - 1,
              std::numeric_limits<ItemCode>::max());
    EXPECT_GT(static_cast<long long>(previous) + 2 * kDeviceStride - 1,
              std::numeric_limits<ItemCode>::max());
    // After the wrap, ids of keys that are still listed are not handed out again.
    const std::set<ItemCode> listed = {20000, 30000};
    EXPECT_EQ(counter.next([&](ItemCode candidate) { return listed.count(candidate) != 0; }),
              40000);
}

}  // namespace
}  // namespace tokendesk
