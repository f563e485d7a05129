// pin verify, pin change, pin unblock.
#include <iostream>

#include "command_table.h"
#include "pin_input.h"
#include "token_session.h"

namespace tokenctl {
namespace {

// "--admin" after the token number picks the administrator PIN.
struct PinTarget {
    bool admin = false;
    bool valid = true;
};
PinTarget pinTarget(Args args) {
    if (args.size() == 1) return {};
    if (args.size() == 2 && args[1] == "--admin") return {true, true};
    return {false, false};
}

int verify(Args args) {
    const PinTarget target = pinTarget(args);
    if (args.empty() || !target.valid) return usage("usage: tokenctl pin verify N [--admin]");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    auto pin = target.admin ? askPin(kAdminPinVariable, "Administrator PIN: ")
                            : askPin(kPinVariable, "User PIN: ");
    if (!pin) return kExitUsage;
    uint32_t tries = 0;
    const int32_t r = X_VerifyPIN(token.device(), target.admin ? XPIN_ADMIN : XPIN_USER,
                                  pin->data(), pin->size(), &tries);
    if (r != 0) return failPin("verification failed", r, tries);
    std::cout << (target.admin ? "administrator" : "user") << " PIN verified\n";
    return kExitOk;
}

int change(Args args) {
    const PinTarget target = pinTarget(args);
    if (args.empty() || !target.valid) return usage("usage: tokenctl pin change N [--admin]");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    auto current = target.admin ? askPin(kAdminPinVariable, "Current administrator PIN: ")
                                : askPin(kPinVariable, "Current user PIN: ");
    if (!current) return kExitUsage;
    auto next = askNewPin(kNewPinVariable, "New PIN: ");
    if (!next) return kExitUsage;
    uint32_t tries = 0;
    const int32_t r =
        X_ChangePIN(token.device(), target.admin ? XPIN_ADMIN : XPIN_USER, current->data(),
                    current->size(), next->data(), next->size(), &tries);
    if (r == XR_BAD_PARAMETER) {
        std::cerr << "tokenctl: a new PIN has 1 to 16 characters, each below 0x80 (plain ASCII)\n";
        return kExitFailed;
    }
    if (r != 0) return failPin("cannot change the PIN", r, tries);
    std::cout << (target.admin ? "administrator" : "user") << " PIN changed\n";
    return kExitOk;
}

int unblock(Args args) {
    if (args.size() != 1) return usage("usage: tokenctl pin unblock N");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    auto admin = askPin(kAdminPinVariable, "Administrator PIN: ");
    if (!admin) return kExitUsage;
    auto next = askNewPin(kNewPinVariable, "New user PIN: ");
    if (!next) return kExitUsage;
    uint32_t tries = 0;
    const int32_t r = X_UnblockPIN(token.device(), admin->data(), admin->size(), next->data(),
                                   next->size(), &tries);
    if (r == XR_BAD_PARAMETER) {
        std::cerr << "tokenctl: a new PIN has 1 to 16 characters, each below 0x80 (plain ASCII)\n";
        return kExitFailed;
    }
    if (r != 0) return failPin("cannot unblock the user PIN", r, tries);
    std::cout << "user PIN unblocked and set\n";
    return kExitOk;
}

const Registration kVerify{{"pin verify", "N [--admin]",
                            "verify the user (or administrator) PIN; PIN from TOKEN_PIN "
                            "(TOKEN_ADMIN_PIN) or the terminal",
                            verify}};
const Registration kChange{{"pin change", "N [--admin]",
                            "change the user (or administrator) PIN; new PIN from "
                            "TOKEN_NEW_PIN or the terminal",
                            change}};
const Registration kUnblock{
    {"pin unblock", "N", "set a new user PIN with the administrator PIN", unblock}};

}  // namespace
}  // namespace tokenctl
