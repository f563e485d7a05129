// The OpenSSL algorithms behind the primitives, fetched once per process from a library
// context of our own. A private context keeps the providers we load (the legacy one for
// single DES) out of the process-wide default context, which the host application may be
// using with a configuration of its own.
#pragma once

#include <openssl/types.h>

#include <stdexcept>

namespace tokenapi::crypto {

// OpenSSL could not provide what a primitive needs: out of memory, or a broken installation.
class CryptoError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace detail {

// Never null: the first call throws CryptoError if the default provider lacks them.
const EVP_MD* md5Algorithm();
const EVP_MD* sha1Algorithm();

// Null when OpenSSL cannot provide the cipher. Single DES lives in the legacy provider,
// which is loaded on the first call, once, whichever thread gets there first.
const EVP_CIPHER* desEcbCipher();
const EVP_CIPHER* desEdeEcbCipher();

}  // namespace detail
}  // namespace tokenapi::crypto
