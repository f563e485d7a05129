// PINs typed at the terminal: what a person types reaches the caller whole, is never echoed,
// and leaves nothing behind when the line is given up half-way.
#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console_posix.h"

namespace {

using platform::SecretRead;
using platform::SecretText;

const char* nameOf(SecretRead r) {
    switch (r) {
        case SecretRead::Read:
            return "Read";
        case SecretRead::NoTerminal:
            return "NoTerminal";
        case SecretRead::Ended:
            return "Ended";
        case SecretRead::TooLong:
            return "TooLong";
    }
    return "?";
}

bool allZero(std::span<const char> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

// Hands out the bytes of `input` one by one, then reports the end of the input.
struct ScriptedInput {
    std::string input;
    std::size_t at = 0;
    std::optional<char> operator()() {
        if (at == input.size()) return std::nullopt;
        return input[at++];
    }
};

struct LineCase {
    const char* name;
    std::string input;
    SecretRead outcome;
    std::string line;   // what the caller gets on Read
    std::string after;  // what the next read of the same input gives
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class SecretLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(SecretLine, IsKeptWholeOrWipedEverywhere) {
    const LineCase& c = GetParam();
    std::vector<char> storage(16, '\x5A');  // what an earlier, longer line left
    ScriptedInput input{c.input};
    std::size_t length = 99;
    const SecretRead outcome = platform::collectSecretLine(std::ref(input), storage, length);
    EXPECT_STREQ(nameOf(outcome), nameOf(c.outcome));
    if (c.outcome == SecretRead::Read) {
        EXPECT_EQ(std::string(storage.data(), length), c.line);
    } else {
        EXPECT_EQ(length, 0u);
        EXPECT_TRUE(allZero(storage)) << "typed characters left in the buffer";
    }
    std::string rest(input.input.begin() + static_cast<std::ptrdiff_t>(input.at),
                     input.input.end());
    EXPECT_EQ(rest, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SecretLine,
    ::testing::Values(
        LineCase{"WholeLine", "123456\nnext\n", SecretRead::Read, "123456", "next\n"},
        LineCase{"CarriageReturnDropped", "12\r34\r\n", SecretRead::Read, "1234", ""},
        LineCase{"EmptyLine", "\n", SecretRead::Read, "", ""},
        LineCase{"FillsTheStorageExactly", std::string(16, '7') + "\n", SecretRead::Read,
                 std::string(16, '7'), ""},
        LineCase{"NothingTyped", "", SecretRead::Ended, "", ""},
        LineCase{"PartlyTypedThenInputEnds", "9876", SecretRead::Ended, "", ""},
        // The rest of an over-long line is read and dropped, not taken as the next answer.
        LineCase{"TooLongIsDroppedToItsEnd", std::string(20, '8') + "\nnext\n", SecretRead::TooLong,
                 "", "next\n"},
        LineCase{"TooLongThenInputEnds", std::string(20, '8'), SecretRead::Ended, "", ""}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(SecretText, WipesItsStorageWhenItGoes) {
    alignas(SecretText) unsigned char place[sizeof(SecretText)];
    auto* text = new (place) SecretText;
    std::fill(text->storage().begin(), text->storage().end(), '6');
    text->setSize(6);
    EXPECT_EQ(text->view(), "666666");
    const std::span<const char> storage = text->storage();
    const std::size_t offset =
        static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(storage.data()) - place);
    text->~SecretText();
    EXPECT_TRUE(allZero({reinterpret_cast<const char*>(place) + offset, storage.size()}));
}

// A pseudo-terminal: the test types on the master side, the code under test reads the slave
// side as it would read a person's terminal.
class Pty : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        ASSERT_EQ(::tcgetattr(slave_, &before_), 0);
        ASSERT_TRUE(before_.c_lflag & ECHO) << "a terminal starts with echo on";
        ASSERT_TRUE(before_.c_lflag & ICANON);
    }
    void TearDown() override {
        if (reader_.joinable()) reader_.join();
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }

    void type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Starts readSecretOn on its own thread and returns once its prompt is on the screen:
    // echo is off by then, and typing ahead of the prompt would be discarded.
    void startReading() {
        reader_ = std::thread(
            [this] { outcome_ = platform::detail::readSecretOn(slave_, "PIN: ", pin_); });
        std::string shown;
        char c;
        while (shown.find("PIN: ") == std::string::npos && ::read(master_, &c, 1) == 1) {
            shown.push_back(c);
        }
        ASSERT_NE(shown.find("PIN: "), std::string::npos);
    }
    SecretRead finishReading() {
        reader_.join();
        return outcome_;
    }

    // Everything the terminal showed so far.
    std::string screen() {
        std::string shown;
        const int flags = ::fcntl(master_, F_GETFL);
        ::fcntl(master_, F_SETFL, flags | O_NONBLOCK);
        char buffer[256];
        ssize_t n;
        while ((n = ::read(master_, buffer, sizeof buffer)) > 0) shown.append(buffer, n);
        ::fcntl(master_, F_SETFL, flags);
        return shown;
    }

    void expectSettingsRestored() {
        termios now{};
        ASSERT_EQ(::tcgetattr(slave_, &now), 0);
        EXPECT_EQ(now.c_lflag, before_.c_lflag);
    }

    int master_ = -1;
    int slave_ = -1;
    termios before_{};
    std::thread reader_;
    SecretText pin_;
    SecretRead outcome_ = SecretRead::NoTerminal;
};

TEST_F(Pty, TypedLineArrivesWholeAndIsNeverEchoed) {
    startReading();
    type("135790\n");
    EXPECT_STREQ(nameOf(finishReading()), "Read");
    EXPECT_EQ(pin_.view(), "135790");
    const std::string shown = screen();
    EXPECT_EQ(shown.find("135790"), std::string::npos) << "the PIN was echoed: " << shown;
    expectSettingsRestored();
}

// A person types part of the PIN and ends the input (Ctrl-D hands the partial line over, a
// second Ctrl-D ends the input): what was typed must not stay in the caller's storage. A read
// that fails half-way (the terminal hangs up) takes the same path: see NothingTyped and
// PartlyTypedThenInputEnds above.
TEST_F(Pty, PartlyTypedPinIsWipedWhenTheInputEnds) {
    const char eof = static_cast<char>(before_.c_cc[VEOF]);
    startReading();
    type(std::string("2468") + eof);
    type(std::string(1, eof));
    EXPECT_STREQ(nameOf(finishReading()), "Ended");
    EXPECT_TRUE(pin_.empty());
    EXPECT_TRUE(allZero(pin_.storage())) << "the partly typed PIN stayed in memory";
    expectSettingsRestored();
}

TEST(Console, WithoutATerminalNothingIsAskedAndNothingKept) {
    SecretText pin;
    const int notATerminal = ::open("/dev/null", O_RDWR);
    ASSERT_GE(notATerminal, 0);
    EXPECT_STREQ(nameOf(platform::detail::readSecretOn(notATerminal, "PIN: ", pin)), "NoTerminal");
    ::close(notATerminal);
    EXPECT_TRUE(pin.empty());
}

}  // namespace
