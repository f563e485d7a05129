#include "registration_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tokendesk {
namespace {

// One key with three containers: both certificates and key pairs, only a signature
// certificate, and nothing at all.
class RegistrationPlanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device_.id = 20000;
        device_.containers.resize(3);
        ContainerEntry& both = device_.containers[0];
        both.name = "both";
        applyContainerInfo(both, 0x01010101);
        both.encryptionCertificate = {0x30, 0x01, 0xE1};
        both.signatureCertificate = {0x30, 0x01, 0x51};
        ContainerEntry& signatureOnly = device_.containers[1];
        signatureOnly.name = "signature only";
        applyContainerInfo(signatureOnly, 0x01010000);
        signatureOnly.signatureCertificate = {0x30, 0x01, 0x52};
        device_.containers[2].name = "empty";
    }

    // "container/kind" for each planned certificate, in order.
    static std::vector<std::string> describe(const std::vector<CertificateRef>& refs) {
        std::vector<std::string> out;
        for (const CertificateRef& ref : refs) {
            out.push_back(ref.container->name + "/" +
                          (ref.keySpec == KeySpec::Exchange ? "exchange" : "signature") + "/" +
                          std::to_string(ref.der.back()));
        }
        return out;
    }

    DeviceEntry device_;
};

TEST_F(RegistrationPlanTest, RegistersWhatTheSelectedItemHolds) {
    struct Case {
        const char* name;
        ItemCode code;
        std::vector<std::string> certificates;
        const char* message;
        const char* caption;
    };
    const Case cases[] = {
        {"key: every certificate, container order, encryption first",
         20000,
         {"both/exchange/225", "both/signature/81", "signature only/signature/82"},
         "注册证书完成！",
         "提示"},
        {"first container",
         20010,
         {"both/exchange/225", "both/signature/81"},
         "注册证书完成！",
         "提示"},
        {"signature-only container",
         20020,
         {"signature only/signature/82"},
         "注册证书完成！",
         "提示"},
        {"container without certificates", 20030, {}, "注册证书完成！", "提示"},
        {"encryption certificate leaf", 20011, {"both/exchange/225"}, "注册证书完成！", "提示"},
        {"signature certificate leaf",
         20023,
         {"signature only/signature/82"},
         "注册证书完成！",
         "提示"},
        {"encryption key pair leaf", 20012, {}, "请选择需要注册的证书后重试操作！", "错误"},
        {"signature key pair leaf", 20014, {}, "请选择需要注册的证书后重试操作！", "错误"},
        {"container past the list", 20040, {}, "选定的容器无法访问，请尝试刷新！", "错误"},
        {"leaf of a container past the list",
         20043,
         {},
         "选定的容器无法访问，请尝试刷新！",
         "错误"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RegistrationPlan plan = planRegistration(device_, c.code);
        EXPECT_EQ(describe(plan.certificates), c.certificates);
        ASSERT_NE(plan.notice.text, nullptr);
        EXPECT_STREQ(plan.notice.text, c.message);
        EXPECT_STREQ(plan.notice.caption, c.caption);
    }
}

TEST_F(RegistrationPlanTest, ADepartingKeyTakesEveryFlaggedCertificate) {
    EXPECT_EQ(describe(deviceCertificates(device_)),
              (std::vector<std::string>{"both/exchange/225", "both/signature/81",
                                        "signature only/signature/82"}));
    // A certificate whose export failed had its flag cleared: it was never registered.
    device_.containers[0].hasSignatureCertificate = false;
    EXPECT_EQ(describe(deviceCertificates(device_)),
              (std::vector<std::string>{"both/exchange/225", "signature only/signature/82"}));
    EXPECT_TRUE(deviceCertificates(DeviceEntry{}).empty());
}

}  // namespace
}  // namespace tokendesk
