#include "vtoken/key_object.h"

#include "vtoken/status_word.h"

namespace vtoken {

bool isPrivateComponent(KeyAlgorithm algorithm, std::uint8_t number) {
    if (algorithm == KeyAlgorithm::Sm2) return number == component::kSm2PrivateKey;
    return number >= component::kRsaPrime1;
}

const SecretBytes& KeyObject::get(std::uint8_t number) const {
    auto found = components.find(number);
    if (found == components.end()) refuse(sw::kKeyNotFound);
    return found->second;
}

}  // namespace vtoken
