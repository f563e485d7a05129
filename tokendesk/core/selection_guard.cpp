#include "selection_guard.h"

#include "texts.h"

namespace tokendesk {

GuardVerdict guardSelection(const SelectedItem& item, bool deviceListed) {
    if (!item.present) return GuardVerdict::NothingSelected;
    if (item.topLevel && item.text == text::kUnformatted) return GuardVerdict::UnformattedKey;
    if (item.topLevel && item.text == text::kNoKey) return GuardVerdict::NoKeyPlaceholder;
    if (!deviceListed) return GuardVerdict::UnknownKey;
    return GuardVerdict::Proceed;
}

Notice guardNotice(GuardVerdict verdict) {
    switch (verdict) {
        case GuardVerdict::NothingSelected:
            return {text::kSelectKey, text::kCaptionNotice, MessageIcon::Information};
        case GuardVerdict::UnformattedKey:
            return {text::kKeyUnformatted, text::kCaptionNotice, MessageIcon::Error};
        case GuardVerdict::UnknownKey:
            return {text::kKeyUnreachable, text::kCaptionNotice, MessageIcon::Error};
        case GuardVerdict::Proceed:
        case GuardVerdict::NoKeyPlaceholder:
            break;
    }
    return {};
}

}  // namespace tokendesk
