#include "vtoken/rsa_keys.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace vtoken {

namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

struct BnClear {
    void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnClear>;

void checkBits(unsigned bits) {
    if (bits != 1024 && bits != 2048) {
        throw std::invalid_argument("RSA keys have 1024 or 2048 bits, not " + std::to_string(bits));
    }
}

PkeyPtr generatePkey(unsigned bits) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &key) != 1) {
        throw std::runtime_error("RSA key generation failed");
    }
    return PkeyPtr(key, EVP_PKEY_free);
}

// One component, least significant byte first, in exactly `length` bytes.
void putComponent(KeyObject& key, std::uint8_t number, const EVP_PKEY* pkey, const char* name,
                  std::size_t length) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, name, &raw) != 1) {
        throw std::runtime_error(std::string("RSA key without ") + name);
    }
    const BnPtr value(raw);
    SecretBytes bytes(length);
    if (BN_bn2lebinpad(value.get(), bytes.data(), static_cast<int>(length)) < 0) {
        throw std::runtime_error(std::string("RSA ") + name + " longer than its field");
    }
    key.components[number] = std::move(bytes);
}

KeyObject toKeyObject(const EVP_PKEY* pkey) {
    const int bits = EVP_PKEY_get_bits(pkey);
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA || (bits != 1024 && bits != 2048)) {
        throw std::runtime_error("not an RSA key of 1024 or 2048 bits");
    }
    const std::size_t k = static_cast<std::size_t>(bits) / 8;
    KeyObject key{KeyAlgorithm::Rsa, {}};
    putComponent(key, component::kRsaPublicExponent, pkey, OSSL_PKEY_PARAM_RSA_E, 4);
    putComponent(key, component::kRsaModulus, pkey, OSSL_PKEY_PARAM_RSA_N, k);
    putComponent(key, component::kRsaPrime1, pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, k / 2);
    putComponent(key, component::kRsaPrime2, pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, k / 2);
    putComponent(key, component::kRsaCoefficient, pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, k / 2);
    putComponent(key, component::kRsaExponent1, pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1, k / 2);
    putComponent(key, component::kRsaExponent2, pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2, k / 2);
    return key;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

KeyObject FreshRsaKeys::generate(unsigned bits) {
    checkBits(bits);
    return toKeyObject(generatePkey(bits).get());
}

std::unique_ptr<RsaKeyPool> RsaKeyPool::load(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "re"));
    if (!file) throw std::runtime_error("cannot open RSA key pool " + path.string());
    auto pool = std::unique_ptr<RsaKeyPool>(new RsaKeyPool);
    for (;;) {
        EVP_PKEY* raw = PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr);
        if (!raw) break;
        const PkeyPtr key(raw, EVP_PKEY_free);
        try {
            pool->keys_[static_cast<unsigned>(EVP_PKEY_get_bits(key.get()))].push_back(
                toKeyObject(key.get()));
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("RSA key pool " + path.string() + ": " + e.what());
        }
    }
    if (!std::feof(file.get()) && std::ferror(file.get())) {
        throw std::runtime_error("cannot read RSA key pool " + path.string());
    }
    if (pool->keys_.empty()) {
        throw std::runtime_error("RSA key pool " + path.string() + " holds no key");
    }
    return pool;
}

KeyObject RsaKeyPool::generate(unsigned bits) {
    checkBits(bits);
    std::vector<KeyObject>& keys = keys_[bits];
    std::size_t& next = next_[bits];
    if (next < keys.size()) {
        KeyObject key = std::move(keys[next]);
        keys[next] = KeyObject{};  // handed out once: drop the pool's copy
        ++next;
        return key;
    }
    return fresh_.generate(bits);
}

std::size_t RsaKeyPool::remaining(unsigned bits) const {
    const auto keys = keys_.find(bits);
    const auto next = next_.find(bits);
    const std::size_t total = keys == keys_.end() ? 0 : keys->second.size();
    const std::size_t used = next == next_.end() ? 0 : next->second;
    return total - used;
}

void writeRsaKeyPool(const std::filesystem::path& path, const std::map<unsigned, unsigned>& count) {
    for (const auto& [bits, n] : count) checkBits(bits);
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + temporary.string());
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "w"));
    if (!file) {
        ::close(fd);
        throw std::runtime_error("cannot write " + temporary.string());
    }
    try {
        for (const auto& [bits, n] : count) {
            for (unsigned i = 0; i < n; ++i) {
                const PkeyPtr key = generatePkey(bits);
                if (PEM_write_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
                    throw std::runtime_error("cannot write " + temporary.string());
                }
            }
        }
        if (std::fflush(file.get()) != 0 || std::fclose(file.release()) != 0) {
            throw std::runtime_error("cannot write " + temporary.string());
        }
        std::filesystem::rename(temporary, path);
    } catch (...) {
        file.reset();
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw;
    }
}

}  // namespace vtoken
