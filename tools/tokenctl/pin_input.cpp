#include "pin_input.h"

#include <cstdlib>
#include <iostream>

#include "command_table.h"
#include "platform/console.h"
#include "token_session.h"

namespace tokenctl {
namespace {

// A volatile write is one the optimiser must keep even right before the memory is freed.
void wipeString(std::string& s) {
    volatile char* p = s.data();
    for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
    s.clear();
}

std::optional<Pin> fromEnvironment(const char* variable) {
    const char* value = std::getenv(variable);
    if (value == nullptr) return std::nullopt;
    return Pin(value);
}

}  // namespace

Pin::~Pin() {
    wipe();
}

void Pin::wipe() {
    wipeString(text_);
}

std::optional<Pin> askPin(const char* variable, std::string_view prompt) {
    if (auto pin = fromEnvironment(variable)) return pin;
    platform::SecretText typed;
    switch (platform::readSecret(prompt, typed)) {
        case platform::SecretRead::Read:
            return Pin(typed.view());
        case platform::SecretRead::NoTerminal:
            std::cerr << "tokenctl: no terminal to ask for the PIN: set " << variable << "\n";
            return std::nullopt;
        case platform::SecretRead::TooLong:
            std::cerr << "tokenctl: the PIN typed is too long\n";
            return std::nullopt;
        case platform::SecretRead::Ended:
            break;
    }
    std::cerr << "tokenctl: the input ended before the PIN was complete\n";
    return std::nullopt;
}

std::optional<Pin> askNewPin(const char* variable, std::string_view prompt) {
    if (auto pin = fromEnvironment(variable)) return pin;
    auto first = askPin(variable, prompt);
    if (!first) return std::nullopt;
    auto again = askPin(variable, "Again: ");
    if (!again) return std::nullopt;
    if (!(*first == *again)) {
        std::cerr << "tokenctl: the two PINs differ\n";
        return std::nullopt;
    }
    return first;
}

int32_t ensureUserVerified(DeviceHandle* device) {
    uint8_t state = 0;
    uint32_t length = 0;
    if (X_GetDEVInfo(device, XINFO_SECURITY_STATE, &state, &length) == 0 && state == 1) return 0;
    auto pin = askPin(kPinVariable, "User PIN: ");
    if (!pin) return kNoPin;
    uint32_t tries = 0;
    const int32_t r = X_VerifyPIN(device, XPIN_USER, pin->data(), pin->size(), &tries);
    if (r != 0) failPin("the user PIN was refused", r, tries);
    return r;
}

int failPin(std::string_view what, int32_t result, uint32_t triesLeft) {
    if (result == XR_PIN_INCORRECT) {
        std::cerr << "tokenctl: " << what << ": wrong PIN, " << triesLeft
                  << (triesLeft == 1 ? " try" : " tries") << " left\n";
        return kExitFailed;
    }
    return fail(what, result);
}

}  // namespace tokenctl
