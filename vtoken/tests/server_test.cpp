#include "vtoken/server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "token_fixture.h"
#include "vpcd_peer.h"
#include "vtoken/vpcd_framer.h"

namespace vtoken {
namespace {

using namespace std::chrono_literals;
using testing::ControlClient;
using testing::hex;
using testing::VpcdPeer;

// Runs the server on its own thread against a VpcdPeer played by the test.
class ServerTest : public ::testing::Test {
  protected:
    ServerTest() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    ~ServerTest() override {
        stop();
        std::filesystem::remove_all(dir_);
    }

    void start(std::uint16_t port) {
        std::vector<FrontEnd> frontEnds;
        frontEnds.push_back(FrontEnd{makeConnectLink("127.0.0.1", port, Backoff{20ms, 100ms}),
                                     std::make_unique<VpcdFramer>()});
        start(std::move(frontEnds));
    }
    void start(std::vector<FrontEnd> frontEnds) {
        server_.emplace(session_, std::move(frontEnds), ServerOptions{controlPath()});
        thread_ = std::thread([this] { server_->run(); });
    }
    void stop() {
        if (thread_.joinable()) {
            server_->requestStop();
            thread_.join();
        }
    }
    std::string controlPath() const { return (dir_ / "control.sock").string(); }

    std::filesystem::path dir_;
    Token token_{provision(testing::defaultOptions())};
    CardSession session_{token_, nullptr};
    std::optional<Server> server_;
    std::thread thread_;
};

TEST_F(ServerTest, AnswersAtrAndCommandsOverVpcdFraming) {
    VpcdPeer vpcd;
    start(vpcd.port());
    ASSERT_TRUE(vpcd.accept());
    vpcd.send({0x01});  // power on: no answer
    auto atr = vpcd.exchange({0x04});
    ASSERT_TRUE(atr);
    EXPECT_EQ(*atr, token_.atr());
    EXPECT_EQ(vpcd.exchange(hex("BFC400000A")), hex("0102030405060708090A 9000"));
    // A long command and a long reply cross in one frame each.
    ASSERT_EQ(vpcd.exchange(hex("00A4000002DDF1")), hex("9000"));
    ASSERT_EQ(vpcd.exchange(hex("00A40000020003")), hex("9000"));
    auto reply = vpcd.exchange(hex("00B0000000"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 258u);
}

TEST_F(ServerTest, ResetAndPowerOffClearTheSelection) {
    VpcdPeer vpcd;
    start(vpcd.port());
    ASSERT_TRUE(vpcd.accept());
    for (std::uint8_t control : {0x00, 0x02}) {
        ASSERT_EQ(vpcd.exchange(hex("00A4000002FFEE")), hex("9000"));
        vpcd.send({control});
        EXPECT_EQ(vpcd.exchange(hex("00B0000001")), hex("6986"));
    }
}

TEST_F(ServerTest, ControlChannelInjectsStatusWords) {
    VpcdPeer vpcd;
    start(vpcd.port());
    ASSERT_TRUE(vpcd.accept());
    ControlClient control(controlPath());
    EXPECT_EQ(control.request("ping"), "ok");
    EXPECT_EQ(control.request("sw 00a4 6a82 1"), "ok");
    EXPECT_EQ(vpcd.exchange(hex("00A40000023F00")), hex("6A82"));
    EXPECT_EQ(vpcd.exchange(hex("00A40000023F00")), hex("9000"));
    EXPECT_EQ(control.request("max-block 64"), "ok");
    EXPECT_EQ(vpcd.exchange(hex("BFC0000004")), hex("00000040 9000"));
    EXPECT_EQ(control.request("frobnicate"), "error: unknown request 'frobnicate'");
    EXPECT_EQ(control.request("sw 80C6"), "error: wrong number of arguments for 'sw'");
    // A second client works alongside the first.
    ControlClient other(controlPath());
    EXPECT_EQ(other.request("clear"), "ok");
    EXPECT_EQ(vpcd.exchange(hex("BFC0000004")), hex("00000400 9000"));
}

TEST_F(ServerTest, DropAfterPullsTheCardUntilReinsert) {
    VpcdPeer vpcd;
    start(vpcd.port());
    ASSERT_TRUE(vpcd.accept());
    ControlClient control(controlPath());
    ASSERT_EQ(vpcd.exchange(hex("00A4000002FFEE")), hex("9000"));
    EXPECT_EQ(control.request("drop-after 00B0"), "ok");
    EXPECT_EQ(vpcd.exchange(hex("00B0000001")), std::nullopt);  // closed, no answer
    EXPECT_FALSE(vpcd.accept(400ms)) << "the pulled card came back by itself";
    EXPECT_EQ(control.request("reinsert"), "ok");
    ASSERT_TRUE(vpcd.accept());
    // A new insertion starts from a fresh selection.
    EXPECT_EQ(vpcd.exchange(hex("00B0000001")), hex("6986"));
}

TEST_F(ServerTest, ReconnectsWhenVpcdComesUpLateOrGoesAway) {
    std::uint16_t port;
    {
        VpcdPeer probe;  // find a free port, then let it go
        port = probe.port();
    }
    start(port);
    std::this_thread::sleep_for(150ms);  // a few refused attempts
    VpcdPeer vpcd(port);
    ASSERT_TRUE(vpcd.accept());
    EXPECT_EQ(vpcd.exchange(hex("00A40000023F00")), hex("9000"));
    vpcd.closeCard();
    ASSERT_TRUE(vpcd.accept());
    EXPECT_EQ(vpcd.exchange(hex("00A40000023F00")), hex("9000"));
}

// A handler that fails inside answers 6F00; the server and the card go on.
TEST_F(ServerTest, AFailingHandlerLeavesTheServerServing) {
    token_.commands().add(0x80, 0x98, [](CommandContext&, const Apdu&) -> Reply {
        throw std::runtime_error("a bug in a command family");
    });
    VpcdPeer vpcd;
    start(vpcd.port());
    ASSERT_TRUE(vpcd.accept());
    ASSERT_EQ(vpcd.exchange(hex("00A4000002FFEE")), hex("9000"));
    EXPECT_EQ(vpcd.exchange(hex("80980000")), hex("6F00"));
    EXPECT_EQ(vpcd.exchange(hex("00B0000001")), hex("08 9000"));  // same card, same selection
}

TEST_F(ServerTest, StopsOnRequestAndRemovesTheControlSocket) {
    VpcdPeer vpcd;
    start(vpcd.port());
    ASSERT_TRUE(vpcd.accept());
    EXPECT_TRUE(std::filesystem::exists(controlPath()));
    stop();
    server_.reset();
    EXPECT_FALSE(std::filesystem::exists(controlPath()));
}

}  // namespace
}  // namespace vtoken
