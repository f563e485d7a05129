// Key files: where they are, and that their contents never come out as file bytes.
#include "token_fixture.h"

namespace vtoken::testing {
namespace {

TEST(KeyFileIds, FollowTheContainerAndSlotNumbering) {
    struct Case {
        unsigned container, slot;
        KeyFileIds rsa, sm2;
    };
    const Case cases[] = {
        {1, 1, {0x04, 0x05}, {0x24, 0x25}},
        {1, 2, {0x06, 0x07}, {0x26, 0x27}},
        {2, 1, {0x0A, 0x0B}, {0x2A, 0x2B}},
        {4, 2, {0x18, 0x19}, {0x38, 0x39}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "container " << c.container << " slot " << c.slot);
        EXPECT_EQ(rsaKeyFiles(c.container, c.slot).publicKey, c.rsa.publicKey);
        EXPECT_EQ(rsaKeyFiles(c.container, c.slot).privateKey, c.rsa.privateKey);
        EXPECT_EQ(sm2KeyFiles(c.container, c.slot).publicKey, c.sm2.publicKey);
        EXPECT_EQ(sm2KeyFiles(c.container, c.slot).privateKey, c.sm2.privateKey);
    }
}

TEST(KeyComponents, PrivateOnesAreKnownByNumber) {
    EXPECT_FALSE(isPrivateComponent(KeyAlgorithm::Rsa, component::kRsaPublicExponent));
    EXPECT_FALSE(isPrivateComponent(KeyAlgorithm::Rsa, component::kRsaModulus));
    for (std::uint8_t n = component::kRsaPrime1; n <= component::kRsaExponent2; ++n) {
        EXPECT_TRUE(isPrivateComponent(KeyAlgorithm::Rsa, n)) << int(n);
    }
    EXPECT_FALSE(isPrivateComponent(KeyAlgorithm::Sm2, component::kSm2PublicPoint));
    EXPECT_TRUE(isPrivateComponent(KeyAlgorithm::Sm2, component::kSm2PrivateKey));
    const KeyObject empty;
    try {
        empty.get(component::kRsaModulus);
        FAIL() << "a missing component was handed out";
    } catch (const StatusError& e) {
        EXPECT_EQ(e.code(), sw::kKeyNotFound);
    }
}

class KeyFileTest : public TokenTest {
  protected:
    void SetUp() override {
        TokenTest::SetUp();
        // A stand-in for the key commands: answers with the first byte of component 1 of the
        // selected private or public key file, as P1 01 or 02 asks.
        token().commands().add(0x80, 0x99, [](CommandContext& context, const Apdu& apdu) {
            const FileType type = apdu.p1 == 1 ? FileType::PrivateKey : FileType::PublicKey;
            const FileNode& file = context.selectedKeyFile(type);
            if (!file.key) refuse(sw::kKeyNotFound);
            return Reply{Bytes{file.key->get(1).at(0)}};
        });
    }
};

TEST_F(KeyFileTest, FileCommandsDoNotReachThem) {
    login(kFirstApplication, kUserPin);
    const KeyFileIds ids = rsaKeyFiles(1, 1);
    for (std::uint16_t fid : {ids.publicKey, ids.privateKey}) {
        SCOPED_TRACE(fid);
        ASSERT_EQ(select(fid), sw::kSuccess);
        EXPECT_EQ(sw("00B0000001"), sw::kIncompatibleFile);
        EXPECT_EQ(sw("00D6000001AA"), sw::kIncompatibleFile);
        EXPECT_EQ(sw("00B2010401"), sw::kIncompatibleFile);
    }
}

TEST_F(KeyFileTest, TheSelectedKeyFileMustBeOfTheKindAsked) {
    EXPECT_EQ(sw("80990100"), sw::kNoCurrentEf);
    ASSERT_EQ(select(kFirstApplication), sw::kSuccess);
    ASSERT_EQ(select(0x0003), sw::kSuccess);  // a certificate file
    EXPECT_EQ(sw("80990100"), sw::kIncompatibleFile);
    ASSERT_EQ(select(sm2KeyFiles(2, 1).publicKey), sw::kSuccess);
    EXPECT_EQ(sw("80990100"), sw::kIncompatibleFile);
    EXPECT_EQ(sw("80990200"), sw::kKeyNotFound);  // the right kind, but empty
}

}  // namespace
}  // namespace vtoken::testing
