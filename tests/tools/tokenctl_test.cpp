// tokenctl as a person or a script meets it: the real program against a virtual token, with
// its output, its messages and its exit codes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "environment.h"
#include "openssl_reference.h"

namespace {

using namespace std::chrono_literals;

struct Outcome {
    int exitCode = -1;
    std::string out, err;
    long peakKiB = 0;  // the most memory the program had resident at once
};

class Tokenctl : public ::testing::Test {
  protected:
    void SetUp() override {
        bed = &testbed::sharedBed();
        bed->token(0).control("clear");
    }

    Outcome run(std::vector<std::string> args,
                std::vector<std::pair<std::string, std::string>> environment = {}) {
        args.insert(args.begin(), TOKENCTL);
        const auto errFile = bed->folder() / "tokenctl.err";
        std::filesystem::remove(errFile);  // each run's messages alone
        // No terminal: a PIN can come only from the environment.
        auto child = testbed::ChildProcess::spawn({args, environment, true, errFile});
        Outcome r;
        while (auto line = child.readLine(10s)) r.out += *line + "\n";
        r.exitCode = child.waitExit(60s).value_or(-1);
        r.peakKiB = child.peakResidentKiB().value_or(0);
        std::ifstream in(errFile);
        std::stringstream ss;
        ss << in.rdbuf();
        r.err = ss.str();
        return r;
    }

    // After a card comes back, pcscd shows it a moment before it answers: wait until a whole
    // command goes through, so that the next test starts with a token that works.
    void waitUntilUsable() {
        ASSERT_TRUE(bed->waitForCard(bed->token(0).readerName(), true));
        for (int i = 0; i < 50; ++i) {
            if (run({"apdu", "0", "BFC400000A"}).exitCode == 0) return;
            std::this_thread::sleep_for(100ms);
        }
        FAIL() << "the token did not come back";
    }

    testbed::Bed* bed = nullptr;
};

TEST_F(Tokenctl, ListShowsNumberTransportSerialAndLabel) {
    Outcome r = run({"list"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("0   PC/SC     0102030405060708090a  Desk token"), std::string::npos)
        << r.out;
}

TEST_F(Tokenctl, LabelIsWrittenAndSeenByList) {
    Outcome r = run({"label", "0", "Renamed"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(run({"list"}).out.find("Renamed"), std::string::npos);
    EXPECT_EQ(run({"label", "0", std::string(65, 'x')}).exitCode, 2);
    EXPECT_EQ(run({"label", "0", "Desk token"}).exitCode, 0);
}

TEST_F(Tokenctl, ApduPrintsReplyAndStatus) {
    Outcome r = run({"apdu", "0", "BFC4000", "00A"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "reply:  0102030405060708090A\nstatus: 9000\n");
    r = run({"apdu", "0", "80990000", "00"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "status: 6D00\n");
}

TEST_F(Tokenctl, UsageMistakesExitWith2AndSayWhy) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"info", "7"}, "no token number 7 (1 token found, numbered from 0)"},
        {{"info", "x"}, "not a token number: 'x'"},
        {{"apdu", "0", "00A4G0"}, "the command must be hexadecimal bytes"},
        {{"apdu", "0", "00A"}, "the command must be hexadecimal bytes"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{}, "usage: tokenctl COMMAND"},
    };
    for (const auto& c : cases) {
        Outcome r = run(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST_F(Tokenctl, PulledTokenIsReportedPlainly) {
    auto& token = bed->token(0);
    token.stop();
    ASSERT_TRUE(bed->waitForCard(token.readerName(), false));
    Outcome list = run({"list"});
    Outcome info = run({"info", "0"});
    token.start();
    waitUntilUsable();

    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, "No token found.\n");
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_NE(info.err.find("no token found"), std::string::npos) << info.err;
}

TEST_F(Tokenctl, TokenLostDuringACommandIsReportedPlainly) {
    ASSERT_EQ(bed->token(0).control("drop-after BFC4"), "ok");
    Outcome r = run({"info", "0"});
    bed->token(0).control("reinsert");
    waitUntilUsable();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the token was removed"), std::string::npos) << r.err;
}

std::filesystem::path writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const std::pair<std::string, std::string> kRightPin{"TOKEN_PIN", "123456"};

TEST_F(Tokenctl, PinVerificationTakesThePinOnlyFromTheEnvironmentOrTheTerminal) {
    Outcome r = run({"pin", "verify", "0"}, {{"TOKEN_PIN", "999999"}});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("wrong PIN, 5 tries left"), std::string::npos) << r.err;

    r = run({"pin", "verify", "0"}, {kRightPin});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "user PIN verified\n");

    // A PIN on the command line is a usage mistake, never a PIN.
    r = run({"pin", "verify", "0", "123456"});
    EXPECT_EQ(r.exitCode, 2);
    r = run({"pin", "verify", "0"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no terminal to ask for the PIN: set TOKEN_PIN"), std::string::npos);
}

TEST_F(Tokenctl, FilesGoInComeOutAndGo) {
    const std::string content = "named file content\n" + std::string(300, 'z');
    const auto in = writeBytes(bed->folder() / "in.bin", content);
    Outcome r = run({"files", "put", "0", "notes", in.string()}, {kRightPin});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = run({"files", "ls", "0"});
    EXPECT_NE(r.out.find("notes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::to_string(content.size())), std::string::npos) << r.out;

    const auto out = bed->folder() / "out.bin";
    r = run({"files", "get", "0", "notes", out.string()}, {kRightPin});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(out), content);

    ASSERT_EQ(run({"files", "rm", "0", "notes"}, {kRightPin}).exitCode, 0);
    r = run({"files", "get", "0", "notes", out.string()}, {kRightPin});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
}

TEST_F(Tokenctl, CertificatesRoundTripThroughANamedContainer) {
    std::string der = "\x30\x82\x01\x00";
    for (int i = 0; i < 256; ++i) der.push_back(static_cast<char>(i));
    const auto in = writeBytes(bed->folder() / "cert.der", der);
    const auto out = bed->folder() / "back.der";

    ASSERT_EQ(run({"containers", "create", "0", "web"}, {kRightPin}).exitCode, 0);
    Outcome r = run({"cert", "import", "0", "web", "1", in.string()}, {kRightPin});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = run({"containers", "ls", "0"});
    EXPECT_NE(r.out.find("web"), std::string::npos) << r.out;
    r = run({"cert", "export", "0", "web", "1", out.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(out), der);

    ASSERT_EQ(run({"cert", "rm", "0", "web", "1"}, {kRightPin}).exitCode, 0);
    r = run({"cert", "export", "0", "web", "1", out.string()});
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_EQ(run({"containers", "rm", "0", "web"}, {kRightPin}).exitCode, 0);
    r = run({"containers", "ls", "0"});
    EXPECT_EQ(r.out.find("web"), std::string::npos) << r.out;
}

TEST_F(Tokenctl, RandomPrintsTheBytesAskedFor) {
    Outcome r = run({"random", "0", "13"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.size(), 26u + 1u) << r.out;
    EXPECT_EQ(run({"random", "0", "many"}).exitCode, 2);
}

// cipher encrypt and decrypt: files through the token's ciphers.

constexpr char kDesKeyHex[] = "133457799BBCDFF1";
constexpr char kKey16Hex[] = "0123456789ABCDEFFEDCBA9876543210";
constexpr char kIvHex[] = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";

std::string patternText(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 13 + (i >> 9));
    return s;
}

reference::Bytes toBytes(const std::string& s) {
    return reference::Bytes(s.begin(), s.end());
}
reference::Bytes hexToBytes(std::string_view hex) {
    reference::Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

TEST_F(Tokenctl, CipherFilesOfAnySizeComeOutAsOpenSslEnciphersThemAndGoBack) {
    struct Case {
        const char* algorithm;
        const char* keyHex;
        reference::Cipher cipher;
        size_t size;
    };
    // Around the 64 KiB pieces the program reads.
    const Case cases[] = {
        {"16", kKey16Hex, reference::Cipher::Sm4, 0},
        {"16", kKey16Hex, reference::Cipher::Sm4, 200001},
        {"1", kDesKeyHex, reference::Cipher::Des, 65536},
        {"1", kDesKeyHex, reference::Cipher::Des, 65537},
    };
    const auto keyFile = writeBytes(bed->folder() / "cipher.key", std::string(kKey16Hex) + "\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.algorithm) + ", " + std::to_string(c.size) + " bytes");
        const std::string plain = patternText(c.size);
        const auto in = writeBytes(bed->folder() / "plain.bin", plain);
        const auto enc = bed->folder() / "cipher.bin";
        const auto dec = bed->folder() / "back.bin";
        std::filesystem::remove(enc);
        // The key from a file, or from the environment.
        std::vector<std::string> args = {"cipher",    "encrypt",   "0",
                                         c.algorithm, in.string(), enc.string()};
        std::vector<std::pair<std::string, std::string>> env;
        if (c.keyHex == kKey16Hex) {
            args.insert(args.end(), {"--key-file", keyFile.string()});
        } else {
            env.emplace_back("TOKEN_CIPHER_KEY", c.keyHex);
        }
        Outcome r = run(args, env);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(toBytes(readBytes(enc)),
                  reference::run(c.cipher, true, hexToBytes(c.keyHex), {}, toBytes(plain), true));

        r = run(
            {"cipher", "decrypt", "0", c.algorithm, enc.string(), dec.string(), "--key", c.keyHex});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(readBytes(dec) == plain, true);
    }
}

TEST_F(Tokenctl, CipherChainsBlocksAcrossPiecesWithAnInitialValue) {
    for (const char* algorithm : {"256", "sm1"}) {
        for (size_t size : {size_t{0}, size_t{65536}, size_t{150001}}) {
            SCOPED_TRACE(std::string(algorithm) + ", " + std::to_string(size) + " bytes");
            const std::string plain = patternText(size);
            const auto in = writeBytes(bed->folder() / "plain.bin", plain);
            const auto enc = bed->folder() / "cbc.bin";
            const auto dec = bed->folder() / "back.bin";
            Outcome r = run({"cipher", "encrypt", "0", algorithm, in.string(), enc.string(),
                             "--key", kKey16Hex, "--iv", kIvHex});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            const std::string cipher = readBytes(enc);
            EXPECT_EQ(cipher.size(), size + 16 - size % 16);
            r = run({"cipher", "decrypt", "0", algorithm, enc.string(), dec.string(), "--key",
                     kKey16Hex, "--iv", kIvHex});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(readBytes(dec) == plain, true);

            // The same data without chaining is another cipher text.
            const auto ecb = bed->folder() / "ecb.bin";
            ASSERT_EQ(run({"cipher", "encrypt", "0", algorithm, in.string(), ecb.string(), "--key",
                           kKey16Hex})
                          .exitCode,
                      0);
            EXPECT_NE(readBytes(ecb), cipher);
        }
    }
}

TEST_F(Tokenctl, CipherFailuresSayWhyAndLeaveNoOutputBehind) {
    const auto in = writeBytes(bed->folder() / "plain.bin", patternText(1000));
    const auto enc = bed->folder() / "c.bin";
    ASSERT_EQ(run({"cipher", "encrypt", "0", "16", in.string(), enc.string(), "--key", kKey16Hex})
                  .exitCode,
              0);
    const auto out = writeBytes(bed->folder() / "existing.bin", "keep me");
    const std::string wrongKey = "00112233445566778899AABBCCDDEEFF";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"cipher", "decrypt", "0", "16", enc.string(), out.string(), "--key", wrongKey},
         1,
         "cannot decrypt: the padding of the last block is wrong"},
        {{"cipher", "decrypt", "0", "16", in.string(), out.string(), "--key", kKey16Hex},
         1,
         "cannot decrypt: the data length does not fit the operation"},
        {{"cipher", "decrypt", "0", "256", in.string(), out.string(), "--key", kKey16Hex, "--iv",
          kIvHex},
         1,
         "is not a whole number of 16-byte blocks"},
        {{"cipher", "encrypt", "0", "2", in.string(), out.string(), "--key", kKey16Hex},
         2,
         "ALGORITHM is 1, 16, 256 (ssf33) or 4096 (sm1), not '2'"},
        {{"cipher", "encrypt", "0", "1", in.string(), out.string(), "--key", wrongKey},
         2,
         "the key must be 8 bytes, given with --key has 16"},
        {{"cipher", "encrypt", "0", "16", in.string(), out.string(), "--key", "00112233GG"},
         2,
         "the key given with --key must be hexadecimal bytes"},
        {{"cipher", "encrypt", "0", "16", in.string(), out.string(), "--key", kKey16Hex, "--iv",
          kIvHex},
         2,
         "only for algorithms 256 and 4096"},
        {{"cipher", "encrypt", "0", "256", in.string(), out.string(), "--key", kKey16Hex, "--iv",
          "0011"},
         2,
         "the initial value must be 16 bytes"},
        {{"cipher", "encrypt", "0", "16", "/nonexistent/in", out.string(), "--key", kKey16Hex},
         1,
         "cannot read /nonexistent/in"},
        {{"cipher", "encrypt", "0", "16", in.string(), out.string()},
         2,
         "no key: give --key-file, or set TOKEN_CIPHER_KEY"},
        {{"cipher", "encrypt", "0", "16"}, 2, "usage: tokenctl cipher encrypt|decrypt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Outcome r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        // Keys never show in a message.
        EXPECT_EQ(r.err.find(kKey16Hex), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(wrongKey), std::string::npos) << r.err;
        EXPECT_EQ(readBytes(out), "keep me");
    }
    // No piece of a half-written output is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(bed->folder())) {
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    }
}

TEST_F(Tokenctl, CipherMemoryDoesNotGrowWithTheFile) {
    ASSERT_EQ(bed->token(0).control("max-block 8192"), "ok");
    // Under AddressSanitizer freed memory is held back for a while to catch late uses; that
    // would look like growth here.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::pair<std::string, std::string>> env = {
        {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":quarantine_size_mb=0"}};
    const auto small = writeBytes(bed->folder() / "small.bin", patternText(64 * 1024));
    const auto large = writeBytes(bed->folder() / "large.bin", patternText(16 * 1024 * 1024));
    const auto out = bed->folder() / "big.out";
    Outcome first = run(
        {"cipher", "encrypt", "0", "16", small.string(), out.string(), "--key", kKey16Hex}, env);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    Outcome second = run(
        {"cipher", "encrypt", "0", "16", large.string(), out.string(), "--key", kKey16Hex}, env);
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(std::filesystem::file_size(out), 16u * 1024 * 1024 + 16);
    // Holding the file would take 16 MiB more; pieces take the same few hundred KiB.
    EXPECT_LT(second.peakKiB, first.peakKiB + 8 * 1024)
        << first.peakKiB << " KiB for 64 KiB, " << second.peakKiB << " KiB for 16 MiB";
    std::filesystem::remove(large);
    std::filesystem::remove(out);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::BedLayout layout;
    layout.readerEntries = {"Tarvex USB KEY 1"};
    testbed::TokenSpec spec;
    spec.label = "Desk token";
    layout.tokens = {spec};
    testbed::useSharedBed(layout);
    return RUN_ALL_TESTS();
}
