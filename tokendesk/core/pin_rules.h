// The PIN dialogs' checks and the messages of the PIN commands' results.
#ifndef TOKENDESK_PIN_RULES_H
#define TOKENDESK_PIN_RULES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "selection_guard.h"

namespace tokendesk {

// The most characters a PIN field takes (the token's PINs have at most 16 bytes).
inline constexpr std::size_t kPinFieldLimit = 16;

// The verify dialog's OK: a message that keeps the dialog open, or none.
std::optional<Notice> checkVerifyInput(std::string_view pin);

// The change dialog's OK, checked in this order: current PIN empty, new PIN and confirmation
// differ, new PIN empty.
std::optional<Notice> checkChangeInput(std::string_view current, std::string_view newPin,
                                       std::string_view confirmation);

// The message of a result of X_VerifyPIN or X_ChangePIN. `text` receives the formatted text
// (the tries left in place of the placeholder); the notice points into it.
enum class PinCommand { Verify, Change };
Notice pinResultNotice(PinCommand command, std::uint32_t result, std::uint32_t retries,
                       std::string& text);

}  // namespace tokendesk

#endif
