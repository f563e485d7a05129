#include "platform/console.h"

namespace platform {

void wipeSecret(std::span<char> bytes) noexcept {
    volatile char* p = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
}

SecretRead collectSecretLine(const std::function<std::optional<char>()>& next,
                             std::span<char> storage, std::size_t& length) {
    length = 0;
    bool overflow = false;
    for (;;) {
        const std::optional<char> c = next();
        if (!c) {
            wipeSecret(storage);
            length = 0;
            return SecretRead::Ended;
        }
        if (*c == '\n') break;
        if (*c == '\r' || overflow) continue;
        if (length == storage.size()) {
            overflow = true;
            wipeSecret(storage);
            continue;
        }
        storage[length++] = *c;
    }
    if (overflow) {
        length = 0;
        return SecretRead::TooLong;
    }
    return SecretRead::Read;
}

}  // namespace platform
