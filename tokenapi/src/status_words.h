// Status words: the ones the library itself tests for, and the tables that turn the token's
// refusals into library codes, one per family of commands. Every status word that a family's
// table does not name is passed to the caller unchanged.
#pragma once

#include <cstdint>
#include <span>

#include "tokenapi.h"

namespace tokenapi {

inline constexpr int32_t kSwOk = 0x9000;
inline constexpr int32_t kSwSecurityNotSatisfied = 0x6982;
inline constexpr int32_t kSwPinBlocked = 0x6983;
inline constexpr int32_t kSwFileNotFound = 0x6A82;
inline constexpr int32_t kSwOffsetBeyondEnd = 0x6B00;
inline constexpr int32_t kSwInsNotSupported = 0x6D00;

// True for a 16-bit result, the form in which a transport passes up the status bytes the
// token answered with.
constexpr bool isStatusWord(int32_t result) {
    return result >= 0 && result <= 0xFFFF;
}

// One row: the status words w with (w & mask) == statusWord become `result`.
struct StatusRule {
    int32_t statusWord;
    int32_t mask;
    int32_t result;
};

class StatusTable {
  public:
    constexpr explicit StatusTable(std::span<const StatusRule> rules) : rules_(rules) {}
    // The library code for a status word of this family, or the result unchanged.
    int32_t map(int32_t result) const {
        if (!isStatusWord(result)) return result;
        for (const StatusRule& rule : rules_) {
            if ((result & rule.mask) == rule.statusWord) return rule.result;
        }
        return result;
    }

  private:
    std::span<const StatusRule> rules_;
};

namespace status {

inline constexpr StatusRule kPinProofRules[] = {
    {0x63C0, 0xFFF0, XR_PIN_INCORRECT},  // wrong PIN, x tries left
    {kSwPinBlocked, 0xFFFF, XR_PIN_BLOCKED},
};
inline constexpr StatusRule kRightsRules[] = {
    {kSwSecurityNotSatisfied, 0xFFFF, XR_NOT_VERIFIED},
};

// EXTERNAL AUTHENTICATE of a PIN proof: a wrong PIN (63Cx) and a blocked one (6983) become the
// two codes the PIN dialogs explain.
inline constexpr StatusTable kPinProof{kPinProofRules};
// WRITE KEY of a PIN and the counter file of older tokens: a refusal for lack of rights reads
// as "no verified PIN".
inline constexpr StatusTable kPinWrite{kRightsRules};
// Creating, reading and writing named files: the same.
inline constexpr StatusTable kFileAccess{kRightsRules};
inline constexpr StatusRule kCipherKeyLoadRules[] = {
    {0x6A81, 0xFFFF, XR_BAD_ALGORITHM},  // the token has no such algorithm
};
inline constexpr StatusRule kCipherDataRules[] = {
    {0x6901, 0xFFFF, XR_KEY_UNAVAILABLE},  // no key in the key register
};

// Loading a cipher key into the token's key register.
inline constexpr StatusTable kCipherKeyLoad{kCipherKeyLoadRules};
// Data through the token's cipher.
inline constexpr StatusTable kCipherData{kCipherDataRules};
// Device management, random numbers, containers and certificates: every status word as the
// token gave it.
inline constexpr StatusTable kPassThrough{std::span<const StatusRule>{}};

}  // namespace status
}  // namespace tokenapi
