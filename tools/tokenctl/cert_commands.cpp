// cert import, export, rm: the certificates of a container, as DER files.
#include <iostream>
#include <vector>

#include "binary_file.h"
#include "command_table.h"
#include "opened_container.h"
#include "pin_input.h"
#include "token_session.h"

namespace tokenctl {
namespace {

constexpr size_t kMaxCertificate = 2048;
constexpr uint32_t kRoot = 3;

// "1", "2" or "root".
std::optional<uint32_t> certType(const std::string& text) {
    if (text == "1") return 1;
    if (text == "2") return 2;
    if (text == "root") return kRoot;
    return std::nullopt;
}

int importCert(Args args) {
    if (args.size() != 4) return usage("usage: tokenctl cert import N CONTAINER 1|2|root FILE");
    const auto type = certType(args[2]);
    if (!type) return usage("the certificate type is 1, 2 or root");
    auto der = readWholeFile(args[3], kMaxCertificate);
    if (!der) return kExitFailed;
    if (der->empty()) return usage(args[3] + " is empty");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    OpenedContainer container(token.device(), args[1]);
    if (!container) return fail("cannot open container " + args[1], container.result());
    // After the open: verification goes to the container's directory.
    if (int32_t v = ensureUserVerified(token.device()); v != 0) {
        return v == kNoPin ? kExitUsage : kExitFailed;
    }
    const auto length = static_cast<uint32_t>(der->size());
    const int32_t r =
        *type == kRoot
            ? X_ImportRootCert(token.device(), container.get(), der->data(), length)
            : X_ImportUserCert(token.device(), container.get(), *type, der->data(), length);
    if (r != 0) return fail("cannot import " + args[3], r);
    std::cout << length << " bytes imported\n";
    return kExitOk;
}

int exportCert(Args args) {
    if (args.size() != 4) return usage("usage: tokenctl cert export N CONTAINER 1|2|root FILE");
    const auto type = certType(args[2]);
    if (!type) return usage("the certificate type is 1, 2 or root");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    OpenedContainer container(token.device(), args[1]);
    if (!container) return fail("cannot open container " + args[1], container.result());
    std::vector<uint8_t> der(kMaxCertificate);
    uint32_t length = 0;
    const int32_t r =
        *type == kRoot
            ? X_ExportRootCert(token.device(), container.get(), der.data(), &length)
            : X_ExportUserCert(token.device(), container.get(), *type, der.data(), &length);
    if (r != 0) return fail("cannot export the certificate", r);
    der.resize(length);
    return writeWholeFile(args[3], der) ? kExitOk : kExitFailed;
}

int removeCert(Args args) {
    if (args.size() != 3) return usage("usage: tokenctl cert rm N CONTAINER 1|2|root");
    const auto type = certType(args[2]);
    if (!type) return usage("the certificate type is 1, 2 or root");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    OpenedContainer container(token.device(), args[1]);
    if (!container) return fail("cannot open container " + args[1], container.result());
    if (int32_t v = ensureUserVerified(token.device()); v != 0) {
        return v == kNoPin ? kExitUsage : kExitFailed;
    }
    if (int32_t r = X_DeletetUserCert(token.device(), container.get(), *type); r != 0) {
        return fail("cannot remove the certificate", r);
    }
    std::cout << "certificate removed\n";
    return kExitOk;
}

const Registration kImport{{"cert import", "N CONTAINER 1|2|root FILE",
                            "store a DER certificate in a container", importCert}};
const Registration kExport{{"cert export", "N CONTAINER 1|2|root FILE",
                            "write a container's certificate to a DER file ('-': stdout)",
                            exportCert}};
const Registration kRemove{
    {"cert rm", "N CONTAINER 1|2|root", "remove a container's certificate", removeCert}};

}  // namespace
}  // namespace tokenctl
