// Secrets typed by a person at the terminal, read with echo off so that a PIN never shows on
// the screen or in the terminal's scroll-back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Writes the prompt to the terminal, reads one line with echo off and restores the terminal on
// every path (also when the read fails). The line comes without its end-of-line characters.
// Nothing when there is no terminal to ask (a script, a service) or the input ended first.
// The caller owns the secret and should wipe the string once it is used.
std::optional<std::string> readSecret(std::string_view prompt);

}  // namespace platform
