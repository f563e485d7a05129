#include "pin_dialogs.h"

#include <platform/secure_wipe.h>

#include "resource.h"

namespace tokendesk {

PinBytes::~PinBytes() {
    platform::secureWipe(bytes_.data(), bytes_.size());
}

void PinBytes::readField(HWND dialog, int control) {
    std::array<wchar_t, kPinFieldLimit + 1> wide{};
    const int characters =
        GetDlgItemTextW(dialog, control, wide.data(), static_cast<int>(wide.size()));
    platform::secureWipe(bytes_.data(), bytes_.size());
    length_ = 0;
    if (characters > 0) {
        const int written = WideCharToMultiByte(936, 0, wide.data(), characters,
                                                reinterpret_cast<char*>(bytes_.data()),
                                                static_cast<int>(bytes_.size()), nullptr, nullptr);
        length_ = written > 0 ? static_cast<std::size_t>(written) : 0;
    }
    platform::secureWipe(wide.data(), wide.size() * sizeof(wchar_t));
}

namespace {

void limitField(HWND dialog, int control) {
    SendDlgItemMessageW(dialog, control, EM_SETLIMITTEXT, kPinFieldLimit, 0);
}

}  // namespace

CDlgVerifyPIN::CDlgVerifyPIN(HWND owner) : CDialog(IDD_VERIFY_PIN, owner) {}

BOOL CDlgVerifyPIN::OnInitDialog() {
    limitField(window(), IDC_PIN);
    return TRUE;
}

void CDlgVerifyPIN::OnOK() {
    pin_.readField(window(), IDC_PIN);
    if (const auto notice = checkVerifyInput(pin_.view())) {
        ShowNotice(*notice);
        return;
    }
    CDialog::OnOK();
}

CDlgChangePIN::CDlgChangePIN(HWND owner) : CDialog(IDD_CHANGE_PIN, owner) {}

BOOL CDlgChangePIN::OnInitDialog() {
    for (int control : {IDC_CURRENT_PIN, IDC_NEW_PIN, IDC_CONFIRM_PIN}) {
        limitField(window(), control);
    }
    return TRUE;
}

void CDlgChangePIN::OnOK() {
    current_.readField(window(), IDC_CURRENT_PIN);
    new_.readField(window(), IDC_NEW_PIN);
    confirmation_.readField(window(), IDC_CONFIRM_PIN);
    if (const auto notice = checkChangeInput(current_.view(), new_.view(), confirmation_.view())) {
        ShowNotice(*notice);
        return;
    }
    CDialog::OnOK();
}

}  // namespace tokendesk
