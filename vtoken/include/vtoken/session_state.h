#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "vtoken/bytes.h"
#include "vtoken/file_system.h"
#include "vtoken/pin_crypto.h"
#include "vtoken/registers.h"
#include "vtoken/token_state.h"

namespace vtoken {

struct Verified {
    bool user = false;
    bool admin = false;
};

// What the token forgets at power off and reset.
struct SessionState {
    std::size_t currentDf = FileSystem::kRoot;
    std::optional<std::size_t> currentEf;
    // The application directory (DDF1/DDF2) that was current last; its PINs are the ones
    // that EXTERNAL AUTHENTICATE checks and its verified bits guard the MF's files.
    std::uint16_t currentApplication = kFirstApplication;
    std::map<std::uint16_t, Verified> verified;  // per application directory
    std::optional<Challenge> challenge;
    SecretBytes pendingResponse;  // what GET RESPONSE hands out
    // The pending bytes carry secrets (the command that left them declared its reply secret).
    bool pendingSecret = false;
    Registers registers;

    Verified& applicationState() { return verified[currentApplication]; }
};

}  // namespace vtoken
