// containers ls, create, rm.
#include <iostream>
#include <string>
#include <vector>

#include "command_table.h"
#include "opened_container.h"
#include "pin_input.h"
#include "token_session.h"

namespace tokenctl {
namespace {

// Names one after another, each followed by a zero byte.
std::vector<std::string> splitNames(const std::string& buffer) {
    std::vector<std::string> names;
    for (size_t start = 0; start < buffer.size();) {
        const size_t end = buffer.find('\0', start);
        if (end == std::string::npos) break;
        names.push_back(buffer.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::string slotText(uint32_t word, uint32_t keyBit, uint32_t certBit) {
    std::string text = (word & keyBit) ? "key pair" : "no key pair";
    text += (word & certBit) ? ", certificate" : ", no certificate";
    return text;
}

int describe(DeviceHandle* device, const std::string& name) {
    OpenedContainer container(device, name);
    if (!container) {
        std::cout << name << "  (cannot open: " << describeResult(container.result()) << ")\n";
        return kExitFailed;
    }
    uint32_t word = 0;
    uint8_t root = 0;
    if (int32_t r = X_GetContainerInfoEx(device, container.get(), &word, &root); r != 0) {
        std::cout << name << "  (" << describeResult(r) << ")\n";
        return kExitFailed;
    }
    std::cout << name << "\n  slot 1: " << slotText(word, 1u << 0, 1u << 8)
              << "\n  slot 2: " << slotText(word, 1u << 16, 1u << 24)
              << "\n  root certificate: " << (root == 0x10 ? "yes" : "no") << "\n";
    return kExitOk;
}

int list(Args args) {
    if (args.size() != 1) return usage("usage: tokenctl containers ls N");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    std::string fixed(256, '\0');
    uint32_t length = 0;
    if (int32_t r = X_EnumContainer(token.device(), fixed.data(), &length); r != 0) {
        return fail("cannot list the containers", r);
    }
    fixed.resize(length);
    std::string named(4 * 121, '\0');
    if (int32_t r = X_EnumNamedContainers(token.device(), named.data(), &length); r != 0) {
        return fail("cannot list the named containers", r);
    }
    named.resize(length);

    int exitCode = kExitOk;
    for (const auto& name : splitNames(fixed)) {
        if (describe(token.device(), name) != kExitOk) exitCode = kExitFailed;
    }
    for (const auto& name : splitNames(named)) {
        if (describe(token.device(), name) != kExitOk) exitCode = kExitFailed;
    }
    return exitCode;
}

int create(Args args) {
    if (args.size() != 2) return usage("usage: tokenctl containers create N NAME");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    if (int32_t v = ensureUserVerified(token.device()); v != 0) {
        return v == kNoPin ? kExitUsage : kExitFailed;
    }
    ContainerHandle* handle = nullptr;
    if (int32_t r = X_CreateContainer(token.device(), args[1].c_str(), &handle); r != 0) {
        return fail("cannot create container " + args[1], r);
    }
    X_CloseContainer(token.device(), handle);
    std::cout << "container " << args[1] << " created\n";
    return kExitOk;
}

int remove(Args args) {
    if (args.size() != 2) return usage("usage: tokenctl containers rm N NAME");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    ContainerHandle* handle = nullptr;
    if (int32_t r = X_OpenNamedContainer(token.device(), args[1].c_str(), &handle); r != 0) {
        return fail("no named container " + args[1] +
                        " (the two containers of the token's directories cannot be removed)",
                    r);
    }
    if (int32_t v = ensureUserVerified(token.device()); v != 0) {
        X_CloseContainer(token.device(), handle);
        return v == kNoPin ? kExitUsage : kExitFailed;
    }
    if (int32_t r = X_DestroyContainer(token.device(), handle); r != 0) {
        X_CloseContainer(token.device(), handle);
        return fail("cannot remove container " + args[1], r);
    }
    std::cout << "container " << args[1] << " removed\n";
    return kExitOk;
}

const Registration kList{{"containers ls", "N",
                          "list the containers of token N with their keys and certificates", list}};
const Registration kCreate{
    {"containers create", "N NAME", "create a named container (at most 4)", create}};
const Registration kRemove{{"containers rm", "N NAME", "remove a named container", remove}};

}  // namespace
}  // namespace tokenctl
