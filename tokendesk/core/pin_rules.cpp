#include "pin_rules.h"

#include "texts.h"

namespace tokendesk {

namespace {

constexpr std::uint32_t kPinIncorrect = 0x40001;
constexpr std::uint32_t kPinBlocked = 0x40003;

Notice dialogNotice(const char* message) {
    return {message, text::kCaptionNotice, MessageIcon::Error};
}

// Replaces the one "%d" of a message with the number.
std::string withCount(std::string_view message, std::uint32_t count) {
    std::string out(message);
    const auto at = out.find("%d");
    if (at != std::string::npos) out.replace(at, 2, std::to_string(count));
    return out;
}

}  // namespace

std::optional<Notice> checkVerifyInput(std::string_view pin) {
    if (pin.empty()) return dialogNotice(text::kPinEmpty);
    return std::nullopt;
}

std::optional<Notice> checkChangeInput(std::string_view current, std::string_view newPin,
                                       std::string_view confirmation) {
    if (current.empty()) return dialogNotice(text::kCurrentPinEmpty);
    if (newPin != confirmation) return dialogNotice(text::kPinsDiffer);
    if (newPin.empty()) return dialogNotice(text::kNewPinEmpty);
    return std::nullopt;
}

Notice pinResultNotice(PinCommand command, std::uint32_t result, std::uint32_t retries,
                       std::string& text) {
    const bool verify = command == PinCommand::Verify;
    MessageIcon icon = MessageIcon::Error;
    const char* caption = text::kCaptionError;
    if (result == 0) {
        text = verify ? text::kVerifyDone : text::kChangeDone;
        icon = MessageIcon::Information;
        caption = text::kCaptionNotice;
    } else if (result == kPinIncorrect) {
        text = withCount(verify ? text::kVerifyWrong : text::kChangeWrong, retries);
    } else if (result == kPinBlocked) {
        text = text::kPinLocked;
    } else {
        text = verify ? text::kVerifyFailed : text::kChangeFailed;
    }
    return {text.c_str(), caption, icon};
}

}  // namespace tokendesk
