// The rules by which the register and PIN commands accept the selected tree item.
#ifndef TOKENDESK_SELECTION_GUARD_H
#define TOKENDESK_SELECTION_GUARD_H

#include <string>

#include "item_code.h"

namespace tokendesk {

enum class MessageIcon { Information, Error };

// A message box: text, caption and icon. An empty text means nothing is shown.
struct Notice {
    const char* text = nullptr;
    const char* caption = nullptr;
    MessageIcon icon = MessageIcon::Information;
};

struct SelectedItem {
    bool present = false;   // an item is selected
    bool topLevel = false;  // the item stands at the tree's root (a key or the placeholder)
    std::string text;       // the item's text, UTF-8
    ItemCode code = 0;
};

enum class GuardVerdict {
    Proceed,           // the command goes on with the key of the item's code
    NothingSelected,   // "请在列表中选择需要操作的Key！"
    UnformattedKey,    // "选定的Key可能尚未格式化，请选择其他Key！"
    NoKeyPlaceholder,  // stops without a message
    UnknownKey,        // "选定的Key无法访问，请尝试刷新！"
};

// deviceListed: whether a listed key has the device id the item's code decodes to.
// The text rules apply to items at the root only: a container that happens to be named
// "Key不存在" or "未格式化设备" belongs to a working key and passes.
GuardVerdict guardSelection(const SelectedItem& item, bool deviceListed);

// The message of a verdict; an empty notice for Proceed and NoKeyPlaceholder.
Notice guardNotice(GuardVerdict verdict);

}  // namespace tokendesk

#endif
