// Prints the host primitives' answers for fixed inputs, each beside its published value,
// and exits with 1 if any differs. Run under Wine to check the mingw build of libcrypto,
// including the built-in legacy provider that single DES needs.
#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/des.h"
#include "crypto/md2.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"

namespace {

using namespace tokenapi::crypto;

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::vector<std::uint8_t> unhex(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int failures = 0;

void report(const char* what, const std::string& got, const char* expected) {
    const bool ok = got == expected;
    if (!ok) ++failures;
    std::printf("%-28s %s %s\n", what, got.c_str(), ok ? "ok" : "MISMATCH");
    if (!ok) std::printf("%-28s %s expected\n", "", expected);
}

std::string cipher(std::string_view keyHex, std::string_view plainHex) {
    const auto key = unhex(keyHex);
    const auto plain = unhex(plainHex);
    std::uint8_t in[kDesBlockSize];
    std::uint8_t out[kDesBlockSize];
    std::copy(plain.begin(), plain.end(), in);
    if (!desEncryptBlock(key, in, out)) return "refused";
    return hex(out);
}

}  // namespace

int main() {
    report("MD5(\"abc\")", hex(md5(bytes("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    report("SHA-1(\"abc\")", hex(sha1(bytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    report("MD2(\"abc\")", hex(md2(bytes("abc"))), "da853b0d3f88d99b30283a69e6ded6bb");
    report("DES(\"Now is t\")", cipher("0123456789abcdef", "4e6f772069732074"), "3fa40e8a984d4815");
    report("3DES-EDE2(libdes block)",
           cipher("0123456789abcdeffedcba9876543210", "3736353433323120"), "4d1332e49f380e23");
    std::printf("%s\n", failures == 0 ? "all primitives agree" : "some primitives disagree");
    return failures == 0 ? 0 : 1;
}
