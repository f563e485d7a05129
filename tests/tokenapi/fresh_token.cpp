#include "fresh_token.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "child_process.h"
#include "environment.h"

namespace wire {
namespace {

using namespace std::chrono_literals;

// Whether the token still holds the state the bed provisioned it with.
bool g_tokenUntouched = true;

std::string lastLines(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes hexBytes(std::string_view hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

std::string hexOf(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

testbed::VirtualToken& FreshToken::token() {
    return testbed::sharedBed().token(0);
}

void FreshToken::SetUp() {
    // The bed first: pcsc-lite keeps the daemon socket of its first call.
    testbed::sharedBed();
    if (g_tokenUntouched) {
        g_tokenUntouched = false;
        connect();
    } else {
        reprovision({});
    }
}

void FreshToken::TearDown() {
    for (ContainerHandle* c : containers_) X_CloseContainer(device_, c);
    containers_.clear();
    if (device_ != nullptr) X_DisConnectDEV(device_);
    device_ = nullptr;
}

void FreshToken::connect() {
    uint32_t count = 0;
    X_EnumDEV(0, &count);
    ASSERT_EQ(count, 1u) << "the bed has one token";
    ASSERT_EQ(X_ConnectDEV(&device_, 0), 0);
    clearTrace();
}

void FreshToken::reprovision(const Provisioning& options) {
    g_tokenUntouched = false;
    for (ContainerHandle* c : containers_) X_CloseContainer(device_, c);
    containers_.clear();
    if (device_ != nullptr) X_DisConnectDEV(device_);
    device_ = nullptr;

    testbed::Bed& bed = testbed::sharedBed();
    testbed::VirtualToken& t = token();
    t.stop();
    // pcscd must see the card go, or it keeps talking to the new one as the old powered card.
    ASSERT_TRUE(bed.waitForCard(t.readerName(), false, 5000ms));
    std::filesystem::remove(t.statePath());

    testbed::SpawnOptions init;
    init.argv = {VTOKEN_PROGRAM, "init",          t.statePath(),
                 "--serial",     t.spec().serial, "--label",
                 t.spec().label, "--generation",  std::to_string(options.generation)};
    if (!options.pinCounterCommand) init.argv.push_back("--no-pin-counter-command");
    if (options.capacity != 0) {
        init.argv.push_back("--capacity");
        init.argv.push_back(std::to_string(options.capacity));
    }
    init.environment = {{"VTOKEN_USER_PIN", options.userPin},
                        {"VTOKEN_ADMIN_PIN", options.adminPin}};
    const auto log = t.statePath().parent_path() / "reprovision.log";
    init.logFile = log;
    testbed::ChildProcess process = testbed::ChildProcess::spawn(init);
    ASSERT_EQ(process.waitExit(20000ms), 0) << lastLines(log);

    t.showSecrets(options.showSecrets);
    t.start();
    ASSERT_TRUE(bed.waitForCard(t.readerName(), true, 10000ms));
    connect();
}

std::vector<std::string> FreshToken::sentCommands() {
    std::vector<std::string> out;
    for (const std::string& line : token().traceLines()) {
        if (line.starts_with("> ")) out.push_back(line.substr(2));
    }
    return out;
}

std::vector<std::string> FreshToken::replies() {
    std::vector<std::string> out;
    for (const std::string& line : token().traceLines()) {
        if (line.starts_with("< ")) out.push_back(line.substr(2));
    }
    return out;
}

void FreshToken::clearTrace() {
    token().clearTrace();
}

std::vector<std::string> FreshToken::sentStartingWith(std::string_view prefix) {
    std::vector<std::string> out;
    for (std::string& c : sentCommands()) {
        if (c.starts_with(prefix)) out.push_back(std::move(c));
    }
    return out;
}

std::pair<int32_t, Bytes> FreshToken::transmit(std::string_view hex) {
    const Bytes command = hexBytes(hex);
    Bytes reply(4096);
    uint32_t replyLength = static_cast<uint32_t>(reply.size());
    int32_t status = 0;
    const int32_t r = X_TransmitCmd(device_, command.data(), static_cast<uint32_t>(command.size()),
                                    reply.data(), &replyLength, &status);
    if (r != 0) throw std::runtime_error("X_TransmitCmd failed");
    reply.resize(replyLength);
    return {status, reply};
}

void FreshToken::verifyUser() {
    uint32_t retry = 0;
    ASSERT_EQ(X_VerifyPIN(device_, XPIN_USER, reinterpret_cast<const uint8_t*>(kUserPin),
                          sizeof kUserPin - 1, &retry),
              0);
}

ContainerHandle* FreshToken::openContainer(const std::string& name, int32_t expected) {
    ContainerHandle* c = nullptr;
    EXPECT_EQ(X_OpenContainer(device_, name.c_str(), &c), expected) << name;
    if (c != nullptr) containers_.push_back(c);
    return c;
}

ContainerHandle* FreshToken::createContainer(const std::string& name, int32_t expected) {
    ContainerHandle* c = nullptr;
    EXPECT_EQ(X_CreateContainer(device_, name.c_str(), &c), expected) << name;
    if (c != nullptr) containers_.push_back(c);
    return c;
}

void FreshToken::forget(ContainerHandle* container) {
    std::erase(containers_, container);
}

std::string FreshToken::containerName(char which) const {
    return testbed::sharedBed().token(0).spec().serial + which;
}

}  // namespace wire
