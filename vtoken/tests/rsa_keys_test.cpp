// RSA key pairs for generation: sound keys in the token's component form, and the pool that
// hands out keys made ahead of time.
#include "vtoken/rsa_keys.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "token_fixture.h"

namespace vtoken {
namespace {

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn number(const KeyObject& key, std::uint8_t component) {
    const SecretBytes& bytes = key.get(component);
    return Bn(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

// The components are a real key: n = pq, qInv q = 1 (mod p), e dP = 1 (mod p-1),
// e dQ = 1 (mod q-1), e = 65537.
void expectSoundKey(const KeyObject& key, unsigned bits) {
    const std::size_t k = bits / 8;
    ASSERT_EQ(key.algorithm, KeyAlgorithm::Rsa);
    ASSERT_EQ(key.components.size(), 7u);
    EXPECT_EQ(key.get(component::kRsaPublicExponent).size(), 4u);
    EXPECT_EQ(key.get(component::kRsaModulus).size(), k);
    for (std::uint8_t n = component::kRsaPrime1; n <= component::kRsaExponent2; ++n) {
        EXPECT_EQ(key.get(n).size(), k / 2) << int(n);
    }
    EXPECT_EQ(toHex(view(key.get(component::kRsaPublicExponent))), "01000100");
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    const Bn e = number(key, component::kRsaPublicExponent);
    const Bn n = number(key, component::kRsaModulus);
    const Bn p = number(key, component::kRsaPrime1);
    const Bn q = number(key, component::kRsaPrime2);
    const Bn qInv = number(key, component::kRsaCoefficient);
    const Bn dP = number(key, component::kRsaExponent1);
    const Bn dQ = number(key, component::kRsaExponent2);
    EXPECT_EQ(BN_num_bits(n.get()), static_cast<int>(bits));
    Bn t(BN_new());
    BN_mul(t.get(), p.get(), q.get(), ctx.get());
    EXPECT_EQ(BN_cmp(t.get(), n.get()), 0);
    BN_mod_mul(t.get(), qInv.get(), q.get(), p.get(), ctx.get());
    EXPECT_TRUE(BN_is_one(t.get()));
    for (const auto& [d, prime] : {std::pair{dP.get(), p.get()}, std::pair{dQ.get(), q.get()}}) {
        Bn minusOne(BN_dup(prime));
        BN_sub_word(minusOne.get(), 1);
        BN_mod_mul(t.get(), e.get(), d, minusOne.get(), ctx.get());
        EXPECT_TRUE(BN_is_one(t.get()));
    }
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::filesystem::path operator/(const char* name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

TEST(RsaKeys, FreshKeysAreSoundInEitherSize) {
    FreshRsaKeys keys;
    for (unsigned bits : {1024u, 2048u}) {
        SCOPED_TRACE(bits);
        expectSoundKey(keys.generate(bits), bits);
    }
    EXPECT_THROW(keys.generate(1536), std::invalid_argument);
}

// The moduli of a PEM file, in order, read without the pool.
std::vector<std::string> moduliIn(const std::filesystem::path& path) {
    std::vector<std::string> out;
    std::FILE* file = std::fopen(path.c_str(), "r");
    while (EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr)) {
        BIGNUM* n = nullptr;
        EVP_PKEY_get_bn_param(key, "n", &n);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(n)));
        BN_bn2lebinpad(n, bytes.data(), static_cast<int>(bytes.size()));
        out.push_back(toHex(bytes));
        BN_free(n);
        EVP_PKEY_free(key);
    }
    std::fclose(file);
    return out;
}

TEST(RsaKeyPool, HandsOutEachKeyOnceInFileOrderThenGenerates) {
    TempDir dir;
    const auto path = dir / "pool.pem";
    writeRsaKeyPool(path, {{1024, 2}, {2048, 1}});
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::vector<std::string> moduli = moduliIn(path);
    ASSERT_EQ(moduli.size(), 3u);

    const auto pool = RsaKeyPool::load(path);
    EXPECT_EQ(pool->remaining(1024), 2u);
    EXPECT_EQ(pool->remaining(2048), 1u);
    for (std::size_t i = 0; i < 2; ++i) {
        const KeyObject key = pool->generate(1024);
        expectSoundKey(key, 1024);
        EXPECT_EQ(toHex(view(key.get(component::kRsaModulus))), moduli[i]);
    }
    const KeyObject big = pool->generate(2048);
    EXPECT_EQ(toHex(view(big.get(component::kRsaModulus))), moduli[2]);
    EXPECT_EQ(pool->remaining(1024), 0u);
    // Used up: new keys, not repeats.
    const KeyObject fresh = pool->generate(1024);
    expectSoundKey(fresh, 1024);
    const std::string modulus = toHex(view(fresh.get(component::kRsaModulus)));
    EXPECT_EQ(std::find(moduli.begin(), moduli.end(), modulus), moduli.end());
}

TEST(RsaKeyPool, RefusesFilesThatAreNotAPool) {
    TempDir dir;
    std::ofstream(dir / "empty.pem") << "";
    {
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ec(EVP_EC_gen("P-256"), EVP_PKEY_free);
        std::FILE* file = std::fopen((dir / "ec.pem").c_str(), "w");
        PEM_write_PrivateKey(file, ec.get(), nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(file);
    }
    struct Case {
        const char* file;
        const char* message;
    };
    for (const Case& c : {Case{"missing.pem", "cannot open"}, Case{"empty.pem", "holds no key"},
                          Case{"ec.pem", "not an RSA key"}}) {
        try {
            RsaKeyPool::load(dir / c.file);
            ADD_FAILURE() << c.file << " was loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.file), std::string::npos) << e.what();
        }
    }
}

// Handlers reach the token's source through their context.
TEST(RsaKeyPool, IsWhereTheTokensGenerationTakesKeysFrom) {
    TempDir dir;
    writeRsaKeyPool(dir / "pool.pem", {{1024, 1}});
    const std::vector<std::string> moduli = moduliIn(dir / "pool.pem");
    Token token(provision(testing::defaultOptions()));
    token.useRsaKeys(RsaKeyPool::load(dir / "pool.pem"));
    token.commands().add(0x80, 0x95, [](CommandContext& context, const Apdu&) {
        const KeyObject key = context.rsaKeys().generate(1024);
        const SecretBytes& modulus = key.get(component::kRsaModulus);
        return Reply{Bytes(modulus.begin(), modulus.end())};
    });
    const Bytes reply = token.transmit(testing::hex("80950000"));
    ASSERT_EQ(reply.size(), 130u);
    EXPECT_EQ(toHex(ByteView(reply).first(128)), moduli[0]);
}

}  // namespace
}  // namespace vtoken
