// Front-ends: the vpcd framer on its own, each link crossed with it under the server, the
// pull and reinsertion of every link, and the text that names a front-end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>

#include <thread>

#include "token_fixture.h"
#include "vpcd_peer.h"
#include "vtoken/driver_framer.h"
#include "vtoken/front_end_address.h"
#include "vtoken/server.h"
#include "vtoken/standin_framer.h"
#include "vtoken/vpcd_framer.h"

namespace vtoken {
namespace {

using namespace std::chrono_literals;
using testing::ControlClient;
using testing::hex;

// A card that records what the framer asked of it.
class RecordingCard : public CardPort {
  public:
    std::optional<Bytes> command(ByteView apdu) override {
        calls.push_back("command " + toHex(apdu));
        if (pullOn && toHex(apdu) == *pullOn) return std::nullopt;
        Bytes reply(replyLength, 0xAB);
        reply.push_back(0x90);
        reply.push_back(0x00);
        return reply;
    }
    void powerOn() override { calls.push_back("on"); }
    void powerOff() override { calls.push_back("off"); }
    void reset() override { calls.push_back("reset"); }
    Bytes atr() override { return hex("3B00"); }

    std::vector<std::string> calls;
    std::size_t replyLength = 1;
    std::optional<std::string> pullOn;
};

TEST(VpcdFramer, MessagesCutAnywhereGiveTheSameAnswers) {
    const Bytes stream = hex("0001 01  0001 04  0005 00A4000000  0000  0001 07  0001 02  0001 00");
    const Bytes expected = hex("0002 3B00  0003 AB9000");
    const std::vector<std::string> calls = {"on", "command 00A4000000", "reset", "off"};
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, stream.size()}) {
        SCOPED_TRACE(piece);
        VpcdFramer framer;
        RecordingCard card;
        Bytes out;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const Bytes part = framer.receive(
                ByteView(stream).subspan(at, std::min(piece, stream.size() - at)), card);
            out.insert(out.end(), part.begin(), part.end());
        }
        EXPECT_EQ(out, expected);
        EXPECT_EQ(card.calls, calls);
    }
}

TEST(VpcdFramer, APulledCardAnswersNothingMoreAndRestartForgetsHalfMessages) {
    VpcdFramer framer;
    RecordingCard card;
    card.pullOn = "00B0000001";
    EXPECT_EQ(framer.receive(hex("0005 00B0000001  0005 00A4000000  00"), card), Bytes{});
    EXPECT_EQ(card.calls, std::vector<std::string>{"command 00B0000001"});
    // The half-received length byte of before is gone after a restart.
    framer.restart();
    EXPECT_EQ(framer.receive(hex("0005 00A4000000"), card), hex("0003 AB9000"));
}

TEST(VpcdFramer, AReplyTooLongForItsLengthFieldBecomesWrongLength) {
    VpcdFramer framer;
    RecordingCard card;
    card.replyLength = 0xFFFE;  // with the status word, one byte over 65535
    EXPECT_EQ(framer.receive(hex("0005 00B0000000"), card), hex("0002 6700"));
    card.replyLength = 0xFFFD;
    EXPECT_EQ(framer.receive(hex("0005 00B0000000"), card).size(), 2u + 0xFFFF);
}

TEST(FrontEndSpec, NamesWhatIsWrong) {
    struct Case {
        const char* spec;
        const char* message;
    };
    const Case cases[] = {
        {"vpcd", "FRAMER:LINK:ADDRESS"},
        {"vpcd:connect", "FRAMER:LINK:ADDRESS"},
        {"morse:connect:127.0.0.1:1", "unknown framer 'morse' (known: vpcd"},
        {"vpcd:carrier:x", "unknown link 'carrier'"},
        {"vpcd:connect:localhost", "HOST:PORT"},
        {"vpcd:connect:127.0.0.1:0", "bad port"},
        {"vpcd:listen:127.0.0.1:65536", "bad port"},
        {"vpcd:pty:", "needs a path"},
    };
    for (const Case& c : cases) {
        try {
            makeFrontEnd(c.spec);
            ADD_FAILURE() << c.spec << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.spec << ": " << e.what();
        }
    }
    EXPECT_EQ(makeFrontEnd("vpcd:listen:127.0.0.1:0").link->describe(), "listen 127.0.0.1:0");
    EXPECT_EQ(makeFrontEnd("vpcd:connect:::1:35963").link->describe(), "connect ::1:35963");
    EXPECT_EQ(makeFrontEnd("vpcd:pty:/tmp/t").link->describe(), "pty /tmp/t");
}

// The host's side of a link that speaks vpcd's framing: a TCP connection or a terminal.
class Host {
  public:
    explicit Host(UniqueFd fd) : fd_(std::move(fd)) {}

    static std::optional<Host> connectTcp(std::uint16_t port) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return std::nullopt;
        }
        return Host(std::move(fd));
    }
    static std::optional<Host> openTerminal(const std::filesystem::path& path) {
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!fd) return std::nullopt;
        termios raw{};
        ::tcgetattr(fd.get(), &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(fd.get(), TCSANOW, &raw);
        return Host(std::move(fd));
    }

    std::optional<Bytes> exchange(const Bytes& payload) {
        Bytes frame;
        putU16(frame, static_cast<std::uint16_t>(payload.size()));
        frame.insert(frame.end(), payload.begin(), payload.end());
        if (::write(fd_.get(), frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
            return std::nullopt;
        }
        std::uint8_t header[2];
        if (!readExactly(header, 2)) return std::nullopt;
        Bytes reply(readU16(header, 0));
        if (!readExactly(reply.data(), reply.size())) return std::nullopt;
        return reply;
    }
    std::optional<Bytes> exchange(std::string_view command) { return exchange(hex(command)); }

    // Another framing: sends `message`, reads a header of `headerLength` bytes whose last four
    // are a big-endian payload length, and returns the payload.
    std::optional<Bytes> raw(const Bytes& message, std::size_t headerLength) {
        if (::write(fd_.get(), message.data(), message.size()) !=
            static_cast<ssize_t>(message.size())) {
            return std::nullopt;
        }
        Bytes header(headerLength);
        if (!readExactly(header.data(), header.size())) return std::nullopt;
        std::size_t length = 0;
        for (std::size_t i = headerLength - 4; i < headerLength; ++i)
            length = length << 8 | header[i];
        Bytes payload(length);
        if (!readExactly(payload.data(), payload.size())) return std::nullopt;
        return payload;
    }

  private:
    bool readExactly(std::uint8_t* out, std::size_t length) {
        std::size_t done = 0;
        while (done < length) {
            if (!testing::readable(fd_.get(), 5s)) return false;
            const ssize_t n = ::read(fd_.get(), out + done, length - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    UniqueFd fd_;
};

class FrontEndServer : public ::testing::Test {
  protected:
    FrontEndServer() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    ~FrontEndServer() override {
        if (thread_.joinable()) {
            server_->requestStop();
            thread_.join();
        }
        server_.reset();
        std::filesystem::remove_all(dir_);
    }

    void start(std::vector<std::string> specs) {
        std::vector<FrontEnd> frontEnds;
        for (const std::string& spec : specs) {
            frontEnds.push_back(makeFrontEnd(spec, Backoff{20ms, 100ms}));
            links_.push_back(frontEnds.back().link.get());
        }
        server_.emplace(session_, std::move(frontEnds), ServerOptions{dir_ / "control.sock"});
        thread_ = std::thread([this] { server_->run(); });
        control_.emplace((dir_ / "control.sock").string());
    }
    std::uint16_t listeningPort(std::size_t i) const {
        return links_.at(i)->listeningPort().value();
    }
    std::filesystem::path terminal() const { return dir_ / "token"; }
    std::string request(const std::string& line) { return control_->request(line); }

    std::filesystem::path dir_;
    Token token_{provision(testing::defaultOptions())};
    CardSession session_{token_, nullptr};
    std::vector<const Link*> links_;
    std::optional<Server> server_;
    std::thread thread_;
    std::optional<ControlClient> control_;
};

TEST_F(FrontEndServer, ListeningLinkKeepsTheCardPoweredBetweenHostsAndRefusesWhenPulled) {
    start({"vpcd:listen:127.0.0.1:0"});
    const std::uint16_t port = listeningPort(0);
    ASSERT_NE(port, 0);
    {
        auto host = Host::connectTcp(port);
        ASSERT_TRUE(host);
        EXPECT_EQ(host->exchange("00A4000002FFEE"), hex("9000"));
    }
    auto host = Host::connectTcp(port);
    ASSERT_TRUE(host);
    EXPECT_EQ(host->exchange("00B0000001"), hex("08 9000"));  // the selection stayed

    EXPECT_EQ(request("drop-after 00B0"), "ok");
    EXPECT_EQ(host->exchange("00B0000001"), std::nullopt);
    EXPECT_FALSE(Host::connectTcp(port)) << "a pulled card's port still takes connections";
    EXPECT_EQ(request("reinsert"), "ok");
    host = Host::connectTcp(port);
    ASSERT_TRUE(host);
    EXPECT_EQ(host->exchange("00B0000001"), hex("6986"));  // powered afresh
}

TEST_F(FrontEndServer, TerminalLinkComesAndGoesWithTheCard) {
    start({"vpcd:pty:" + terminal().string()});
    ASSERT_TRUE(std::filesystem::is_symlink(terminal()));
    {
        auto host = Host::openTerminal(terminal());
        ASSERT_TRUE(host);
        EXPECT_EQ(host->exchange(Bytes{0x04}), token_.atr());
        EXPECT_EQ(host->exchange("00A4000002FFEE"), hex("9000"));
        // A long reply crosses the terminal unchanged.
        EXPECT_EQ(host->exchange("00A4000002DDF1"), hex("9000"));
        EXPECT_EQ(host->exchange("00A40000020003"), hex("9000"));
        const auto certificate = host->exchange("00B00000000802");
        ASSERT_TRUE(certificate);
        EXPECT_EQ(certificate->size(), 2052u);
    }
    auto host = Host::openTerminal(terminal());
    ASSERT_TRUE(host);
    EXPECT_EQ(host->exchange("00B0000001"), hex("00 9000"));  // the selection stayed

    EXPECT_EQ(request("drop-after 00B0"), "ok");
    EXPECT_EQ(host->exchange("00B0000001"), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(terminal()));
    EXPECT_EQ(request("reinsert"), "ok");
    ASSERT_TRUE(std::filesystem::is_symlink(terminal()));
    host = Host::openTerminal(terminal());
    ASSERT_TRUE(host);
    EXPECT_EQ(host->exchange("00B0000001"), hex("6986"));
}

TEST_F(FrontEndServer, FrontEndsReachTheSameCard) {
    start({"vpcd:listen:127.0.0.1:0", "vpcd:pty:" + terminal().string()});
    auto tcp = Host::connectTcp(listeningPort(0));
    auto pty = Host::openTerminal(terminal());
    ASSERT_TRUE(tcp && pty);
    EXPECT_EQ(tcp->exchange("00A4000002FFEE"), hex("9000"));
    EXPECT_EQ(pty->exchange("00B0000001"), hex("08 9000"));
    // A pull takes the card from both.
    EXPECT_EQ(request("drop-after 00B0"), "ok");
    EXPECT_EQ(tcp->exchange("00B0000001"), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(terminal()));
}

// ---- The SD-card stand-ins' protocol ----

TEST(StandinFramer, MessagesCutAnywhereGiveTheSameAnswers) {
    const Bytes stream = hex("50 00000000  41 00000005 00A4000000  50 00000000");
    const Bytes expected = hex("50 00000001 01  52 00000003 AB9000  50 00000001 01");
    for (std::size_t piece : {std::size_t{1}, std::size_t{4}, stream.size()}) {
        SCOPED_TRACE(piece);
        StandinFramer framer;
        RecordingCard card;
        Bytes out;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const Bytes part = framer.receive(
                ByteView(stream).subspan(at, std::min(piece, stream.size() - at)), card);
            out.insert(out.end(), part.begin(), part.end());
        }
        EXPECT_EQ(out, expected);
        EXPECT_EQ(card.calls, std::vector<std::string>{"command 00A4000000"});
    }
}

TEST(StandinFramer, WhatIsNotTheProtocolEndsTheConnection) {
    const char* cases[] = {
        "52 00000002 9000",  // a reply, from the host
        "5A 00000000",       // an unknown type
        "41 00000000",       // an empty command
        "41 00010011",       // longer than the protocol allows
        "41 FFFFFFFF",
    };
    for (const char* c : cases) {
        StandinFramer framer;
        RecordingCard card;
        EXPECT_THROW(framer.receive(hex(c), card), FramingError) << c;
        EXPECT_TRUE(card.calls.empty()) << c;
        // Starts afresh for the next host.
        EXPECT_EQ(framer.receive(hex("50 00000000"), card), hex("50 00000001 01")) << c;
    }
}

TEST(StandinFramer, APulledCardAnswersNothingMore) {
    StandinFramer framer;
    RecordingCard card;
    card.pullOn = "00B0000001";
    EXPECT_EQ(framer.receive(hex("41 00000005 00B0000001  50 00000000"), card), Bytes{});
    EXPECT_EQ(card.calls, std::vector<std::string>{"command 00B0000001"});
}

// A host of the stand-in protocol over TCP.
class StandinHost {
  public:
    static std::optional<StandinHost> connect(std::uint16_t port) {
        auto host = Host::connectTcp(port);
        if (!host) return std::nullopt;
        return StandinHost(std::move(*host));
    }
    std::optional<Bytes> exchange(std::string_view command) {
        Bytes message = hex("41");
        const Bytes apdu = hex(command);
        for (int shift = 24; shift >= 0; shift -= 8) {
            message.push_back(static_cast<std::uint8_t>(apdu.size() >> shift));
        }
        message.insert(message.end(), apdu.begin(), apdu.end());
        return host_.raw(message, 5);
    }

  private:
    explicit StandinHost(Host host) : host_(std::move(host)) {}
    Host host_;
};

TEST_F(FrontEndServer, AListeningLinkServesSeveralHostsAtOnceAndAPullEndsThemAll) {
    start({"sdcard:listen:127.0.0.1:0"});
    const std::uint16_t port = listeningPort(0);
    auto first = StandinHost::connect(port);
    auto second = StandinHost::connect(port);
    ASSERT_TRUE(first && second);
    // Both are served while both stay connected, and they share the card's state.
    EXPECT_EQ(second->exchange("00A4000002FFEE"), hex("9000"));
    EXPECT_EQ(first->exchange("00B0000001"), hex("08 9000"));
    EXPECT_EQ(second->exchange("00B0000001"), hex("08 9000"));

    EXPECT_EQ(request("drop-after 00B0"), "ok");
    EXPECT_EQ(first->exchange("00B0000001"), std::nullopt);
    EXPECT_EQ(second->exchange("00B0000001"), std::nullopt) << "the other host lost the card too";
    EXPECT_FALSE(StandinHost::connect(port));
    EXPECT_EQ(request("reinsert"), "ok");
    auto again = StandinHost::connect(port);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->exchange("00B0000001"), hex("6986"));  // powered afresh
}

// ---- The driver's frame ----

TEST(DriverFramer, MessagesCutAnywhereGiveTheSameAnswers) {
    const Bytes stream = hex("A5 05 00 00A4000000  A5 01 00 00");
    const Bytes expected = hex("5A 03 00 AB9000  5A 03 00 AB9000");
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, stream.size()}) {
        SCOPED_TRACE(piece);
        DriverFramer framer;
        RecordingCard card;
        Bytes out;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const Bytes part = framer.receive(
                ByteView(stream).subspan(at, std::min(piece, stream.size() - at)), card);
            out.insert(out.end(), part.begin(), part.end());
        }
        EXPECT_EQ(out, expected);
        EXPECT_EQ(card.calls, (std::vector<std::string>{"command 00A4000000", "command 00"}));
    }
}

TEST(DriverFramer, WhatIsNotTheFrameEndsTheExchangeAndStartsAfresh) {
    for (const char* c : {"5A 02 00 9000", "00 05 00", "A5 00 00"}) {
        DriverFramer framer;
        RecordingCard card;
        EXPECT_THROW(framer.receive(hex(c), card), FramingError) << c;
        EXPECT_TRUE(card.calls.empty()) << c;
        EXPECT_EQ(framer.receive(hex("A5 01 00 00"), card), hex("5A 03 00 AB9000")) << c;
    }
}

TEST(DriverFramer, APulledCardAnswersNothingMoreAndLongRepliesBecomeWrongLength) {
    DriverFramer framer;
    RecordingCard card;
    card.pullOn = "00B0000001";
    EXPECT_EQ(framer.receive(hex("A5 05 00 00B0000001  A5 01 00 00"), card), Bytes{});
    EXPECT_EQ(card.calls.size(), 1u);
    framer.restart();
    card.pullOn.reset();
    card.replyLength = 0xFFFE;  // with the status word, one byte over the length field
    EXPECT_EQ(framer.receive(hex("A5 01 00 00"), card), hex("5A 02 00 6700"));
    card.replyLength = 0xFFFD;
    const Bytes longest = framer.receive(hex("A5 01 00 00"), card);
    ASSERT_EQ(longest.size(), 3u + 0xFFFF);
    EXPECT_EQ(Bytes(longest.begin(), longest.begin() + 3), hex("5A FF FF"));
}

}  // namespace
}  // namespace vtoken
