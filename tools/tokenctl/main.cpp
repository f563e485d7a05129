// tokenctl: the key API from the command line, for people and scripts.
#include <iostream>
#include <string>
#include <vector>

#include "command_table.h"

namespace {

void printHelp(std::ostream& os) {
    os << "usage: tokenctl COMMAND [ARGUMENTS]\n\nTokens are numbered from 0 as 'tokenctl list' "
          "shows them.\nPINs are read from the terminal, or from TOKEN_PIN, TOKEN_NEW_PIN and "
          "TOKEN_ADMIN_PIN.\n\ncommands:\n";
    for (const auto& c : tokenctl::commands()) {
        std::string line = "  " + std::string(c.name) + " " + std::string(c.arguments);
        if (line.size() < 40) line.resize(40, ' ');
        os << line << " " << c.summary << "\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        printHelp(args.empty() ? std::cerr : std::cout);
        return args.empty() ? tokenctl::kExitUsage : tokenctl::kExitOk;
    }
    // The longest registered name that the arguments start with wins: "pin verify" before "pin".
    const tokenctl::Command* best = nullptr;
    size_t bestWords = 0;
    for (const auto& c : tokenctl::commands()) {
        std::vector<std::string> words;
        std::string name(c.name);
        for (size_t pos = 0; pos <= name.size();) {
            size_t next = name.find(' ', pos);
            if (next == std::string::npos) next = name.size();
            words.push_back(name.substr(pos, next - pos));
            pos = next + 1;
        }
        if (words.size() > args.size() || words.size() <= bestWords) continue;
        bool match = true;
        for (size_t i = 0; i < words.size(); ++i) match = match && words[i] == args[i];
        if (match) {
            best = &c;
            bestWords = words.size();
        }
    }
    if (best == nullptr) {
        std::cerr << "tokenctl: unknown command '" << args[0] << "'\n\n";
        printHelp(std::cerr);
        return tokenctl::kExitUsage;
    }
    try {
        return best->run(std::span<const std::string>(args).subspan(bestWords));
    } catch (const std::exception& e) {
        std::cerr << "tokenctl: " << e.what() << "\n";
        return tokenctl::kExitFailed;
    }
}
