// The two PIN dialogs. Each keeps the typed PINs in fixed storage that is wiped when the
// dialog object goes; the fields take at most 16 characters.
#ifndef TOKENDESK_PIN_DIALOGS_H
#define TOKENDESK_PIN_DIALOGS_H

#include <array>
#include <cstdint>
#include <span>

#include "dialog.h"
#include "pin_rules.h"

namespace tokendesk {

// A PIN as the key API takes it: up to 16 bytes (code page 936), wiped when it goes.
class PinBytes {
  public:
    PinBytes() = default;
    ~PinBytes();
    PinBytes(const PinBytes&) = delete;
    PinBytes& operator=(const PinBytes&) = delete;

    // Reads an edit field.
    void readField(HWND dialog, int control);
    std::span<const std::uint8_t> bytes() const { return {bytes_.data(), length_}; }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(bytes_.data()), length_};
    }

  private:
    std::array<std::uint8_t, kPinFieldLimit * 2> bytes_{};
    std::size_t length_ = 0;
};

class CDlgVerifyPIN : public CDialog {
  public:
    explicit CDlgVerifyPIN(HWND owner);
    const PinBytes& pin() const { return pin_; }

  protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

  private:
    PinBytes pin_;
};

class CDlgChangePIN : public CDialog {
  public:
    explicit CDlgChangePIN(HWND owner);
    const PinBytes& currentPin() const { return current_; }
    const PinBytes& newPin() const { return new_; }

  protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

  private:
    PinBytes current_;
    PinBytes new_;
    PinBytes confirmation_;
};

}  // namespace tokendesk

#endif
