// files ls, get, put, rm: the token's named data files.
#include <iomanip>
#include <iostream>
#include <vector>

#include "binary_file.h"
#include "command_table.h"
#include "pin_input.h"
#include "token_session.h"

namespace tokenctl {
namespace {

constexpr size_t kMaxContent = 0x7FFF;
constexpr uint32_t kProtected = 0x0101;  // reading and writing need the user PIN

int failUnlessVerified(int32_t r) {
    return r == kNoPin ? kExitUsage : kExitFailed;
}

int list(Args args) {
    if (args.size() != 1) return usage("usage: tokenctl files ls N");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    std::vector<XFileEntry> entries(XFILE_MAX_ENTRIES, XFileEntry{});
    uint32_t count = 0;
    if (int32_t r = X_EnumFilesEx(token.device(), entries.data(), &count); r != 0) {
        return fail("cannot list the files", r);
    }
    if (count == 0) {
        std::cout << "No files.\n";
        return kExitOk;
    }
    std::cout << std::left << std::setw(18) << "name" << std::setw(8) << "size"
              << "access\n";
    for (uint32_t i = 0; i < count && i < entries.size(); ++i) {
        const XFileEntry& e = entries[i];
        const std::string name(e.name, std::min<size_t>(e.nameLength, sizeof e.name));
        std::cout << std::left << std::setw(18) << name << std::setw(8) << e.size
                  << (e.protection == 1 ? "PIN" : "free") << "\n";
    }
    return kExitOk;
}

int get(Args args) {
    if (args.size() < 2 || args.size() > 3) return usage("usage: tokenctl files get N NAME [FILE]");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    std::vector<uint8_t> content(kMaxContent);
    uint32_t length = 0;
    int32_t r = X_ReadFile(token.device(), args[1].c_str(), 0, 0, content.data(), &length);
    if (r == XR_NOT_VERIFIED) {
        if (int32_t v = ensureUserVerified(token.device()); v != 0) return failUnlessVerified(v);
        r = X_ReadFile(token.device(), args[1].c_str(), 0, 0, content.data(), &length);
    }
    if (r != 0) return fail("cannot read " + args[1], r);
    content.resize(length);
    return writeWholeFile(args.size() == 3 ? args[2] : "-", content) ? kExitOk : kExitFailed;
}

int put(Args args) {
    // files put N NAME FILE [--size S] [--protected]
    if (args.size() < 3) {
        return usage("usage: tokenctl files put N NAME FILE [--size BYTES] [--protected]");
    }
    uint32_t size = 0;
    uint32_t access = 0;
    for (size_t i = 3; i < args.size(); ++i) {
        if (args[i] == "--protected") {
            access = kProtected;
        } else if (args[i] == "--size" && i + 1 < args.size() && parseNumber(args[i + 1])) {
            size = *parseNumber(args[++i]);
        } else {
            return usage("unknown option '" + args[i] + "'");
        }
    }
    auto content = readWholeFile(args[2], kMaxContent);
    if (!content) return kExitFailed;
    if (content->empty()) return usage(args[2] + " is empty: a token file holds 1 byte or more");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    if (int32_t v = ensureUserVerified(token.device()); v != 0) return failUnlessVerified(v);

    const auto length = static_cast<uint32_t>(content->size());
    uint32_t written = 0;
    int32_t r = X_WriteFile(token.device(), args[1].c_str(), 0, content->data(), length, &written);
    if (r == XR_NOT_FOUND) {
        r = X_CreateFile(token.device(), args[1].c_str(), std::max(size, length), access);
        if (r != 0) return fail("cannot create " + args[1], r);
        r = X_WriteFile(token.device(), args[1].c_str(), 0, content->data(), length, &written);
    }
    if (r != 0) return fail("cannot write " + args[1], r);
    std::cout << written << " bytes written to " << args[1] << "\n";
    return kExitOk;
}

int remove(Args args) {
    if (args.size() != 2) return usage("usage: tokenctl files rm N NAME");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    if (int32_t v = ensureUserVerified(token.device()); v != 0) return failUnlessVerified(v);
    const std::string& name = args[1];
    if (int32_t r = X_DeleteFile(token.device(), name.c_str(), static_cast<uint32_t>(name.size()));
        r != 0) {
        return fail("cannot remove " + name, r);
    }
    std::cout << name << " removed\n";
    return kExitOk;
}

const Registration kList{{"files ls", "N", "list the named files on token N", list}};
const Registration kGet{
    {"files get", "N NAME [FILE]", "copy a file from the token (to standard output)", get}};
const Registration kPut{{"files put", "N NAME FILE [--size B] [--protected]",
                         "copy FILE to the token, creating NAME when it is missing", put}};
const Registration kRemove{{"files rm", "N NAME", "remove a named file", remove}};

}  // namespace
}  // namespace tokenctl
