// A handler that fails inside (a bug, an allocation, a library error) must not take the token
// down or leave it half-changed: the command is answered 6F00 and nothing it did stays.
#include <new>
#include <stdexcept>

#include "token_fixture.h"

namespace vtoken::testing {
namespace {

class HandlerFault : public TokenTest {
  protected:
    void SetUp() override {
        token_ = std::make_unique<Token>(provision(defaultOptions()),
                                         [this](const TokenState&) { ++saves_; });
        // Changes persistent and volatile state, then fails the way P1 says.
        token().commands().add(0x80, 0x98, [](CommandContext& context, const Apdu& apdu) -> Reply {
            const auto label = context.files().child(FileSystem::kRoot, kLabelFileId);
            context.files().node(*label).body[2] = 'X';
            context.markChanged();
            context.session().applicationState().admin = true;
            context.registers().cipherKey = Registers::CipherKey{0x02, secretCopy(Bytes(16, 7))};
            switch (apdu.p1) {
                case 1:
                    throw std::runtime_error("library failure");
                case 2:
                    throw std::bad_alloc();
                case 3:
                    throw 42;  // not even an exception class
                default:
                    return {};
            }
        });
    }

    Bytes label() {
        const auto file = token().state().files.child(FileSystem::kRoot, kLabelFileId);
        return token().state().files.node(*file).body;
    }

    int saves_ = 0;
};

TEST_F(HandlerFault, AnyExceptionIsAnswered6F00AndLeavesNothingBehind) {
    login(kFirstApplication, kUserPin);
    const Bytes labelBefore = label();
    for (const char* command : {"80980100", "80980200", "80980300"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(send(command), hex("6F00"));
        EXPECT_EQ(label(), labelBefore);
        EXPECT_TRUE(token().session().verified.at(kFirstApplication).user);
        EXPECT_FALSE(token().session().verified.at(kFirstApplication).admin);
        EXPECT_FALSE(token().session().registers.cipherKey);
        EXPECT_EQ(saves_, 0);
    }
    // Still the same token: the selection and the verified PIN hold, files update and save.
    ASSERT_EQ(select(kLabelFileId), sw::kSuccess);
    EXPECT_EQ(sw("00D6000201AA"), sw::kSuccess);
    EXPECT_EQ(saves_, 1);
}

TEST_F(HandlerFault, ChangesOfEarlierCommandsStay) {
    ASSERT_EQ(select(kLabelFileId), sw::kSuccess);
    ASSERT_EQ(sw("00D6000301BB"), sw::kSuccess);
    const Bytes changed = label();
    ASSERT_EQ(changed[3], 0xBB);
    EXPECT_EQ(send("80980100"), hex("6F00"));
    EXPECT_EQ(label(), changed);
    // The same handler, not failing, keeps what it did.
    EXPECT_EQ(send("80980000"), hex("9000"));
    EXPECT_EQ(label()[2], 'X');
}

TEST_F(HandlerFault, APendingResponseSurvivesAFailedCommand) {
    token().commands().add(0x80, 0x97, [](CommandContext& context, const Apdu&) {
        return context.deferResponse(Bytes(300, 0x11));
    });
    EXPECT_EQ(send("80970000"), hex("6100"));
    EXPECT_EQ(send("80980100"), hex("6F00"));
    Bytes expected(256, 0x11);
    expected.push_back(0x61);
    expected.push_back(0x2C);
    EXPECT_EQ(send("00C0000000"), expected);
}

}  // namespace
}  // namespace vtoken::testing
