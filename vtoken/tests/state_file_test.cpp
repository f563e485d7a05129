#include "vtoken/state_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "token_fixture.h"

namespace vtoken {
namespace {

using testing::hex;
using testing::kUserPin;

// A private folder per test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path operator/(const char* name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

TEST(StateFile, RoundTripKeepsEverything) {
    ProvisionOptions options = testing::defaultOptions();
    options.generation = 1;
    options.maxBlock = 4096;
    options.pinCounterCommand = false;
    options.capacity = 5000;
    options.label = "label";
    TokenState state = provision(options);
    state.files.node(1).body[5] = 0x42;  // FFEE
    const Bytes encoded = encodeState(state);
    const TokenState decoded = decodeState(encoded);
    EXPECT_EQ(encodeState(decoded), encoded);
    EXPECT_EQ(decoded.identity.generation, 1);
    EXPECT_EQ(decoded.identity.maxBlock, 4096u);
    EXPECT_FALSE(decoded.identity.pinCounterCommand);
    EXPECT_EQ(decoded.identity.capacity, 5000u);
    EXPECT_EQ(labelOf(decoded), "label");
}

TEST(StateFile, RejectsDamage) {
    const Bytes good = encodeState(provision(testing::defaultOptions()));
    struct Damage {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    Bytes flipped = good;
    flipped[flipped.size() / 2] ^= 0x01;
    Bytes version = good;
    version[11] = 2;
    Bytes magic = good;
    magic[0] = 'X';
    const Damage cases[] = {
        {"flipped byte", flipped, "checksum"},
        {"truncated", Bytes(good.begin(), good.end() - 1), "length"},
        {"empty", Bytes{}, "not a virtual token state file"},
        {"magic", magic, "not a virtual token state file"},
        {"version", version, "version"},
    };
    for (const Damage& damage : cases) {
        try {
            decodeState(damage.bytes);
            ADD_FAILURE() << damage.name << " was accepted";
        } catch (const StateFileError& e) {
            EXPECT_NE(std::string(e.what()).find(damage.message), std::string::npos)
                << damage.name << ": " << e.what();
        }
    }
}

TEST(StateFile, SaveReplacesAtomicallyAndLoadNamesTheFile) {
    TempDir dir;
    const auto path = dir / "token.state";
    EXPECT_THROW(loadStateFile(path), StateFileError);
    saveStateFile(path, provision(testing::defaultOptions()));
    EXPECT_FALSE(std::filesystem::exists(dir / "token.state.tmp"));
    Bytes bytes = readFile(path);
    bytes[40] ^= 0xFF;
    writeFile(path, bytes);
    try {
        loadStateFile(path);
        FAIL() << "corrupt file loaded";
    } catch (const StateFileError& e) {
        EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos);
    }
}

// Changes made through the token survive a reload; verification does not.
class PersistenceTest : public testing::TokenTest {
  protected:
    void SetUp() override {
        saveStateFile(path_, provision(testing::defaultOptions()));
        reload();
    }
    void reload() {
        token_ = std::make_unique<Token>(loadStateFile(path_), [this](const TokenState& state) {
            saveStateFile(path_, state);
            ++saves_;
        });
    }
    TempDir dir_;
    std::filesystem::path path_ = dir_ / "token.state";
    int saves_ = 0;
};

TEST_F(PersistenceTest, FileContentCountersAndPinsSurviveReload) {
    login(0xDDF1, kUserPin);
    ASSERT_EQ(select(0x0003), sw::kSuccess);
    ASSERT_EQ(sw("00D6000004CAFEBABE"), sw::kSuccess);
    Bytes writeKey = hex("80D4800112");
    const KeyRecord record = keyRecordFromPin(testing::pinBytes("999999"));
    writeKey.insert(writeKey.end(), record.begin(), record.end());
    ASSERT_EQ(testing::statusOf(token().transmit(writeKey)), sw::kSuccess);
    ASSERT_EQ(authenticate("000000"), sw::wrongPin(5));

    reload();
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    EXPECT_EQ(data("BF20000102"), hex("0605"));
    ASSERT_EQ(select(0x0003), sw::kSuccess);
    EXPECT_EQ(data("00B0000004"), hex("CAFEBABE"));
    EXPECT_EQ(sw("00D6000001AA"), sw::kSecurityNotSatisfied);  // verification was volatile
    EXPECT_EQ(authenticate("999999"), sw::kSuccess);
}

TEST_F(PersistenceTest, OnlyChangingCommandsSave) {
    ASSERT_EQ(select(0x00E1), sw::kSuccess);
    ASSERT_EQ(data("00B0000010").size(), 16u);
    data("BFC800000F");
    EXPECT_EQ(saves_, 0);
    ASSERT_EQ(sw("00D6000001AA"), sw::kSuccess);
    EXPECT_EQ(saves_, 1);
    EXPECT_EQ(sw("00D6008001AA"), sw::kOffsetBeyondEnd);
    EXPECT_EQ(saves_, 1);
}

TEST_F(PersistenceTest, FailedSaveAnswersMemoryFailure) {
    token_ = std::make_unique<Token>(loadStateFile(path_),
                                     [](const TokenState&) { throw StateFileError("disk full"); });
    ASSERT_EQ(select(0x00E1), sw::kSuccess);
    EXPECT_EQ(sw("00D6000001AA"), sw::kMemoryFailure);
}

}  // namespace
}  // namespace vtoken
