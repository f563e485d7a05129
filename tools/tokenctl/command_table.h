// tokenctl's commands: each family of commands lives in a file of its own and registers its
// entries here, so that main() only dispatches.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tokenctl {

// Exit codes: what a script needs to tell apart.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the token or the library refused
inline constexpr int kExitUsage = 2;   // the command line was wrong

using Args = std::span<const std::string>;

struct Command {
    std::string_view name;       // e.g. "list" or "pin verify"
    std::string_view arguments;  // usage after the name, e.g. "N TEXT"
    std::string_view summary;
    int (*run)(Args args);  // args after the name
};

const std::vector<Command>& commands();

struct Registration {
    explicit Registration(Command command);
};

}  // namespace tokenctl
