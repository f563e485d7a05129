// Named data files on the wire: the directory in 00EF, identifiers from 00EE, the stored
// length in each file's first two bytes, and the pieces of 128 bytes.
#include <functional>
#include <numeric>

#include "fresh_token.h"

namespace wire {
namespace {

constexpr char kCreateFile[] = "80E000030D";
constexpr char kUpdateBinary[] = "00D6";
constexpr char kReadBinary[] = "00B0";

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// The commands of one kind with their data cut off: header and length byte only.
std::vector<std::string> headers(const std::vector<std::string>& commands) {
    std::vector<std::string> out;
    for (const auto& c : commands) out.push_back(c.substr(0, 10));
    return out;
}

class FilesTest : public FreshToken {
  protected:
    void SetUp() override {
        FreshToken::SetUp();
        verifyUser();
        clearTrace();
    }

    int32_t create(const std::string& name, uint32_t size, uint32_t access = 0) {
        return X_CreateFile(device(), name.c_str(), size, access);
    }

    int32_t write(const std::string& name, uint32_t offset, const Bytes& data) {
        uint32_t written = 0xDEAD;
        const int32_t r = X_WriteFile(device(), name.c_str(), offset, data.data(),
                                      static_cast<uint32_t>(data.size()), &written);
        if (r == 0) {
            EXPECT_EQ(written, data.size());
        }
        return r;
    }

    std::pair<int32_t, Bytes> read(const std::string& name, uint32_t offset, uint32_t length) {
        Bytes buffer(0x7FFF, 0xEE);
        uint32_t got = 0xDEAD;
        const int32_t r = X_ReadFile(device(), name.c_str(), offset, length, buffer.data(), &got);
        if (r != 0) return {r, {}};
        EXPECT_LE(got, buffer.size());
        buffer.resize(std::min<size_t>(got, buffer.size()));
        return {r, buffer};
    }

    std::vector<XFileEntry> list() {
        std::vector<XFileEntry> entries(XFILE_MAX_ENTRIES);
        for (auto& e : entries) e = XFileEntry{};
        uint32_t count = 0xDEAD;
        EXPECT_EQ(X_EnumFilesEx(device(), entries.data(), &count), 0);
        entries.resize(count <= XFILE_MAX_ENTRIES ? count : 0);
        return entries;
    }

    std::string names() {
        uint32_t length = 0;
        EXPECT_EQ(X_EnumFiles(device(), nullptr, &length), 0);
        std::string buffer(20 * 21, 'x');
        uint32_t again = 0;
        EXPECT_EQ(X_EnumFiles(device(), buffer.data(), &again), 0);
        EXPECT_EQ(again, length) << "the length asked for alone is the length written";
        buffer.resize(again);
        return buffer;
    }
};

TEST_F(FilesTest, NamesHaveOneToSixteenCharactersForCreateReadAndWrite) {
    const std::string name16(16, 'n');
    const std::string name17(17, 'n');
    const Bytes data = {1, 2, 3};
    uint32_t count = 0;
    uint8_t buffer[8];
    struct Case {
        const char* name;
        std::function<int32_t()> call;
        int32_t result;
        bool sends;
    };
    const Case cases[] = {
        {"create 16", [&] { return create(name16, 8); }, 0, true},
        {"create 17", [&] { return create(name17, 8); }, XR_BAD_PARAMETER, false},
        {"create empty", [&] { return create("", 8); }, XR_BAD_PARAMETER, false},
        {"create null", [&] { return X_CreateFile(device(), nullptr, 8, 0); }, XR_BAD_PARAMETER,
         false},
        {"write 16", [&] { return write(name16, 0, data); }, 0, true},
        {"write 17", [&] { return write(name17, 0, data); }, XR_BAD_PARAMETER, false},
        {"read 16", [&] { return read(name16, 0, 0).first; }, 0, true},
        {"read 17", [&] { return read(name17, 0, 0).first; }, XR_BAD_PARAMETER, false},
        {"read beyond 0x7FFF",
         [&] { return X_ReadFile(device(), name16.c_str(), 0x8000, 1, buffer, &count); },
         XR_BAD_PARAMETER, false},
        {"write reaching file offset 0x8000",
         [&] { return X_WriteFile(device(), name16.c_str(), 0x7FFE, data.data(), 1, &count); },
         XR_BAD_PARAMETER, false},
        {"write nothing",
         [&] { return X_WriteFile(device(), name16.c_str(), 0, data.data(), 0, &count); },
         XR_BAD_PARAMETER, false},
        {"delete 21", [&] { return X_DeleteFile(device(), "123456789012345678901", 21); },
         XR_BAD_PARAMETER, false},
        {"delete empty", [&] { return X_DeleteFile(device(), "x", 0); }, XR_BAD_PARAMETER, false},
        {"delete 16", [&] { return X_DeleteFile(device(), name16.c_str(), 16); }, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearTrace();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(!sentCommands().empty(), c.sends);
    }
}

TEST_F(FilesTest, CreationNeedsRoomStrictlyAboveSizePlusTwo) {
    // 1,000 bytes of capacity leave 984 after the 16-byte reserve.
    reprovision({.capacity = 1000});
    verifyUser();
    struct Case {
        uint32_t size;
        int32_t result;
        const char* createFile;  // the CREATE FILE sent, or none
    };
    const Case cases[] = {
        {0x8000, XR_NO_ROOM, nullptr},
        {982, XR_NO_ROOM, nullptr},
        {981, 0, "80E000030DEF1003D7000000000000000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        clearTrace();
        EXPECT_EQ(create("big", c.size), c.result);
        const auto sent = sentStartingWith(kCreateFile);
        if (c.createFile == nullptr) {
            EXPECT_TRUE(sent.empty());
        } else {
            EXPECT_EQ(sent, std::vector<std::string>{c.createFile});
        }
    }
    EXPECT_EQ(sentCommands().front(), "BFC800000F") << "the free space comes first";
}

TEST_F(FilesTest, AccessBytesDecideControlDataAndProtection) {
    struct Case {
        uint32_t access;
        const char* readUpdate;  // control data bytes 8 to 10
        const char* protection;  // directory record byte 3
        uint32_t listed;
    };
    const Case cases[] = {
        {0x0000, "000000", "FF", 256},     {0x0001, "000011", "00", 1},
        {0x0100, "110000", "00", 1},       {0x0101, "110011", "00", 1},
        {0x00010000, "000000", "FF", 256},  // only the low two bytes count
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.access);
        const std::string name = "f" + std::to_string(i);
        clearTrace();
        ASSERT_EQ(create(name, 10 + i, c.access), 0);
        // Identifiers come from the counter: EF10, EF11, ...
        const std::string id = "EF1" + std::to_string(i);
        const std::string size = hexOf({0x00, static_cast<uint8_t>(12 + i)});
        EXPECT_EQ(
            sentStartingWith(kCreateFile),
            std::vector<std::string>{kCreateFile + id + size + "00000000" + c.readUpdate + "0000"});
        const std::string record = "01" + id + c.protection +
                                   hexOf({0x00, static_cast<uint8_t>(10 + i)}) + "02" +
                                   hexOf(bytesOf(name)) + std::string(2 * 18, '0');
        EXPECT_EQ(sentStartingWith("00DC"),
                  std::vector<std::string>{"00DC" + hexOf({static_cast<uint8_t>(i + 1)}) + "041B" +
                                           record});
        EXPECT_EQ(sentStartingWith("00D6"),
                  std::vector<std::string>{"00D6000002EF1" + std::to_string(i + 1)});
    }
    const auto entries = list();
    ASSERT_EQ(entries.size(), std::size(cases));
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(std::string(entries[i].name, entries[i].nameLength), "f" + std::to_string(i));
        EXPECT_EQ(entries[i].protection, cases[i].listed);
        EXPECT_EQ(entries[i].size, 10 + i);
    }
}

TEST_F(FilesTest, ReadingStopsAtTheStoredLength) {
    ASSERT_EQ(create("data", 20), 0);
    const Bytes content = pattern(10, 1);
    ASSERT_EQ(write("data", 0, content), 0);
    struct Case {
        uint32_t offset;
        uint32_t length;
        size_t from;
        size_t count;
    };
    const Case cases[] = {
        {10, 0, 0, 0}, {11, 0, 0, 0}, {10, 5, 0, 0},  {0, 0, 0, 10},
        {3, 4, 3, 4},  {8, 5, 8, 2},  {0, 10, 0, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        clearTrace();
        const auto [result, got] = read("data", c.offset, c.length);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(got, Bytes(content.begin() + c.from, content.begin() + c.from + c.count));
        // Only the length is read when nothing is left.
        EXPECT_EQ(sentStartingWith(kReadBinary).size(), c.count == 0 ? 1u : 2u);
    }
}

TEST_F(FilesTest, WritesAndReadsGoInPiecesOf128Bytes) {
    ASSERT_EQ(create("log", 400), 0);
    const Bytes content = pattern(300, 3);
    clearTrace();
    ASSERT_EQ(write("log", 0, content), 0);
    EXPECT_EQ(headers(sentStartingWith(kUpdateBinary)),
              (std::vector<std::string>{"00D6000280", "00D6008280", "00D601022C", "00D6000002"}));
    EXPECT_EQ(sentStartingWith(kUpdateBinary).back(), "00D6000002012C");

    clearTrace();
    const auto [result, got] = read("log", 0, 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got, content);
    EXPECT_EQ(sentStartingWith(kReadBinary),
              (std::vector<std::string>{"00B0000002", "00B0000280", "00B0008280", "00B001022C"}));

    // An offset moves every piece and makes the stored length offset + data length.
    clearTrace();
    ASSERT_EQ(write("log", 10, pattern(130, 9)), 0);
    EXPECT_EQ(headers(sentStartingWith(kUpdateBinary)),
              (std::vector<std::string>{"00D6000C80", "00D6008C02", "00D6000002"}));
    EXPECT_EQ(sentStartingWith(kUpdateBinary).back(), "00D6000002008C");
}

TEST_F(FilesTest, AShortWriteShortensTheFile) {
    ASSERT_EQ(create("notes", 100), 0);
    ASSERT_EQ(write("notes", 0, pattern(100, 5)), 0);
    const Bytes head = pattern(5, 77);
    clearTrace();
    ASSERT_EQ(write("notes", 0, head), 0);
    EXPECT_EQ(sentStartingWith(kUpdateBinary).back(), "00D60000020005");
    EXPECT_EQ(read("notes", 0, 0), std::make_pair(0, head));
}

TEST_F(FilesTest, AStoredLengthBeyondTheFileEndsTheReadAtWhatIsThere) {
    ASSERT_EQ(create("short", 10), 0);
    const Bytes content = pattern(10, 40);
    ASSERT_EQ(write("short", 0, content), 0);
    // Damage the stored length: 100 in a file that holds 10.
    ASSERT_EQ(transmit("00A4000002EF10").first, 0x9000);
    ASSERT_EQ(transmit("00D60000020064").first, 0x9000);
    clearTrace();
    EXPECT_EQ(read("short", 0, 0), std::make_pair(0, content));
    EXPECT_EQ(sentStartingWith(kReadBinary),
              (std::vector<std::string>{"00B0000002", "00B0000264", "00B000020A"}));
}

// A stored length the library never writes (another program, or damage) must not lead a read
// to file offsets from 0x8000 on, where P1 would name a file by short identifier, nor past the
// 0x7FFF bytes a caller's buffer is documented to hold.
TEST_F(FilesTest, AReadNeverAddressesFileOffset0x8000WhateverTheStoredLength) {
    ASSERT_EQ(create("huge", 8), 0);
    struct Case {
        uint32_t offset;
        std::vector<std::string> pieces;  // the READ BINARY pieces after the length read
    };
    const Case cases[] = {
        {0x7FFD, {"00B07FFF01"}},
        {0x7FFE, {}},
        {0x7FFF, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        ASSERT_EQ(token().control("reply 00B0000002 FFFF9000 1"), "ok");
        clearTrace();
        Bytes buffer(0x7FFF, 0xEE);
        uint32_t got = 0xDEAD;
        EXPECT_EQ(X_ReadFile(device(), "huge", c.offset, 0, buffer.data(), &got), 0);
        EXPECT_EQ(got, 0u);
        auto reads = sentStartingWith(kReadBinary);
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(reads.front(), "00B0000002");
        reads.erase(reads.begin());
        EXPECT_EQ(reads, c.pieces);
    }
}

// A directory record whose name length is larger than the 20 name bytes it has room for (a
// record this library never writes) is listed with the 20 bytes that are there.
TEST_F(FilesTest, ANameLengthBeyondTheRecordIsCutToTheTwentyBytesThere) {
    const std::string stored = "ABCDEFGHIJKLMNOPQRST";
    // In use, identifier EF10, unprotected, size 4, name length 30, 20 name bytes.
    ASSERT_EQ(transmit("00A400000200EF").first, 0x9000);
    ASSERT_EQ(transmit("00DC01041B01EF10FF00041E" + hexOf(bytesOf(stored))).first, 0x9000);
    const auto entries = list();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].nameLength, 20u);
    EXPECT_EQ(std::string(entries[0].name, 20), stored);
    EXPECT_EQ(std::string(entries[0].name + 20, 12), std::string(12, '\0'));
    EXPECT_EQ(names(), stored + '\0');
}

TEST_F(FilesTest, DeletingFreesTheEntryOnceAndOnlyOnce) {
    ASSERT_EQ(create("gone", 8), 0);
    clearTrace();
    EXPECT_EQ(X_DeleteFile(device(), "gone", 4), 0);
    EXPECT_EQ(sentStartingWith("00DC01041B"),
              std::vector<std::string>{"00DC01041B" + std::string(54, '0')});
    EXPECT_EQ(X_DeleteFile(device(), "gone", 4), XR_NOT_FOUND);
    EXPECT_EQ(read("gone", 0, 0).first, XR_NOT_FOUND);
    EXPECT_EQ(names(), "");
    // The freed record is reused; the file gets a new identifier.
    clearTrace();
    EXPECT_EQ(create("gone", 8), 0);
    EXPECT_EQ(sentStartingWith(kCreateFile).at(0).substr(10, 4), "EF11");
    EXPECT_EQ(sentStartingWith("00DC").at(0).substr(0, 10), "00DC01041B");
}

TEST_F(FilesTest, TwentyFilesFillTheDirectory) {
    std::string expectedNames;
    for (int i = 1; i <= 20; ++i) {
        const std::string name = "file" + std::to_string(i);
        ASSERT_EQ(create(name, 4), 0) << name;
        expectedNames += name + '\0';
    }
    clearTrace();
    EXPECT_EQ(create("file21", 4), XR_NO_ROOM);
    EXPECT_TRUE(sentStartingWith(kCreateFile).empty());

    const auto entries = list();
    ASSERT_EQ(entries.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(std::string(entries[i].name, entries[i].nameLength),
                  "file" + std::to_string(i + 1));
        EXPECT_EQ(entries[i].size, 4u);
    }
    EXPECT_EQ(names(), expectedNames);
}

TEST_F(FilesTest, DuplicatesAndMissingRightsAreRefused) {
    ASSERT_EQ(create("mine", 8, 0x0101), 0);
    ASSERT_EQ(write("mine", 0, {1, 2, 3}), 0);
    clearTrace();
    EXPECT_EQ(create("mine", 8), XR_FILE_EXISTS);
    EXPECT_TRUE(sentStartingWith(kCreateFile).empty());

    // A failed verification clears the token's security state; the handle's flag goes with
    // X_ClearSecureState.
    EXPECT_EQ(X_VerifyPIN(device(), XPIN_USER, bytesOf("000000").data(), 6, nullptr),
              XR_PIN_INCORRECT);
    EXPECT_EQ(read("mine", 0, 0).first, XR_NOT_VERIFIED);
    EXPECT_EQ(write("mine", 0, {4}), XR_NOT_VERIFIED);
    ASSERT_EQ(X_ClearSecureState(device()), 0);
    clearTrace();
    EXPECT_EQ(create("other", 8), XR_NOT_VERIFIED);
    EXPECT_TRUE(sentCommands().empty());
}

// Files live in the application directory that is current: the one the connect selected, or
// the one an opened container selected. A look at the container directory (in the master
// file) does not take the application away.
TEST_F(FilesTest, FilesLiveInTheCurrentApplicationDirectory) {
    ASSERT_EQ(create("first", 8), 0);
    ContainerHandle* second = openContainer(containerName('2'));
    verifyUser();
    EXPECT_EQ(names(), "");
    ASSERT_EQ(create("second", 8), 0);
    EXPECT_EQ(names(), std::string("second") + '\0');

    ContainerHandle* created = nullptr;
    ASSERT_EQ(X_CreateContainer(device(), "look at 00E2", &created), 0);
    EXPECT_EQ(names(), std::string("second") + '\0');
    ASSERT_EQ(X_DestroyContainer(device(), created), 0);

    ContainerHandle* first = openContainer(containerName('1'));
    EXPECT_EQ(names(), std::string("first") + '\0');
    for (ContainerHandle* c : {second, first}) {
        ASSERT_EQ(X_CloseContainer(device(), c), 0);
        forget(c);
    }
}

}  // namespace
}  // namespace wire
