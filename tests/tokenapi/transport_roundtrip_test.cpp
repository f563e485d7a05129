// The key API over every transport: the same round trips against one virtual token on each of
// PC/SC, the SD card's driver path, its vendor path and the driver's device node; the numbering
// of devices across transports; and a token pulled in the middle of an exchange on each.
//
// A round trip leaves the token as it found it, so that every transport starts from the same
// state. A key API operation added later joins by adding a row to kRoundTrips.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "environment.h"
#include "platform/named_mutex.h"
#include "tokenapi.h"

namespace {

using namespace std::chrono_literals;
using testbed::Transport;
using Bytes = std::vector<uint8_t>;

constexpr char kUserPin[] = "123456";

struct Placement {
    Transport transport;
    char tag;
    const char* serial;
    const char* name;
};

// One token per transport; index i of the bed's tokens is kPlacements[i].
constexpr Placement kPlacements[] = {
    {Transport::Pcsc, 'C', "c1c1c1c1c1c1c1c1c1c1", "Pcsc"},
    {Transport::SdDriver, 'M', "d2d2d2d2d2d2d2d2d2d2", "SdDriverPath"},
    {Transport::SdVendor, 'M', "e3e3e3e3e3e3e3e3e3e3", "SdVendorPath"},
    {Transport::DriverNode, 'D', "f4f4f4f4f4f4f4f4f4f4", "DriverNode"},
};

std::size_t indexOf(Transport t) {
    for (std::size_t i = 0; i < std::size(kPlacements); ++i) {
        if (kPlacements[i].transport == t) return i;
    }
    throw std::logic_error("no token on that transport");
}

testbed::BedLayout layout() {
    testbed::BedLayout l;
    l.readerEntries = {"Tarvex USB KEY 1"};
    for (const Placement& p : kPlacements) {
        l.tokens.push_back({.serial = p.serial, .label = p.name, .transports = {p.transport}});
    }
    return l;
}

// The SD card's driver path hides its vendor path: only the path under test is offered.
void offerSdPath(Transport wanted) {
    testbed::Bed& bed = testbed::sharedBed();
    ::setenv(testbed::kSdDriverVariable,
             wanted == Transport::SdVendor ? "" : bed.cardList(Transport::SdDriver).c_str(), 1);
}

std::string serialOf(DeviceHandle* device) {
    uint8_t serial[21] = {};
    uint32_t length = sizeof serial;
    if (X_GetDEVInfo(device, XINFO_SERIAL, serial, &length) != 0) return "?";
    return reinterpret_cast<const char*>(serial);
}

char transportOf(DeviceHandle* device) {
    char tag = '?';
    X_GetDEVTransport(device, &tag);
    return tag;
}

Bytes pattern(std::size_t n, uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

bool lockFree(const std::string& name) {
    auto lock = platform::NamedMutex::openOrCreate(name);
    if (!lock) return false;
    platform::NamedMutexGuard guard(*lock, 0ms);
    return guard.owns();
}

// What a round trip works with: the connected device and its token.
struct Session {
    DeviceHandle* device;
    testbed::VirtualToken& token;
    const Placement& placement;

    std::vector<std::string> sent() const {
        std::vector<std::string> out;
        for (const std::string& line : token.traceLines()) {
            if (line.starts_with("> ")) out.push_back(line.substr(2));
        }
        return out;
    }
    void verifyUser() const {
        uint32_t retry = 0;
        ASSERT_EQ(X_VerifyPIN(device, XPIN_USER, reinterpret_cast<const uint8_t*>(kUserPin),
                              sizeof kUserPin - 1, &retry),
                  0);
    }
};

// ---- The round trips ----

void deviceIdentity(Session& s) {
    EXPECT_EQ(serialOf(s.device), s.placement.serial);
    EXPECT_EQ(transportOf(s.device), s.placement.tag);
    uint8_t name[7] = {};
    uint32_t length = sizeof name;
    EXPECT_EQ(X_GetDEVInfo(s.device, XINFO_NAME, name, &length), 0);

    uint8_t label[65] = {};
    length = sizeof label;
    ASSERT_EQ(X_GetDEVLabel(s.device, label, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(label)), s.placement.name);
    const std::string other = std::string("relabelled over ") + s.placement.name;
    ASSERT_EQ(X_SetDEVLabel(s.device, reinterpret_cast<const uint8_t*>(other.data()),
                            static_cast<uint32_t>(other.size())),
              0);
    std::memset(label, 0, sizeof label);
    length = sizeof label;
    ASSERT_EQ(X_GetDEVLabel(s.device, label, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(label)), other);
    ASSERT_EQ(X_SetDEVLabel(s.device, reinterpret_cast<const uint8_t*>(s.placement.name),
                            static_cast<uint32_t>(std::strlen(s.placement.name))),
              0);
}

void rawCommands(Session& s) {
    Bytes reply(300, 0xEE);
    uint32_t length = static_cast<uint32_t>(reply.size());
    int32_t status = 0;
    const Bytes select = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    ASSERT_EQ(X_TransmitCmd(s.device, select.data(), 7, reply.data(), &length, &status), 0);
    EXPECT_EQ(status, 0x9000);
    EXPECT_EQ(length, 0u) << "a status word alone";
    const Bytes notThere = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x12, 0x34};
    length = static_cast<uint32_t>(reply.size());
    ASSERT_EQ(X_TransmitCmd(s.device, notThere.data(), 7, reply.data(), &length, &status), 0);
    EXPECT_EQ(status, 0x6A82);
    // The label file's 128 bytes.
    const Bytes selectLabel = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0xE1};
    const Bytes readLabel = {0x00, 0xB0, 0x00, 0x00, 0x80};
    length = static_cast<uint32_t>(reply.size());
    ASSERT_EQ(X_TransmitCmd(s.device, selectLabel.data(), 7, reply.data(), &length, &status), 0);
    length = static_cast<uint32_t>(reply.size());
    ASSERT_EQ(X_TransmitCmd(s.device, readLabel.data(), 5, reply.data(), &length, &status), 0);
    EXPECT_EQ(status, 0x9000);
    ASSERT_EQ(length, 128u);
    EXPECT_EQ(reply[0], 0x01);
    EXPECT_EQ(reply[1], std::strlen(s.placement.name));
}

// The largest reply each transport takes passes the key API whole.
void largestReply(Session& s) {
    std::size_t data = 0;
    switch (s.placement.transport) {
        case Transport::Pcsc:
            data = 20240 - 2;
            break;
        case Transport::SdDriver:
            data = 4096 - 2;
            break;
        case Transport::SdVendor:
            data = 5000;
            break;
        case Transport::DriverNode:
            data = 51200 - 2;
            break;
    }
    const Bytes expected = pattern(data, 0x21);
    std::string hex;
    for (uint8_t b : expected) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", b);
        hex += two;
    }
    ASSERT_EQ(s.token.control("reply 80CA " + hex + "9000 1"), "ok");
    Bytes reply(65536, 0xEE);
    uint32_t length = static_cast<uint32_t>(reply.size());
    int32_t status = 0;
    const Bytes command = {0x80, 0xCA, 0x00, 0x00, 0x00};
    ASSERT_EQ(X_TransmitCmd(s.device, command.data(), 5, reply.data(), &length, &status), 0);
    EXPECT_EQ(status, 0x9000);
    ASSERT_EQ(length, data);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(data)), expected);
    EXPECT_EQ(reply[data], 0xEE) << "nothing past the reply";
}

void pinVerificationAndChange(Session& s) {
    const auto pin = [](const char* p) { return reinterpret_cast<const uint8_t*>(p); };
    uint32_t retry = 99;
    EXPECT_EQ(X_VerifyPIN(s.device, XPIN_USER, pin("999999"), 6, &retry), XR_PIN_INCORRECT);
    EXPECT_EQ(retry, 5u);
    EXPECT_EQ(X_VerifyPIN(s.device, XPIN_USER, pin(kUserPin), 6, &retry), 0);
    ASSERT_EQ(X_ChangePIN(s.device, XPIN_USER, pin(kUserPin), 6, pin("24681357"), 8, &retry), 0);
    EXPECT_EQ(X_VerifyPIN(s.device, XPIN_USER, pin(kUserPin), 6, &retry), XR_PIN_INCORRECT);
    EXPECT_EQ(X_VerifyPIN(s.device, XPIN_USER, pin("24681357"), 8, &retry), 0);
    ASSERT_EQ(X_ChangePIN(s.device, XPIN_USER, pin("24681357"), 8, pin(kUserPin), 6, &retry), 0);
    EXPECT_EQ(X_VerifyPIN(s.device, XPIN_USER, pin(kUserPin), 6, &retry), 0);
    uint8_t state = 0xEE;
    uint32_t length = 1;
    ASSERT_EQ(X_GetDEVInfo(s.device, XINFO_SECURITY_STATE, &state, &length), 0);
    EXPECT_EQ(state, 1) << "the token reports the verified PIN";
}

void randomNumbers(Session& s) {
    Bytes random(100, 0xEE);
    ASSERT_EQ(X_GenRandom(s.device, random.data(), static_cast<uint32_t>(random.size())), 0);
    EXPECT_NE(random, Bytes(100, 0xEE));
    int challenges = 0;
    for (const std::string& c : s.sent()) challenges += c == "0084000008";
    EXPECT_EQ(challenges, 13) << "one GET CHALLENGE per 8 bytes";
}

void files(Session& s) {
    s.verifyUser();
    const char* name = "roundtrip";
    ASSERT_EQ(X_CreateFile(s.device, name, 3000, 0), 0);
    const Bytes content = pattern(2500, 0x42);
    uint32_t written = 0;
    ASSERT_EQ(X_WriteFile(s.device, name, 0, content.data(), static_cast<uint32_t>(content.size()),
                          &written),
              0);
    EXPECT_EQ(written, content.size());
    Bytes back(0x7FFF, 0xEE);
    uint32_t got = 0;
    ASSERT_EQ(X_ReadFile(s.device, name, 0, 0, back.data(), &got), 0);
    back.resize(got);
    EXPECT_EQ(back, content);
    std::vector<XFileEntry> entries(XFILE_MAX_ENTRIES);
    uint32_t count = 0;
    ASSERT_EQ(X_EnumFilesEx(s.device, entries.data(), &count), 0);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(std::string(entries[0].name, entries[0].nameLength), name);
    EXPECT_EQ(entries[0].size, 3000u);
    ASSERT_EQ(X_DeleteFile(s.device, name, static_cast<uint32_t>(std::strlen(name))), 0);
    ASSERT_EQ(X_EnumFilesEx(s.device, entries.data(), &count), 0);
    EXPECT_EQ(count, 0u);
}

void containersAndCertificates(Session& s) {
    s.verifyUser();
    ContainerHandle* container = nullptr;
    ASSERT_EQ(X_CreateContainer(s.device, "roundtrip container", &container), 0);
    const Bytes user = pattern(2048, 0x07);
    const Bytes root = pattern(900, 0x99);
    EXPECT_EQ(X_ImportUserCert(s.device, container, 1, user.data(), 2048), 0);
    EXPECT_EQ(X_ImportRootCert(s.device, container, root.data(), 900), 0);
    Bytes back(2048, 0xEE);
    uint32_t length = 2048;
    EXPECT_EQ(X_ExportUserCert(s.device, container, 1, back.data(), &length), 0);
    EXPECT_EQ(length, 2048u);
    EXPECT_EQ(back, user);
    length = 2048;
    EXPECT_EQ(X_ExportRootCert(s.device, container, back.data(), &length), 0);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + length), root);
    EXPECT_EQ(X_DeletetUserCert(s.device, container, 1), 0);
    EXPECT_EQ(X_DeletetUserCert(s.device, container, 3), 0);
    char names[4 * 121] = {};
    length = sizeof names;
    EXPECT_EQ(X_EnumNamedContainers(s.device, names, &length), 0);
    EXPECT_EQ(std::string(names), "roundtrip container");
    EXPECT_EQ(X_DestroyContainer(s.device, container), 0);
    length = sizeof names;
    EXPECT_EQ(X_EnumNamedContainers(s.device, names, &length), 0);
    EXPECT_EQ(length, 0u);
}

// Long enough for several chunks on every transport, with the token reporting blocks larger
// than any transport carries: the chunks must follow what the device's transport takes.
void ciphers(Session& s) {
    ASSERT_EQ(s.token.control("max-block 65535"), "ok");
    const Bytes key = pattern(16, 0x3C);
    const Bytes plain = pattern(40000, 0x5C);
    Bytes cipher(plain.size() + 16, 0xEE);
    uint32_t length = static_cast<uint32_t>(cipher.size());
    ASSERT_EQ(X_Encrypt(s.device, XCIPHER_BLOCK16, key.data(), 16, plain.data(),
                        static_cast<uint32_t>(plain.size()), cipher.data(), &length),
              0);
    ASSERT_EQ(length, plain.size() + 16) << "a whole block of padding";
    EXPECT_NE(Bytes(cipher.begin(), cipher.begin() + 64), Bytes(plain.begin(), plain.begin() + 64));
    Bytes back(cipher.size(), 0xEE);
    length = static_cast<uint32_t>(back.size());
    ASSERT_EQ(X_Decrypt(s.device, XCIPHER_BLOCK16, key.data(), 16, cipher.data(),
                        static_cast<uint32_t>(cipher.size()), back.data(), &length),
              0);
    back.resize(length);
    EXPECT_EQ(back, plain);

    // A session fed in uneven pieces gives the same cipher text.
    CipherSession* session = nullptr;
    ASSERT_EQ(X_EncryptInit(s.device, &session, XCIPHER_BLOCK16, key.data(), 16), 0);
    Bytes streamed;
    std::size_t at = 0;
    for (std::size_t piece : {777u, 9000u, 1u, 30222u}) {
        Bytes out(piece + 16);
        uint32_t n = static_cast<uint32_t>(out.size());
        ASSERT_EQ(X_EncryptUpdate(s.device, session, plain.data() + at,
                                  static_cast<uint32_t>(piece), out.data(), &n),
                  0);
        streamed.insert(streamed.end(), out.begin(), out.begin() + n);
        at += piece;
    }
    ASSERT_EQ(at, plain.size());
    Bytes last(32);
    uint32_t n = static_cast<uint32_t>(last.size());
    ASSERT_EQ(X_EncryptFinal(s.device, session, last.data(), &n), 0);
    streamed.insert(streamed.end(), last.begin(), last.begin() + n);
    EXPECT_EQ(streamed, cipher);
}

struct RoundTrip {
    const char* name;
    void (*run)(Session&);
};

const RoundTrip kRoundTrips[] = {
    {"DeviceIdentity", deviceIdentity},
    {"RawCommands", rawCommands},
    {"LargestReply", largestReply},
    {"PinVerificationAndChange", pinVerificationAndChange},
    {"RandomNumbers", randomNumbers},
    {"Files", files},
    {"ContainersAndCertificates", containersAndCertificates},
    {"Ciphers", ciphers},
};

// Connects the token on `transport`; null (with a failure recorded) when it is not found.
DeviceHandle* connectTokenOn(const Placement& placement) {
    offerSdPath(placement.transport);
    uint32_t count = 0;
    EXPECT_EQ(X_EnumDEV(0, &count), 0);
    std::string seen;
    for (uint32_t i = 0; i < count; ++i) {
        DeviceHandle* device = nullptr;
        if (const int32_t r = X_ConnectDEV(&device, static_cast<int32_t>(i)); r != 0) {
            seen += " (" + std::to_string(i) + ": connect gives " + std::to_string(r) + ")";
            continue;
        }
        const char tag = transportOf(device);
        const std::string serial = serialOf(device);
        if (tag == placement.tag && serial == placement.serial) return device;
        seen += std::string(" (") + tag + " " + serial + ")";
        X_DisConnectDEV(device);
    }
    ADD_FAILURE() << "no token of serial " << placement.serial << " among" << seen;
    return nullptr;
}

class AcrossTransports : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {
  protected:
    const Placement& placement() const { return kPlacements[std::get<0>(GetParam())]; }
    testbed::VirtualToken& token() { return testbed::sharedBed().token(std::get<0>(GetParam())); }
    void TearDown() override {
        if (device_ != nullptr) X_DisConnectDEV(device_);
        offerSdPath(Transport::SdDriver);
    }
    DeviceHandle* device_ = nullptr;
};

TEST_P(AcrossTransports, RoundTrip) {
    testbed::sharedBed();
    device_ = connectTokenOn(placement());
    ASSERT_NE(device_, nullptr);
    token().control("clear");
    token().clearTrace();
    Session session{device_, token(), placement()};
    kRoundTrips[std::get<1>(GetParam())].run(session);
}

INSTANTIATE_TEST_SUITE_P(
    KeyApi, AcrossTransports,
    ::testing::Combine(::testing::Range<std::size_t>(0, std::size(kPlacements)),
                       ::testing::Range<std::size_t>(0, std::size(kRoundTrips))),
    [](const auto& p) {
        return std::string(kPlacements[std::get<0>(p.param)].name) + "_" +
               kRoundTrips[std::get<1>(p.param)].name;
    });

// ---- Numbering ----

TEST(NumberingAcrossTransports, DiskDriverPcscThenSdCardAndEachTokenAnswersItsOwnSerial) {
    testbed::sharedBed();
    for (const Transport sdPath : {Transport::SdDriver, Transport::SdVendor}) {
        SCOPED_TRACE(sdPath == Transport::SdDriver ? "driver path" : "vendor path");
        offerSdPath(sdPath);
        uint32_t count = 0;
        ASSERT_EQ(X_EnumDEV(0, &count), 0);
        // No disk-class token; one on the driver's node, one behind PC/SC, one SD card.
        const std::vector<const Placement*> expected = {
            &kPlacements[indexOf(Transport::DriverNode)], &kPlacements[indexOf(Transport::Pcsc)],
            &kPlacements[indexOf(sdPath)]};
        ASSERT_EQ(count, expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            DeviceHandle* device = nullptr;
            ASSERT_EQ(X_ConnectDEV(&device, static_cast<int32_t>(i)), 0) << i;
            EXPECT_EQ(transportOf(device), expected[i]->tag) << i;
            EXPECT_EQ(serialOf(device), expected[i]->serial) << i;
            X_DisConnectDEV(device);
        }
        DeviceHandle* device = nullptr;
        EXPECT_EQ(X_ConnectDEV(&device, static_cast<int32_t>(count)), XR_DEVICE_LOST);
        EXPECT_EQ(device, nullptr);
    }
    offerSdPath(Transport::SdDriver);
}

// ---- A token pulled in the middle of an exchange ----

class PulledToken : public ::testing::TestWithParam<std::size_t> {
  protected:
    const Placement& placement() const { return kPlacements[GetParam()]; }
    testbed::VirtualToken& token() { return testbed::sharedBed().token(GetParam()); }
    void TearDown() override {
        token().control("reinsert");
        offerSdPath(Transport::SdDriver);
    }
};

TEST_P(PulledToken, EndsInDeviceLostThenBadHandleWithoutHangOrLeak) {
    testbed::Bed& bed = testbed::sharedBed();
    // The process's own lasting connections (the PC/SC context) are made by a first use.
    X_DisConnectDEV(connectTokenOn(placement()));
    const int before = openDescriptors();

    DeviceHandle* device = connectTokenOn(placement());
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(token().control("drop-after 0084"), "ok");
    uint8_t random[8];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(X_GenRandom(device, random, sizeof random), XR_DEVICE_LOST);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "no wait without a bound";
    token().clearTrace();
    uint8_t serial[21];
    uint32_t length = sizeof serial;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, serial, &length), XR_BAD_HANDLE);
    EXPECT_TRUE(token().traceLines().empty()) << "the lost handle does not reach the token";
    EXPECT_EQ(X_DisConnectDEV(device), 0);

    EXPECT_EQ(openDescriptors(), before) << "a descriptor of the pulled token stayed open";
    EXPECT_TRUE(lockFree("Global\\TOKENAPI_MUTEX"));
    if (placement().transport == Transport::DriverNode) {
        EXPECT_TRUE(lockFree(platform::deviceLockName(token().endpoints().devicePath->string())));
    }

    // Put back, it is found and used again. (pcscd must have seen the card go first, or it
    // would take the new card for the old one.)
    if (placement().transport == Transport::Pcsc) {
        ASSERT_TRUE(bed.waitForCard(token().readerName(), false));
    }
    ASSERT_EQ(token().control("reinsert"), "ok");
    if (placement().transport == Transport::Pcsc) {
        ASSERT_TRUE(bed.waitForCard(token().readerName(), true));
    }
    device = connectTokenOn(placement());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(X_GenRandom(device, random, sizeof random), 0);
    X_DisConnectDEV(device);
}

INSTANTIATE_TEST_SUITE_P(EachTransport, PulledToken,
                         ::testing::Range<std::size_t>(0, std::size(kPlacements)),
                         [](const auto& p) { return std::string(kPlacements[p.param].name); });

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::useSharedBed(layout());
    return RUN_ALL_TESTS();
}
