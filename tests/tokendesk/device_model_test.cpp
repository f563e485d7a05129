#include "device_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tokendesk {
namespace {

struct InfoCase {
    const char* name;
    std::uint32_t word;
    bool encKeyPair, encCert, sigKeyPair, sigCert;
};

class ContainerInfoWord : public ::testing::TestWithParam<InfoCase> {};

TEST_P(ContainerInfoWord, SetsTheFourFlagsByByte) {
    const InfoCase& c = GetParam();
    ContainerEntry container;
    container.hasSignatureCertificate = true;  // every flag is set anew
    applyContainerInfo(container, c.word);
    EXPECT_EQ(container.hasEncryptionKeyPair, c.encKeyPair);
    EXPECT_EQ(container.hasEncryptionCertificate, c.encCert);
    EXPECT_EQ(container.hasSignatureKeyPair, c.sigKeyPair);
    EXPECT_EQ(container.hasSignatureCertificate, c.sigCert);
}

INSTANTIATE_TEST_SUITE_P(
    Words, ContainerInfoWord,
    ::testing::Values(InfoCase{"Empty", 0x00000000, false, false, false, false},
                      InfoCase{"EncryptionKeyPair", 0x00000001, true, false, false, false},
                      InfoCase{"EncryptionCertificate", 0x00000100, false, true, false, false},
                      InfoCase{"SignatureKeyPair", 0x00010000, false, false, true, false},
                      InfoCase{"SignatureCertificate", 0x01000000, false, false, false, true},
                      InfoCase{"AnyNonZeroByte", 0x80FF0280, true, true, true, true},
                      InfoCase{"SignatureOnly", 0x01010000, false, false, true, true}),
    [](const auto& param) { return std::string(param.param.name); });

struct NamesCase {
    const char* name;
    std::string buffer;
    std::uint32_t length;
    std::vector<std::string> names;
};

class ContainerNames : public ::testing::TestWithParam<NamesCase> {};

TEST_P(ContainerNames, SplitsTheList) {
    const NamesCase& c = GetParam();
    EXPECT_EQ(splitContainerNames(c.buffer, c.length), c.names);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Lists, ContainerNames,
    ::testing::Values(NamesCase{"Empty", std::string(16, '\0'), 0, {}},
                      NamesCase{"One", "alpha\0\0\0"s, 6, {"alpha"}},
                      NamesCase{"Two", "alpha\0beta\0\0"s, 11, {"alpha", "beta"}},
                      NamesCase{"EmptyNameEnds", "alpha\0\0beta\0"s, 12, {"alpha"}},
                      NamesCase{"LengthEndsBeforeNextName", "alpha\0beta\0"s, 6, {"alpha"}},
                      NamesCase{"LengthCutsName", "alpha\0beta\0"s, 8, {"alpha", "be"}},
                      // A length beyond the buffer reads no further than the buffer.
                      NamesCase{"LengthPastBuffer", "alpha\0beta"s, 400, {"alpha", "beta"}},
                      NamesCase{"ChineseName", "\xC8\xDD\xC6\xF7\0"s, 5, {"\xC8\xDD\xC6\xF7"}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(DeviceLookup, FindsKeysAndContainersByCode) {
    std::vector<DeviceEntry> devices(2);
    devices[0].id = 10000;
    devices[0].serial = "1111111111";
    devices[1].id = 20000;
    devices[1].serial = "2222222222";
    devices[1].containers.resize(12);
    devices[1].containers[0].name = "first";
    devices[1].containers[11].name = "twelfth";

    EXPECT_EQ(findDevice(devices, 10000), &devices[0]);
    EXPECT_EQ(findDevice(devices, 20123), &devices[1]);
    EXPECT_EQ(findDevice(devices, 30000), nullptr);
    EXPECT_EQ(findDevice(devices, 0), nullptr);

    EXPECT_EQ(findContainer(devices[1], 20010), &devices[1].containers[0]);
    EXPECT_EQ(findContainer(devices[1], 20013), &devices[1].containers[0]);
    EXPECT_EQ(findContainer(devices[1], 20124), &devices[1].containers[11]);
    EXPECT_EQ(findContainer(devices[1], 20000), nullptr);  // the key itself
    EXPECT_EQ(findContainer(devices[1], 20130), nullptr);  // past the last container
    EXPECT_EQ(findContainer(devices[0], 20010), nullptr);  // another key's code

    EXPECT_TRUE(serialListed(devices, "2222222222"));
    // A serial that begins like a listed one is another key.
    EXPECT_FALSE(serialListed(devices, "22222"));
    EXPECT_FALSE(serialListed(devices, "22222222223"));
    EXPECT_FALSE(serialListed(devices, ""));
}

TEST(DeviceLookup, UnformattedLabelIsCodePage936) {
    EXPECT_EQ(unformattedLabel(), "\xCE\xB4\xB8\xF1\xCA\xBD\xBB\xAF\xC9\xE8\xB1\xB8");
    EXPECT_EQ(unformattedLabel().size(), 12u);
}

}  // namespace
}  // namespace tokendesk
