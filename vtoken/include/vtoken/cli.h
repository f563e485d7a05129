#pragma once

#include <ostream>
#include <span>
#include <string_view>

namespace vtoken {

// The vtoken program: init, run and show. Returns the exit code; messages go to `err`.
int runCli(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

}  // namespace vtoken
