#include "cert_store.h"

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "texts.h"
#include "wide_text.h"

namespace tokendesk {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kProviderType = 1;  // PROV_RSA_FULL, for RSA and SM2 containers alike

struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

struct ContextFreer {
    void operator()(const CERT_CONTEXT* context) const { CertFreeCertificateContext(context); }
};
using Context = std::unique_ptr<const CERT_CONTEXT, ContextFreer>;

Store openMyStore() {
    return Store(CertOpenSystemStoreW(0, L"MY"));
}

}  // namespace

int RegisterCertificate(std::string_view containerName, std::span<const std::uint8_t> der,
                        KeySpec keySpec) {
    std::wstring container = fromCodePage936(containerName);
    std::wstring provider = fromCodePage936(text::kProviderName);
    if (container.empty() || provider.empty() || der.empty()) return -1;

    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = kProviderType;
    info.dwFlags = 0;
    info.cProvParam = 0;
    info.rgProvParam = nullptr;
    info.dwKeySpec = static_cast<DWORD>(keySpec);

    Store store = openMyStore();
    if (!store) return -1;
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddEncodedCertificateToStore(store.get(), kEncoding, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
        const bool exists = GetLastError() == static_cast<DWORD>(CRYPT_E_EXISTS);
        if (added != nullptr) CertFreeCertificateContext(added);
        return exists ? 0 : -1;
    }
    Context context(added);
    if (context &&
        !CertSetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        return -1;
    }
    return 0;
}

int RemoveCertificate(std::span<const std::uint8_t> der) {
    Store store = openMyStore();
    if (!store) return -1;
    PCCERT_CONTEXT current = nullptr;
    while ((current = CertEnumCertificatesInStore(store.get(), current)) != nullptr) {
        if (current->cbCertEncoded != der.size() ||
            std::memcmp(current->pbCertEncoded, der.data(), der.size()) != 0) {
            continue;
        }
        PCCERT_CONTEXT duplicate = CertDuplicateCertificateContext(current);
        // Deleting frees the duplicate whatever the outcome; the enumeration goes on from
        // `current`, which stays valid.
        if (duplicate == nullptr || !CertDeleteCertificateFromStore(duplicate)) {
            CertFreeCertificateContext(current);
            return -1;
        }
    }
    return 0;
}

void ViewCertificate(std::span<const std::uint8_t> der) {
    std::wstring folder(MAX_PATH + 1, L'\0');
    const DWORD size = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    if (size == 0 || size > folder.size()) return;
    folder.resize(size);
    const std::wstring path = folder + L"pcert.dat";
    FILE* file = _wfopen(path.c_str(), L"w+b");
    if (file == nullptr) return;
    const bool written = std::fwrite(der.data(), 1, der.size(), file) == der.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) return;
    std::wstring command = L"rundll32.exe cryptext.dll,CryptExtOpenCER \"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

}  // namespace tokendesk
