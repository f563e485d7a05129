#include "vtoken/state_file.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
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
    options.largestBlockQuery = false;
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
    EXPECT_FALSE(decoded.identity.largestBlockQuery);
    EXPECT_FALSE(decoded.identity.pinCounterCommand);
    EXPECT_EQ(decoded.identity.capacity, 5000u);
    EXPECT_EQ(labelOf(decoded), "label");
}

// Sets the format version and signs the file again, as a program of that version would have.
Bytes withVersion(Bytes file, std::uint8_t version) {
    file[11] = version;
    unsigned int length = 0;
    EVP_Digest(file.data(), file.size() - 32, file.data() + file.size() - 32, &length, EVP_sha256(),
               nullptr);
    return file;
}

FileNode& keyFile(TokenState& state, std::uint16_t df, std::uint16_t fid) {
    const auto dir = state.files.child(FileSystem::kRoot, df);
    const auto file = state.files.child(dir.value(), fid);
    return state.files.node(file.value());
}

TEST(StateFile, KeyFilesKeepTheirKeys) {
    TokenState state = provision(testing::defaultOptions());
    KeyObject rsaPublic{KeyAlgorithm::Rsa, {}};
    rsaPublic.set(component::kRsaPublicExponent, hex("01000100"));
    rsaPublic.set(component::kRsaModulus, Bytes(128, 0xC5));
    KeyObject rsaPrivate{KeyAlgorithm::Rsa, {}};
    for (std::uint8_t n = component::kRsaPrime1; n <= component::kRsaExponent2; ++n) {
        rsaPrivate.set(n, Bytes(64, n));
    }
    KeyObject sm2Private{KeyAlgorithm::Sm2, {}};
    sm2Private.set(component::kSm2PrivateKey, Bytes(32, 0xD2));
    const KeyFileIds rsa = rsaKeyFiles(1, 2);
    keyFile(state, kFirstApplication, rsa.publicKey).key = rsaPublic;
    keyFile(state, kFirstApplication, rsa.privateKey).key = rsaPrivate;
    keyFile(state, kSecondApplication, sm2KeyFiles(4, 1).privateKey).key = sm2Private;

    const Bytes encoded = encodeState(state);
    TokenState decoded = decodeState(encoded);
    EXPECT_EQ(encodeState(decoded), encoded);
    const auto components = [](const std::optional<KeyObject>& key) {
        std::map<std::uint8_t, Bytes> out;
        if (key) {
            for (const auto& [n, v] : key->components) out[n] = Bytes(v.begin(), v.end());
        }
        return out;
    };
    EXPECT_EQ(components(keyFile(decoded, kFirstApplication, rsa.publicKey).key),
              components(rsaPublic));
    EXPECT_EQ(components(keyFile(decoded, kFirstApplication, rsa.privateKey).key),
              components(rsaPrivate));
    const FileNode& sm2 = keyFile(decoded, kSecondApplication, sm2KeyFiles(4, 1).privateKey);
    ASSERT_TRUE(sm2.key);
    EXPECT_EQ(sm2.key->algorithm, KeyAlgorithm::Sm2);
    EXPECT_EQ(sm2.type, FileType::PrivateKey);
    EXPECT_FALSE(keyFile(decoded, kSecondApplication, sm2KeyFiles(4, 1).publicKey).key);
}

TEST(StateFile, RejectsDamagedKeysAndKeyFilesInVersion1) {
    TokenState state = provision(testing::defaultOptions());
    KeyObject marked{KeyAlgorithm::Rsa, {}};
    marked.set(0x77, hex("5A5A5A5A"));
    keyFile(state, kFirstApplication, rsaKeyFiles(1, 1).publicKey).key = marked;
    const Bytes good = encodeState(state);
    const Bytes component = hex("77 0004 5A5A5A5A");
    const auto at = std::search(good.begin(), good.end(), component.begin(), component.end());
    ASSERT_NE(at, good.end());
    Bytes badAlgorithm = good;
    badAlgorithm[static_cast<std::size_t>(at - good.begin()) - 2] = 9;

    struct Damage {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    const Damage cases[] = {
        {"key algorithm", withVersion(badAlgorithm, 2), "key algorithm"},
        // Version 1 had no key files: such a file was not written by a version-1 program.
        {"key file in version 1", withVersion(good, 1), "file type"},
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

// A state file written by the first version of the program (vtoken init with serial
// a0a1...a9, label "Version one", generation 1, capacity 4000, PINs 4321 and 87654321).
class Version1File : public testing::TokenTest {
  protected:
    void SetUp() override {
        std::filesystem::copy_file(VTOKEN_TEST_DATA "/version1.state", path_);
        token_ = std::make_unique<Token>(
            loadStateFile(path_), [this](const TokenState& state) { saveStateFile(path_, state); });
    }
    TempDir dir_;
    std::filesystem::path path_ = dir_ / "token.state";
};

TEST_F(Version1File, LoadsWithItsContentAndGainsKeyFiles) {
    const TokenState& state = token().state();
    EXPECT_EQ(toHex(state.identity.serial), "A0A1A2A3A4A5A6A7A8A9");
    EXPECT_EQ(labelOf(state), "Version one");
    EXPECT_EQ(state.identity.generation, 1);
    EXPECT_EQ(state.identity.capacity, 4000u);
    login(kSecondApplication, "4321");
    // The key files a fresh token has, empty, in both application directories.
    for (std::uint16_t df : {kFirstApplication, kSecondApplication}) {
        ASSERT_EQ(select(kMasterFileId), sw::kSuccess);
        ASSERT_EQ(select(df), sw::kSuccess);
        for (unsigned container = 1; container <= kContainerCount; ++container) {
            for (const KeyFileIds ids : {rsaKeyFiles(container, 1), sm2KeyFiles(container, 2)}) {
                EXPECT_EQ(select(ids.publicKey), sw::kSuccess) << ids.publicKey;
                EXPECT_EQ(select(ids.privateKey), sw::kSuccess) << ids.privateKey;
            }
        }
    }
}

TEST_F(Version1File, IsWrittenBackAsVersion2WithNothingLost) {
    const Bytes before = encodeState(token().state());
    ASSERT_EQ(select(kLabelFileId), sw::kSuccess);
    ASSERT_EQ(sw("00D6000002010A"), sw::kSuccess);  // a change makes the token save
    const Bytes saved = readFile(path_);
    EXPECT_EQ(saved[11], 2);
    const TokenState reloaded = loadStateFile(path_);
    EXPECT_EQ(reloaded.files.nodes().size(), token().state().files.nodes().size());
    EXPECT_EQ(encodeState(reloaded), encodeState(token().state()));
    EXPECT_NE(encodeState(reloaded), before);
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
    version[11] = 3;  // newer than this program knows
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
