#include "secure_bytes.h"

#include <openssl/crypto.h>

namespace tokenapi::crypto {

void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0) OPENSSL_cleanse(data, size);
}

}  // namespace tokenapi::crypto
