// Item codes: the number every tree item carries, from which a command finds the key, the
// container and the kind of leaf that the item stands for.
//
// A key's code is its device id, a multiple of kDeviceStride; its k-th container (k from 1) is
// device id + 10 × k; a leaf is its container's code + its kind (1 to 4). The stride leaves room
// for every container a key can list, so no container's code reaches the next key.
#ifndef TOKENDESK_ITEM_CODE_H
#define TOKENDESK_ITEM_CODE_H

#include <cstdint>
#include <functional>
#include <optional>

namespace tokendesk {

using ItemCode = std::int32_t;

inline constexpr ItemCode kDeviceStride = 10000;
inline constexpr ItemCode kContainerStride = 10;
// Container names fill a 256-byte list, each at least one byte and its NUL: 128 at most, well
// inside the 999 that the stride holds.
inline constexpr int kMaxContainers = (kDeviceStride / kContainerStride) - 1;

// The leaves under a container, in the order they are inserted.
enum class LeafKind : int {
    EncryptionCertificate = 1,  // "加密证书"
    EncryptionKeyPair = 2,      // "加密密钥"
    SignatureCertificate = 3,   // "签名证书"
    SignatureKeyPair = 4,       // "签名密钥"
};

enum class NodeKind { Key, Container, Leaf, None };

struct DecodedItem {
    NodeKind node = NodeKind::None;
    ItemCode deviceId = 0;
    int container = 0;  // 1-based position of the container under its key; 0 for a key node
    LeafKind leaf = LeafKind::EncryptionCertificate;  // meaningful for leaves only
};

ItemCode keyCode(ItemCode deviceId);
// Empty when the position does not fit the scheme (0, or more than kMaxContainers).
std::optional<ItemCode> containerCode(ItemCode deviceId, int position);
ItemCode leafCode(ItemCode containerCode, LeafKind kind);

// Code 0 is the placeholder's (no device); codes of another shape decode to NodeKind::None.
DecodedItem decodeItem(ItemCode code);

// Hands out device ids: raised by one stride before each device entry is built, never reused
// while an id is still listed. Past the largest id that fits it starts again from the first.
class DeviceIdCounter {
  public:
    ItemCode next(const std::function<bool(ItemCode)>& inUse);

  private:
    ItemCode last_ = 0;
};

}  // namespace tokendesk

#endif
