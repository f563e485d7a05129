// The trace never holds secrets unless the token was started to show them, and its file is
// its owner's alone.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "token_fixture.h"
#include "vtoken/card_session.h"
#include "vtoken/trace.h"

namespace vtoken::testing {
namespace {

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string stars(std::size_t bytes) {
    return std::string(bytes * 2, '*');
}

class SecretTrace : public ::testing::TestWithParam<bool> {
  protected:
    SecretTrace() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        trace_.emplace(tracePath(), showSecrets());
        session_.emplace(token_, &*trace_);
        // Stand-ins for the families to come: one whose reply goes out through GET RESPONSE,
        // one whose secret part depends on P1.
        token_.commands().add(
            0x80, 0x97,
            [](CommandContext& context, const Apdu&) {
                return context.deferResponse(Bytes(20, 0x5E));
            },
            CommandSpec{.secrets = kSecretReply});
        token_.commands().add(
            0x80, 0x96, [](CommandContext&, const Apdu&) { return Reply{}; },
            CommandSpec{.secretsFor = [](std::uint8_t p1, std::uint8_t) {
                return p1 == 0xA0 ? kSecretCommand : kNoSecrets;
            }});
    }
    ~SecretTrace() override { std::filesystem::remove_all(dir_); }

    bool showSecrets() const { return GetParam(); }
    std::filesystem::path tracePath() const { return dir_ / "trace"; }

    Bytes exchange(const Bytes& command) { return session_->exchange(command).reply; }
    Bytes exchange(std::string_view command) { return exchange(hex(command)); }

    // GET CHALLENGE and EXTERNAL AUTHENTICATE with the cryptogram of `pin`; remembers the
    // challenge and the cryptogram.
    std::uint16_t authenticate(std::string_view pin) {
        const Bytes reply = exchange("0084000008");
        Challenge challenge{};
        std::copy_n(reply.begin(), challenge.size(), challenge.begin());
        const Challenge cryptogram = pinCryptogram(pinBytes(pin), challenge);
        challenges_.push_back(toHex(challenge));
        cryptograms_.push_back(toHex(cryptogram));
        Bytes command = hex("0082000208");
        command.insert(command.end(), cryptogram.begin(), cryptogram.end());
        return statusOf(exchange(command));
    }

    std::uint16_t writeKey(std::uint8_t pinNumber, std::string_view pin) {
        Bytes command = {0x80, 0xD4, 0x80, pinNumber, 0x12};
        const KeyRecord record = keyRecordFromPin(pinBytes(pin));
        command.insert(command.end(), record.begin(), record.end());
        return statusOf(exchange(command));
    }

    std::filesystem::path dir_;
    Token token_{provision(defaultOptions())};
    std::optional<TraceWriter> trace_;
    std::optional<CardSession> session_;
    std::vector<std::string> challenges_;
    std::vector<std::string> cryptograms_;
};

std::string md5Hex(std::string_view pin) {
    unsigned char digest[16];
    unsigned int length = 0;
    EVP_Digest(pin.data(), pin.size(), digest, &length, EVP_md5(), nullptr);
    return toHex(ByteView(digest, length));
}

// Verification, change and unblocking as the host runs them; then every byte derived from a
// PIN is looked for in the trace.
TEST_P(SecretTrace, PinVerificationChangeAndUnblockLeaveNoPinDerivedBytes) {
    const std::string newUser = "246810", unblocked = "135790";
    ASSERT_EQ(statusOf(exchange("00A4000002DDF1")), sw::kSuccess);
    EXPECT_EQ(authenticate("999999"), sw::wrongPin(5));  // a wrong PIN's cryptogram, too
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    ASSERT_EQ(writeKey(1, newUser), sw::kSuccess);  // change
    ASSERT_EQ(authenticate(kAdminPin), sw::kSuccess);
    ASSERT_EQ(writeKey(1, unblocked), sw::kSuccess);  // unblock
    ASSERT_EQ(authenticate(unblocked), sw::kSuccess);

    // What crosses the wire: shown only on request.
    std::vector<std::string> sent = challenges_;
    sent.insert(sent.end(), cryptograms_.begin(), cryptograms_.end());
    for (std::string_view pin : {newUser, unblocked}) {
        const KeyRecord record = keyRecordFromPin(pinBytes(pin));
        // The shifted PIN part alone: the header 00 10 and the FF padding are not secret.
        sent.push_back(toHex(ByteView(record).subspan(2, pin.size())));
    }
    // What never crosses it: absent either way.
    std::vector<std::string> kept;
    for (std::string_view pin : {std::string_view(kUserPin), std::string_view(kAdminPin),
                                 std::string_view(newUser), std::string_view(unblocked)}) {
        kept.push_back(md5Hex(pin));
        kept.push_back(toHex(pinBytes(pin)));
    }
    const std::string trace = readText(tracePath());
    ASSERT_EQ(lines(trace).size(), 22u);
    for (const std::string& secret : sent) {
        EXPECT_EQ(trace.find(secret) != std::string::npos, showSecrets()) << secret;
    }
    for (const std::string& secret : kept) {
        EXPECT_EQ(trace.find(secret), std::string::npos) << secret;
    }
}

TEST_P(SecretTrace, DeclaredPartsAreMaskedByteForByte) {
    ASSERT_EQ(statusOf(exchange("00A4000002DDF1")), sw::kSuccess);
    const Bytes challenge = exchange("0084000008");
    exchange("00820002080102030405060708");
    exchange("80D48001120A0B0C");  // shorter than its Lc: everything after the header
    exchange("80970000");
    const Bytes pending = exchange("00C0000014");
    exchange("8096A00002C1C2");
    exchange("8096200002C1C2");
    session_->apply(parseControlRequest("sw 0084 6A82 1"));
    exchange("0084000008");

    const auto shown = [&](std::string masked, std::string clear) {
        return showSecrets() ? clear : masked;
    };
    EXPECT_EQ(lines(readText(tracePath())),
              (std::vector<std::string>{
                  "> 00A4000002DDF1",
                  "< 9000",
                  "> 0084000008",
                  "< " + shown(stars(8), toHex(dataOf(challenge))) + "9000",
                  "> 0082000208" + shown(stars(8), "0102030405060708"),
                  "< 63C5",
                  "> 80D48001" + shown(stars(4), "120A0B0C"),
                  "< 6700",
                  "> 80970000",
                  "< 6114",
                  "> 00C0000014",
                  "< " + shown(stars(20), toHex(dataOf(pending))) + "9000",
                  "> 8096A00002" + shown(stars(2), "C1C2"),
                  "< 9000",
                  "> 8096200002C1C2",
                  "< 9000",
                  "> 0084000008",
                  "< 6A82",
              }));
}

INSTANTIATE_TEST_SUITE_P(Trace, SecretTrace, ::testing::Values(false, true),
                         [](const auto& testCase) { return testCase.param ? "Shown" : "Masked"; });

class TraceFile : public ::testing::Test {
  protected:
    TraceFile() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    ~TraceFile() override {
        ::umask(oldMask_);
        std::filesystem::remove_all(dir_);
    }
    mode_t modeOf(const std::filesystem::path& path) {
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0);
        return info.st_mode & 0777;
    }
    std::filesystem::path dir_;
    mode_t oldMask_ = ::umask(0);  // the most permissive setting a caller could have
};

TEST_F(TraceFile, IsCreatedForItsOwnerOnly) {
    TraceWriter trace(dir_ / "new", true);
    EXPECT_EQ(modeOf(dir_ / "new"), 0600u);
}

TEST_F(TraceFile, AnExistingFileIsNarrowedBeforeAnythingIsAppended) {
    const auto path = dir_ / "old";
    std::ofstream(path) << "> 00A40000023F00\n";
    std::filesystem::permissions(path, std::filesystem::perms(0644));
    {
        TraceWriter trace(path);
        trace.command(hex("BFC400000A"));
    }
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(readText(path), "> 00A40000023F00\n> BFC400000A\n");
}

}  // namespace
}  // namespace vtoken::testing
