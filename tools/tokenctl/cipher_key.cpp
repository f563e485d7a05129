#include "cipher_key.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

#include "platform/console.h"

namespace tokenctl {
namespace {

constexpr size_t kInitialValueLength = 16;
// Larger than any key or initial value in hex with spaces and line ends.
constexpr size_t kMaxKeyFile = 4096;

void wipeString(std::string& s) {
    wipeBytes(std::span(reinterpret_cast<uint8_t*>(s.data()), s.size()));
    s.clear();
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// Hex digits, with spaces, colons and line ends allowed between them; nothing otherwise.
std::optional<SecretBuffer> fromHexText(std::string_view text) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\n' || c == '\r' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            wipeBytes(bytes);
            return std::nullopt;
        }
        if (high < 0) {
            high = digitValue(c);
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digitValue(c)));
            high = -1;
        }
    }
    if (high >= 0) {
        wipeBytes(bytes);
        return std::nullopt;
    }
    return SecretBuffer(std::move(bytes));
}

// A file holding the bytes in hex, or exactly `length` raw bytes.
std::optional<SecretBuffer> fromFile(const std::string& path, size_t length, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "tokenctl: cannot read the " << what << " file " << path << "\n";
        return std::nullopt;
    }
    std::string content;
    content.reserve(kMaxKeyFile);
    char c;
    while (content.size() <= kMaxKeyFile && in.get(c)) content.push_back(c);
    std::optional<SecretBuffer> bytes;
    if (auto hex = fromHexText(content); hex && hex->size() == length) {
        bytes.emplace(std::move(*hex));
    } else if (content.size() == length) {
        bytes.emplace(std::vector<uint8_t>(content.begin(), content.end()));
    }
    wipeString(content);
    if (!bytes) {
        std::cerr << "tokenctl: the " << what << " file " << path << " must hold " << length
                  << " bytes, raw or in hexadecimal\n";
    }
    return bytes;
}

std::optional<SecretBuffer> ofLength(std::optional<SecretBuffer> bytes, size_t length,
                                     const char* what, const char* from) {
    if (!bytes) {
        std::cerr << "tokenctl: the " << what << " " << from << " must be hexadecimal bytes\n";
        return std::nullopt;
    }
    if (bytes->size() != length) {
        std::cerr << "tokenctl: the " << what << " must be " << length << " bytes, " << from
                  << " has " << bytes->size() << "\n";
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

std::optional<CipherAlgorithm> parseCipherAlgorithm(std::string_view text) {
    if (text == "1") return CipherAlgorithm{1, 8, false};
    if (text == "16") return CipherAlgorithm{16, 16, false};
    if (text == "256" || text == "ssf33") return CipherAlgorithm{256, 16, true};
    if (text == "4096" || text == "sm1") return CipherAlgorithm{4096, 16, true};
    return std::nullopt;
}

std::optional<SecretBuffer> readCipherKey(const KeySource& source, size_t length) {
    if (source.file) return fromFile(*source.file, length, "key");
    if (source.hex) return ofLength(fromHexText(*source.hex), length, "key", "given with --key");
    if (const char* value = std::getenv(kCipherKeyVariable)) {
        return ofLength(fromHexText(value), length, "key", "in TOKEN_CIPHER_KEY");
    }
    platform::SecretText typed;
    switch (platform::readSecret("Key (" + std::to_string(length) + " bytes in hex): ", typed)) {
        case platform::SecretRead::Read:
            break;
        case platform::SecretRead::NoTerminal:
            std::cerr << "tokenctl: no key: give --key-file, or set " << kCipherKeyVariable
                      << "\n";
            return std::nullopt;
        case platform::SecretRead::TooLong:
            std::cerr << "tokenctl: the key typed is too long\n";
            return std::nullopt;
        case platform::SecretRead::Ended:
            std::cerr << "tokenctl: the input ended before the key was complete\n";
            return std::nullopt;
    }
    auto key = fromHexText(typed.view());
    return ofLength(std::move(key), length, "key", "typed");
}

std::optional<std::vector<uint8_t>> readInitialValue(const KeySource& source) {
    std::optional<SecretBuffer> bytes =
        source.file ? fromFile(*source.file, kInitialValueLength, "initial value")
                    : ofLength(fromHexText(source.hex.value_or("")), kInitialValueLength,
                               "initial value", "given with --iv");
    if (!bytes) return std::nullopt;
    return std::vector<uint8_t>(bytes->data(), bytes->data() + bytes->size());
}

}  // namespace tokenctl
