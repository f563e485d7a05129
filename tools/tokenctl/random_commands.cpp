// random: bytes from the token's generator.
#include <iostream>
#include <vector>

#include "command_table.h"
#include "hex_text.h"
#include "token_session.h"

namespace tokenctl {
namespace {

// More would only make a person wait: the token hands out 8 bytes per command.
constexpr uint32_t kMaxCount = 65536;

int random(Args args) {
    if (args.size() != 2) return usage("usage: tokenctl random N COUNT");
    const auto count = parseNumber(args[1]);
    if (!count || *count > kMaxCount) {
        return usage("COUNT is a number of bytes from 0 to " + std::to_string(kMaxCount));
    }
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    std::vector<uint8_t> bytes(*count);
    if (int32_t r = X_GenRandom(token.device(), bytes.data(), *count); r != 0) {
        return fail("cannot get random bytes", r);
    }
    std::cout << toHexUpper(bytes) << "\n";
    return kExitOk;
}

const Registration kRandom{
    {"random", "N COUNT", "print COUNT random bytes from token N in hexadecimal", random}};

}  // namespace
}  // namespace tokenctl
