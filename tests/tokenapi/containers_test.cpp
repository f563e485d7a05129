// Containers and certificates on the wire: the two opened containers of the application
// directories, the container directory 00E2 with its flag files, and the certificate files.
#include <functional>

#include "container_handle.h"
#include "environment.h"
#include "fresh_token.h"

namespace wire {
namespace {

constexpr uint32_t kCert1 = 1u << 8;
constexpr uint32_t kCert2 = 1u << 24;
constexpr uint32_t kKey1 = 1u << 0;

Bytes certificate(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed ^ (i * 13) ^ (i >> 8));
    return b;
}

std::string selectOf(const char* fid) {
    return std::string("00A4000002") + fid;
}

class ContainersTest : public FreshToken {
  protected:
    uint32_t info(ContainerHandle* c) {
        uint32_t word = 0xDEADBEEF;
        EXPECT_EQ(X_GetContainerInfo(device(), c, &word), 0);
        return word;
    }

    int32_t importCert(ContainerHandle* c, uint32_t type, const Bytes& cert) {
        const auto length = static_cast<uint32_t>(cert.size());
        return type == 3 ? X_ImportRootCert(device(), c, cert.data(), length)
                         : X_ImportUserCert(device(), c, type, cert.data(), length);
    }

    // The certificate in a buffer of exactly 2,048 bytes, as the interface asks.
    std::pair<int32_t, Bytes> exportCert(ContainerHandle* c, uint32_t type) {
        Bytes buffer(2048, 0xEE);
        uint32_t length = 0xDEAD;
        const int32_t r = type == 3 ? X_ExportRootCert(device(), c, buffer.data(), &length)
                                    : X_ExportUserCert(device(), c, type, buffer.data(), &length);
        if (r != 0) return {r, {}};
        EXPECT_LE(length, buffer.size());
        buffer.resize(std::min<size_t>(length, buffer.size()));
        return {r, buffer};
    }

    // Writes a stored certificate length straight into a directory's certificate file.
    void storeLength(const char* directory, const char* file, uint16_t length) {
        ASSERT_EQ(transmit(selectOf("3F00")).first, 0x9000);
        ASSERT_EQ(transmit(selectOf(directory)).first, 0x9000);
        ASSERT_EQ(transmit(selectOf(file)).first, 0x9000);
        ASSERT_EQ(transmit("00D6000002" +
                           hexOf({static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}))
                      .first,
                  0x9000);
    }

    void close(ContainerHandle* c) {
        ASSERT_EQ(X_CloseContainer(device(), c), 0);
        forget(c);
    }
};

TEST_F(ContainersTest, EnumerationNamesBothContainersAfterTheSerial) {
    std::string buffer(256, 'x');
    uint32_t length = 0;
    ASSERT_EQ(X_EnumContainer(device(), buffer.data(), &length), 0);
    const std::string serial = token().spec().serial;
    ASSERT_EQ(length, 44u);
    EXPECT_EQ(buffer.substr(0, length), serial + "1" + '\0' + serial + "2" + '\0');
    EXPECT_EQ(sentCommands(), std::vector<std::string>{"BFC400000A"});
}

TEST_F(ContainersTest, NamesHaveOneTo120BytesAndOpenNamesEndInOneOrTwo) {
    verifyUser();
    const std::string name120(120, 'c');
    const std::string name121(121, 'c');
    ContainerHandle* out = nullptr;
    struct Case {
        const char* name;
        std::function<int32_t()> call;
        int32_t result;
        bool sends;
    };
    const Case cases[] = {
        {"create 121", [&] { return X_CreateContainer(device(), name121.c_str(), &out); },
         XR_NAME_LENGTH, false},
        {"create empty", [&] { return X_CreateContainer(device(), "", &out); }, XR_NAME_LENGTH,
         false},
        {"create null", [&] { return X_CreateContainer(device(), nullptr, &out); }, XR_NAME_LENGTH,
         false},
        {"open 121", [&] { return X_OpenContainer(device(), (name121 + "1").c_str(), &out); },
         XR_NAME_LENGTH, false},
        {"open ending in 3", [&] { return X_OpenContainer(device(), "serial3", &out); },
         XR_BAD_CONTAINER_NAME, false},
        {"open empty", [&] { return X_OpenContainer(device(), "", &out); }, XR_NAME_LENGTH, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearTrace();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(!sentCommands().empty(), c.sends);
    }

    clearTrace();
    ASSERT_NE(createContainer(name120), nullptr);
    // Identifier kept, in use, length 0x78, the name, FF to the end.
    const std::string record = "ADF10178" + hexOf(bytesOf(name120)) + "FFFFFFFF";
    EXPECT_EQ(sentStartingWith("00DC"), std::vector<std::string>{"00DC010480" + record});
}

TEST_F(ContainersTest, TheDirectoryHoldsFourNamedContainers) {
    verifyUser();
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        clearTrace();
        ContainerHandle* c = createContainer("box" + std::to_string(n));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->bytes().raw,
                  (std::array<uint8_t, 7>{0xAD, static_cast<uint8_t>(0xF0 + n), 0, 0, 0, 0, 0}));
        // The new container's flag bytes start cleared.
        const std::string offset4 = hexOf({static_cast<uint8_t>(4 * (n - 1))});
        const std::string offset1 = hexOf({static_cast<uint8_t>(n - 1)});
        EXPECT_EQ(sentStartingWith("00D6"),
                  (std::vector<std::string>{"00D600" + offset4 + "0400000000",
                                            "00D600" + offset1 + "0100"}));
    }
    clearTrace();
    EXPECT_EQ(createContainer("box2", XR_CONTAINER_EXISTS), nullptr);
    EXPECT_EQ(createContainer("box5", XR_NO_CONTAINER_SLOT), nullptr);
    EXPECT_TRUE(sentStartingWith("00DC").empty()) << "nothing written when refused";
}

TEST_F(ContainersTest, OnlyCreatedContainersAreDestroyedAndTheirHandlesDie) {
    ContainerHandle* opened = openContainer(containerName('1'));
    verifyUser();
    ContainerHandle* made = createContainer("temporary");
    ASSERT_NE(made, nullptr);

    clearTrace();
    EXPECT_EQ(X_DestroyContainer(device(), opened), XR_BAD_CONTAINER);
    EXPECT_EQ(X_DestroyContainer(device(), nullptr), XR_BAD_HANDLE);
    EXPECT_TRUE(sentCommands().empty());

    ASSERT_EQ(X_DestroyContainer(device(), made), 0);
    forget(made);
    EXPECT_EQ(sentStartingWith("00DC"),
              std::vector<std::string>{"00DC010480ADF10000" + std::string(2 * 124, 'F')});
    EXPECT_EQ(sentStartingWith("00D6"),
              (std::vector<std::string>{"00D600000400000000", "00D600000100"}));

    // The destroyed handle is refused everywhere; its slot is free again.
    uint32_t word = 0;
    EXPECT_EQ(X_GetContainerInfo(device(), made, &word), XR_BAD_CONTAINER);
    EXPECT_EQ(X_DestroyContainer(device(), made), XR_BAD_CONTAINER);
    EXPECT_EQ(X_CloseContainer(device(), made), XR_BAD_CONTAINER);
    ContainerHandle* again = createContainer("temporary");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->bytes().raw[1], 0xF1);

    ASSERT_EQ(X_ClearSecureState(device()), 0);
    EXPECT_EQ(X_DestroyContainer(device(), again), XR_NOT_VERIFIED);
}

TEST_F(ContainersTest, PointersThatAreNoLiveHandleAreRefused) {
    ContainerHandle foreign{tokenapi::ContainerBytes{}};  // never handed out
    uint32_t word = 0;
    uint8_t root = 0;
    const Bytes cert = certificate(10, 1);
    uint8_t buffer[2048];
    uint32_t length = 0;
    struct Case {
        const char* name;
        std::function<int32_t(ContainerHandle*)> call;
    };
    const Case cases[] = {
        {"info", [&](ContainerHandle* c) { return X_GetContainerInfo(device(), c, &word); }},
        {"info ex",
         [&](ContainerHandle* c) { return X_GetContainerInfoEx(device(), c, &word, &root); }},
        {"import",
         [&](ContainerHandle* c) { return X_ImportUserCert(device(), c, 1, cert.data(), 10); }},
        {"export",
         [&](ContainerHandle* c) { return X_ExportUserCert(device(), c, 1, buffer, &length); }},
        {"import root",
         [&](ContainerHandle* c) { return X_ImportRootCert(device(), c, cert.data(), 10); }},
        {"export root",
         [&](ContainerHandle* c) { return X_ExportRootCert(device(), c, buffer, &length); }},
        {"delete", [&](ContainerHandle* c) { return X_DeletetUserCert(device(), c, 3); }},
        {"close", [&](ContainerHandle* c) { return X_CloseContainer(device(), c); }},
    };
    verifyUser();
    clearTrace();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(&foreign), XR_BAD_CONTAINER);
        EXPECT_EQ(c.call(nullptr), XR_BAD_HANDLE);
    }
    EXPECT_TRUE(sentCommands().empty());
}

// Closing a container and reading its information need no token. After the card was pulled,
// a client still closes its containers; a close refused there would keep the handle alive and
// keep every later verification in this process on the pulled container's directory.
TEST_F(ContainersTest, ContainersCloseAndAnswerAfterTheDeviceWasLost) {
    ContainerHandle* second = openContainer(containerName('2'));
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(token().control("drop-after 0084"), "ok");
    uint8_t random[8];
    ASSERT_EQ(X_GenRandom(device(), random, 8), XR_DEVICE_LOST);
    testbed::Bed& bed = testbed::sharedBed();
    ASSERT_TRUE(bed.waitForCard(token().readerName(), false));

    uint32_t word = 0xDEADBEEF;
    uint8_t root = 0xEE;
    EXPECT_EQ(X_GetContainerInfo(device(), second, &word), 0);
    EXPECT_EQ(X_GetContainerInfoEx(device(), second, &word, &root), 0);
    EXPECT_EQ(root, 0);
    EXPECT_EQ(X_CloseContainer(device(), second), 0);
    forget(second);
    EXPECT_EQ(X_GetContainerInfo(device(), second, &word), XR_BAD_CONTAINER)
        << "the close freed the handle";

    ASSERT_EQ(token().control("reinsert"), "ok");
    ASSERT_TRUE(bed.waitForCard(token().readerName(), true));
    uint32_t count = 0;
    ASSERT_EQ(X_EnumDEV(0, &count), 0);
    DeviceHandle* again = nullptr;
    ASSERT_EQ(X_ConnectDEV(&again, 0), 0);
    clearTrace();
    EXPECT_EQ(X_VerifyPIN(again, XPIN_USER, bytesOf(kUserPin).data(), 6, nullptr), 0);
    EXPECT_EQ(sentStartingWith("00A4").back(), selectOf("DDF1")) << "no container is open any more";
    X_DisConnectDEV(again);
}

// Faults of the arguments are told before the device and the verified user are looked at.
TEST_F(ContainersTest, ArgumentFaultsComeBeforeDeviceAndVerification) {
    ContainerHandle* first = openContainer(containerName('1'));
    ASSERT_EQ(X_ClearSecureState(device()), 0);
    const Bytes longCert = certificate(2049, 4);
    uint8_t buffer[2048];
    struct Case {
        const char* name;
        std::function<int32_t()> call;
        int32_t result;
    };
    const Case cases[] = {
        {"destroy a null container, user not verified",
         [&] { return X_DestroyContainer(device(), nullptr); }, XR_BAD_HANDLE},
        {"import 2,049 bytes, null device",
         [&] { return X_ImportUserCert(nullptr, first, 1, longCert.data(), 2049); },
         XR_CERT_TOO_LONG},
        {"import root 2,049 bytes, null device",
         [&] { return X_ImportRootCert(nullptr, first, longCert.data(), 2049); }, XR_CERT_TOO_LONG},
        {"import 2,049 bytes, user not verified",
         [&] { return X_ImportUserCert(device(), first, 2, longCert.data(), 2049); },
         XR_CERT_TOO_LONG},
        {"import without certificate, null device",
         [&] { return X_ImportUserCert(nullptr, first, 1, nullptr, 10); }, XR_BAD_PARAMETER},
        {"export without length output, null device",
         [&] { return X_ExportUserCert(nullptr, first, 1, buffer, nullptr); }, XR_BAD_PARAMETER},
        {"create with a 121-byte name, user not verified",
         [&] {
             ContainerHandle* c = nullptr;
             return X_CreateContainer(device(), std::string(121, 'c').c_str(), &c);
         },
         XR_NAME_LENGTH},
    };
    clearTrace();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.result);
    }
    EXPECT_TRUE(sentCommands().empty());
}

TEST_F(ContainersTest, CertificateTypesOutsideTheirSetAreRefused) {
    ContainerHandle* first = openContainer(containerName('1'));
    verifyUser();
    const Bytes cert = certificate(10, 2);
    uint8_t buffer[2048];
    uint32_t length = 0;
    clearTrace();
    for (uint32_t type : {0u, 4u, 0x101u}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(X_ImportUserCert(device(), first, type, cert.data(), 10), XR_UNSUPPORTED);
        EXPECT_EQ(X_ExportUserCert(device(), first, type, buffer, &length), XR_UNSUPPORTED);
    }
    EXPECT_EQ(X_ImportUserCert(device(), first, 1, cert.data(), 0), XR_BAD_PARAMETER);
    EXPECT_EQ(X_ImportUserCert(device(), first, 1, nullptr, 10), XR_BAD_PARAMETER);
    EXPECT_TRUE(sentCommands().empty());
}

// Type 3 of the user-certificate calls is the root certificate, as in the import they share
// with the root-certificate calls.
TEST_F(ContainersTest, Type3OfTheUserCertificateCallsIsTheRootCertificate) {
    ContainerHandle* first = openContainer(containerName('1'));
    verifyUser();
    const Bytes root = certificate(300, 7);
    clearTrace();
    ASSERT_EQ(X_ImportUserCert(device(), first, 3, root.data(), 300), 0);
    EXPECT_EQ(sentStartingWith("00A4000002001C").size(), 1u) << "the root certificate's file";
    EXPECT_EQ(sentStartingWith("00D600000110"), std::vector<std::string>{"00D600000110"})
        << "its flag in 001B";
    uint8_t flag = 0;
    uint32_t word = 0;
    ASSERT_EQ(X_GetContainerInfoEx(device(), first, &word, &flag), 0);
    EXPECT_EQ(flag, 0x10);
    EXPECT_EQ(exportCert(first, 3), std::make_pair(0, root));
    Bytes buffer(2048, 0xEE);
    uint32_t length = 0;
    ASSERT_EQ(X_ExportUserCert(device(), first, 3, buffer.data(), &length), 0);
    buffer.resize(length);
    EXPECT_EQ(buffer, root);
}

TEST_F(ContainersTest, InformationWordComesFromTheHandleAlone) {
    struct Case {
        std::array<uint8_t, 7> bytes;
        uint32_t word;
    };
    const Case cases[] = {
        {{0xDD, 0xF2, 0x10, 0x01, 0x00, 0x00, 0x00}, 0x101},
        {{0xDD, 0xF1, 0x00, 0x00, 0x10, 0x10, 0x00}, 0x01010000},
        {{0xAD, 0xF3, 0x10, 0x10, 0x10, 0x01, 0x10}, 0x01010101},
        // Certificate flags count only as 0x10; any non-zero key flag counts.
        {{0xAD, 0xF1, 0x01, 0x00, 0x11, 0x00, 0x00}, 0x0},
        {{0xAD, 0xF1, 0x00, 0x02, 0x00, 0x80, 0x00}, 0x00010001},
    };
    for (const Case& c : cases) {
        ContainerHandle* handle = tokenapi::newContainer(tokenapi::ContainerBytes{c.bytes});
        uint32_t word = 0xDEADBEEF;
        uint8_t root = 0xEE;
        EXPECT_EQ(X_GetContainerInfoEx(device(), handle, &word, &root), 0);
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(root, c.bytes[6]);
        EXPECT_EQ(info(handle), c.word);
        tokenapi::containerHandles().retire(handle);
    }
    EXPECT_TRUE(sentCommands().empty());
}

TEST_F(ContainersTest, OpeningReportsTheDirectoryKeyPairAndCertificate) {
    // The token keeps a security state per directory: verify in DDF2 to write there.
    ASSERT_EQ(X_VerifyPIN(device(), XPIN_USER_DDF2, bytesOf(kUserPin).data(), 6, nullptr), 0);
    // Container 2's directory: a key pair and a certificate.
    ASSERT_EQ(transmit(selectOf("3F00")).first, 0x9000);
    ASSERT_EQ(transmit(selectOf("DDF2")).first, 0x9000);
    ASSERT_EQ(transmit(selectOf("EF07")).first, 0x9000);
    ASSERT_EQ(transmit("00D60001"
                       "0101")
                  .first,
              0x9000);
    storeLength("DDF2", "0003", 700);

    clearTrace();
    ContainerHandle* second = openContainer(containerName('2'));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bytes().raw,
              (std::array<uint8_t, 7>{0xDD, 0xF2, 0x10, 0x10, 0x00, 0x00, 0x00}));
    EXPECT_EQ(info(second), kKey1 | kCert1);
    EXPECT_EQ(sentCommands(),
              (std::vector<std::string>{selectOf("3F00"), selectOf("DDF2"), "00B0870101",
                                        selectOf("0003"), "00B0000002"}));

    ContainerHandle* first = openContainer(containerName('1'));
    EXPECT_EQ(first->bytes().raw, (std::array<uint8_t, 7>{0xDD, 0xF1, 0, 0, 0, 0, 0}));
}

TEST_F(ContainersTest, OnlyAStoredLengthFromOneTo2048CountsAsACertificate) {
    verifyUser();
    struct Case {
        uint16_t stored;
        bool present;
    };
    const Case cases[] = {{0, false}, {1, true}, {2048, true}, {2049, false}, {0xFFFF, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        storeLength("DDF1", "0003", c.stored);
        ContainerHandle* first = openContainer(containerName('1'));
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(info(first), c.present ? kCert2 : 0u);
        if (!c.present) {
            EXPECT_EQ(exportCert(first, 2).first, XR_NOT_FOUND);
        }
        close(first);
    }
}

TEST_F(ContainersTest, CertificatesUpTo2048BytesGoInPieces) {
    ContainerHandle* first = openContainer(containerName('1'));
    verifyUser();
    const Bytes cert = certificate(2048, 5);
    clearTrace();
    ASSERT_EQ(importCert(first, 2, cert), 0);
    const auto writes = sentStartingWith("00D6");
    ASSERT_EQ(writes.size(), 1u + 16u + 1u);
    EXPECT_EQ(writes[0], "00D60000020800");
    for (size_t i = 0; i < 16; ++i) {
        const auto offset = static_cast<uint16_t>(2 + 128 * i);
        EXPECT_EQ(writes[1 + i].substr(0, 10),
                  "00D6" +
                      hexOf({static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset)}) +
                      "80");
    }
    EXPECT_EQ(exportCert(first, 2), std::make_pair(0, cert));

    clearTrace();
    const Bytes tooLong = certificate(2049, 6);
    EXPECT_EQ(importCert(first, 2, tooLong), XR_CERT_TOO_LONG);
    EXPECT_EQ(importCert(first, 3, tooLong), XR_CERT_TOO_LONG);
    EXPECT_TRUE(sentCommands().empty());

    // A stored length the token should never hold ends the export without touching the buffer.
    storeLength("DDF1", "0003", 2049);
    EXPECT_EQ(exportCert(first, 2).first, -1);
    uint32_t length = 0xDEAD;
    EXPECT_EQ(X_ExportUserCert(device(), first, 2, nullptr, &length), -1);
}

TEST_F(ContainersTest, EachOpenedContainerGivesBackItsCertificatesByteForByte) {
    struct Case {
        char container;
        uint32_t type;
        const char* file;       // the certificate file of that slot
        const char* flagWrite;  // the update of 001A or 001B
        bool reportedByOpen;    // the slot the directory certificate 0003 stands for
    };
    const Case cases[] = {
        {'1', 1, "0002", "00D600000400001000", false},
        {'1', 2, "0003", "00D600000410001000", true},  // next to type 1's flag
        {'1', 3, "001C", "00D600000110", false},
        {'2', 1, "0003", "00D600040400001000", true},
        {'2', 2, "0009", "00D600040410001000", false},
        {'2', 3, "001D", "00D600010110", false},
    };
    verifyUser();
    std::vector<Bytes> imported;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(1, c.container) + " type " + std::to_string(c.type));
        ContainerHandle* handle = openContainer(containerName(c.container));
        verifyUser();
        imported.push_back(certificate(300 + 100 * i, static_cast<uint8_t>(i)));
        clearTrace();
        ASSERT_EQ(importCert(handle, c.type, imported.back()), 0);
        const std::string directory = c.container == '1' ? "DDF1" : "DDF2";
        const auto sent = sentCommands();
        ASSERT_GE(sent.size(), 3u);
        EXPECT_EQ(sent[1], selectOf(directory.c_str()));
        EXPECT_EQ(sent[2], selectOf(c.file));
        EXPECT_EQ(sentStartingWith("00D6").back(), c.flagWrite);
        EXPECT_EQ(exportCert(handle, c.type), std::make_pair(0, imported.back()));
        close(handle);
    }
    // After a reopen every slot still gives back what went in; the open reports its slot.
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(1, c.container) + " type " + std::to_string(c.type));
        ContainerHandle* handle = openContainer(containerName(c.container));
        const uint32_t slotBit = c.type == 1 ? kCert1 : kCert2;
        if (c.type != 3) {
            EXPECT_EQ((info(handle) & slotBit) != 0, c.reportedByOpen);
        }
        if (c.reportedByOpen) {
            EXPECT_EQ(exportCert(handle, c.type), std::make_pair(0, imported[i]));
        }
        close(handle);
    }
}

TEST_F(ContainersTest, DeletedCertificatesStayGoneAfterAReopen) {
    struct Case {
        char container;
        uint32_t type;
        const char* flagWrite;
        const char* file;
    };
    const Case cases[] = {
        {'1', 2, "00D600000400000000", "0003"},
        {'2', 1, "00D600040400000000", "0003"},
        {'2', 7, "00D600010100", "001D"},  // any other type is the root certificate
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.container) + " type " + std::to_string(c.type));
        reprovision({});
        ContainerHandle* handle = openContainer(containerName(c.container));
        verifyUser();
        const uint32_t importType = c.type == 7 ? 3 : c.type;
        ASSERT_EQ(importCert(handle, importType, certificate(500, 9)), 0);

        clearTrace();
        ASSERT_EQ(X_DeletetUserCert(device(), handle, c.type), 0);
        const auto writes = sentStartingWith("00D6");
        ASSERT_EQ(writes.size(), 2u);
        EXPECT_EQ(writes[0], c.flagWrite);
        EXPECT_EQ(writes[1], "00D60000020000");
        EXPECT_EQ(sentStartingWith(selectOf(c.file)).size(), 1u);
        EXPECT_EQ(exportCert(handle, importType).first, XR_NOT_FOUND);
        uint32_t word = 0;
        uint8_t root = 0xEE;
        ASSERT_EQ(X_GetContainerInfoEx(device(), handle, &word, &root), 0);
        EXPECT_EQ(word, 0u);
        EXPECT_EQ(root, 0u);

        // Deleting an absent user certificate sends nothing.
        clearTrace();
        if (c.type != 7) {
            EXPECT_EQ(X_DeletetUserCert(device(), handle, c.type), 0);
            EXPECT_TRUE(sentCommands().empty());
        }
        close(handle);

        ContainerHandle* again = openContainer(containerName(c.container));
        EXPECT_EQ(info(again), 0u);
        EXPECT_EQ(exportCert(again, importType).first, XR_NOT_FOUND);
    }
}

TEST_F(ContainersTest, NamedContainersAreFoundAgainByALaterRun) {
    verifyUser();
    ASSERT_NE(createContainer("first"), nullptr);
    ContainerHandle* made = createContainer("second");
    ASSERT_NE(made, nullptr);
    const Bytes cert = certificate(400, 11);
    const Bytes root = certificate(200, 12);
    ASSERT_EQ(importCert(made, 1, cert), 0);
    ASSERT_EQ(importCert(made, 3, root), 0);
    close(made);

    std::string names(4 * 121, 'x');
    uint32_t length = 0;
    ASSERT_EQ(X_EnumNamedContainers(device(), nullptr, &length), 0);
    EXPECT_EQ(length, 13u);
    ASSERT_EQ(X_EnumNamedContainers(device(), names.data(), &length), 0);
    EXPECT_EQ(names.substr(0, length), std::string("first") + '\0' + "second" + '\0');

    ContainerHandle* found = nullptr;
    ASSERT_EQ(X_OpenNamedContainer(device(), "second", &found), 0);
    EXPECT_EQ(found->bytes().raw,
              (std::array<uint8_t, 7>{0xAD, 0xF2, 0x10, 0x00, 0x00, 0x00, 0x10}));
    EXPECT_EQ(exportCert(found, 1), std::make_pair(0, cert));
    EXPECT_EQ(exportCert(found, 3), std::make_pair(0, root));
    ASSERT_EQ(X_DestroyContainer(device(), found), 0);

    ContainerHandle* none = nullptr;
    EXPECT_EQ(X_OpenNamedContainer(device(), "second", &none), XR_NOT_FOUND);
    EXPECT_EQ(X_OpenNamedContainer(device(), "secon", &none), XR_NOT_FOUND);
    EXPECT_EQ(X_OpenNamedContainer(device(), std::string(121, 'n').c_str(), &none), XR_NAME_LENGTH);
    EXPECT_EQ(none, nullptr);
    ASSERT_EQ(X_EnumNamedContainers(device(), names.data(), &length), 0);
    EXPECT_EQ(names.substr(0, length), std::string("first") + '\0');
}

TEST_F(ContainersTest, ChangesNeedAVerifiedUser) {
    ContainerHandle* first = openContainer(containerName('1'));
    const Bytes cert = certificate(20, 3);
    clearTrace();
    EXPECT_EQ(createContainer("nobody", XR_NOT_VERIFIED), nullptr);
    EXPECT_EQ(importCert(first, 2, cert), XR_NOT_VERIFIED);
    EXPECT_EQ(importCert(first, 3, cert), XR_NOT_VERIFIED);
    EXPECT_EQ(X_DeletetUserCert(device(), first, 3), XR_NOT_VERIFIED);
    EXPECT_TRUE(sentCommands().empty());
    // Reading needs nothing.
    uint32_t length = 0xDEAD;
    EXPECT_EQ(X_ExportUserCert(device(), first, 2, nullptr, &length), XR_NOT_FOUND);
}

}  // namespace
}  // namespace wire
