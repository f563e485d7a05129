// Key files: where they are, and that their contents never come out as file bytes.
#include <functional>

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

std::uint16_t refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const StatusError& e) {
        return e.code();
    }
    return sw::kSuccess;
}

// Whatever a key command does, a private component has no way out of its file, and a public
// key file holds public components only.
TEST(KeyFileContents, PrivatePartsStayInPrivateKeyFiles) {
    FileSystem files;
    const std::size_t pubAt = files.addKeyFile(FileSystem::kRoot, 0x0004, FileType::PublicKey,
                                               Access::Free, Access::User);
    const std::size_t privAt = files.addKeyFile(FileSystem::kRoot, 0x0005, FileType::PrivateKey,
                                                Access::User, Access::User);
    const std::size_t plainAt =
        files.addTransparent(FileSystem::kRoot, 0x0006, 8, Access::Free, Access::Free);
    FileNode& pub = files.node(pubAt);
    FileNode& priv = files.node(privAt);
    FileNode& plain = files.node(plainAt);
    const Bytes value(64, 0x3C);
    struct Case {
        const char* name;
        std::function<void()> call;
        std::uint16_t sw;
    };
    const Case cases[] = {
        {"private component into the private file",
         [&] { writeKeyComponent(priv, KeyAlgorithm::Rsa, component::kRsaPrime1, value); },
         sw::kSuccess},
        {"public component into the public file",
         [&] { writeKeyComponent(pub, KeyAlgorithm::Rsa, component::kRsaModulus, value); },
         sw::kSuccess},
        {"private component into the public file",
         [&] { writeKeyComponent(pub, KeyAlgorithm::Rsa, component::kRsaPrime2, value); },
         sw::kWrongData},
        {"public component into the private file",
         [&] { writeKeyComponent(priv, KeyAlgorithm::Rsa, component::kRsaModulus, value); },
         sw::kWrongData},
        {"SM2 d into the public file",
         [&] { writeKeyComponent(pub, KeyAlgorithm::Sm2, component::kSm2PrivateKey, value); },
         sw::kWrongData},
        {"component into a plain file",
         [&] { writeKeyComponent(plain, KeyAlgorithm::Rsa, component::kRsaModulus, value); },
         sw::kIncompatibleFile},
        {"reading the public file", [&] { readKeyComponent(pub, component::kRsaModulus); },
         sw::kSuccess},
        {"reading what the public file lacks",
         [&] { readKeyComponent(pub, component::kRsaPublicExponent); }, sw::kKeyNotFound},
        {"reading the private file", [&] { readKeyComponent(priv, component::kRsaPrime1); },
         sw::kSecurityNotSatisfied},
        {"reading a plain file", [&] { readKeyComponent(plain, 1); }, sw::kIncompatibleFile},
    };
    for (const Case& c : cases) EXPECT_EQ(refusal(c.call), c.sw) << c.name;

    // Another algorithm's write starts a new key.
    writeKeyComponent(pub, KeyAlgorithm::Sm2, component::kSm2PublicPoint, value);
    EXPECT_EQ(pub.key->algorithm, KeyAlgorithm::Sm2);
    EXPECT_EQ(pub.key->components.size(), 1u);
}

TEST(KeyFileContents, AGeneratedPairIsSplitBetweenItsFiles) {
    FileSystem files;
    const std::size_t pubAt = files.addKeyFile(FileSystem::kRoot, 0x0004, FileType::PublicKey,
                                               Access::Free, Access::User);
    const std::size_t privAt = files.addKeyFile(FileSystem::kRoot, 0x0005, FileType::PrivateKey,
                                                Access::User, Access::User);
    FileNode& pub = files.node(pubAt);
    FileNode& priv = files.node(privAt);
    KeyObject pair{KeyAlgorithm::Rsa, {}};
    for (std::uint8_t n = 1; n <= 7; ++n) pair.set(n, Bytes(4, n));
    storeKeyPair(pub, priv, pair);
    ASSERT_TRUE(pub.key && priv.key);
    EXPECT_EQ(pub.key->components.size(), 2u);
    EXPECT_TRUE(pub.key->has(component::kRsaPublicExponent) &&
                pub.key->has(component::kRsaModulus));
    EXPECT_EQ(priv.key->components.size(), 5u);
    EXPECT_FALSE(priv.key->has(component::kRsaModulus));
    EXPECT_EQ(refusal([&] { storeKeyPair(priv, pub, pair); }), sw::kIncompatibleFile);
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
