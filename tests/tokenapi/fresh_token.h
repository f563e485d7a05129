// Wire tests of the key API's PIN, random-number, file, container and certificate functions:
// every test talks to a virtual token through the real PC/SC stack of the test bed and checks
// the exact commands in the token's trace.
//
// Each test starts from a token in its provisioned state: the first test of a process uses the
// token the bed provisioned; any later one, or one that needs other provisioning options,
// gets a token provisioned afresh (the card is pulled, its state replaced, and it is put back).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bed.h"
#include "tokenapi.h"

namespace wire {

inline constexpr char kUserPin[] = "123456";
inline constexpr char kAdminPin[] = "12345678";

using Bytes = std::vector<uint8_t>;

struct Provisioning {
    int generation = 2;
    bool pinCounterCommand = true;
    int capacity = 0;  // 0: the token's default
    std::string userPin = kUserPin;
    std::string adminPin = kAdminPin;
    bool showSecrets = true;  // the trace shows secret bytes
};

Bytes bytesOf(std::string_view text);
Bytes hexBytes(std::string_view hex);
std::string hexOf(const Bytes& bytes);

class FreshToken : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the token by one provisioned with these options and connects to it again.
    void reprovision(const Provisioning& options);

    DeviceHandle* device() const { return device_; }
    testbed::VirtualToken& token();

    // The commands (upper-case hex, no spaces) and replies the token saw since the last
    // clearTrace(), in order.
    std::vector<std::string> sentCommands();
    std::vector<std::string> replies();
    void clearTrace();
    // Every traced command that starts with `prefix`.
    std::vector<std::string> sentStartingWith(std::string_view prefix);

    // Sends one raw command through the key API; returns the status word and the reply data.
    std::pair<int32_t, Bytes> transmit(std::string_view hex);

    // The user PIN verified, asserting success.
    void verifyUser();

    // Opens a container through the key API; closed at the end of the test (the PIN directory
    // override is process-wide and must not leak into the next test).
    ContainerHandle* openContainer(const std::string& name, int32_t expected = 0);
    ContainerHandle* createContainer(const std::string& name, int32_t expected = 0);
    // Forgets a container closed or destroyed by the test itself.
    void forget(ContainerHandle* container);

    // The container names X_EnumContainer gives, "<serial>1" and "<serial>2".
    std::string containerName(char which) const;

  private:
    void connect();

    DeviceHandle* device_ = nullptr;
    std::vector<ContainerHandle*> containers_;
};

}  // namespace wire
