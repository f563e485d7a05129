#include "cipher_commands.h"

namespace tokenapi::cmd {

namespace {
constexpr uint8_t kKeyLoad = 0x02;
constexpr uint8_t kInitialValueLoad = 0x03;
}  // namespace

Command loadCipherKey(uint8_t algorithmCode, ByteView key) {
    return Command::shortData(0x80, 0xC6, algorithmCode, kKeyLoad, key)
        .following(FollowUp::Fetch61xx);
}

Command loadInitialValue(ByteView initialValue) {
    return Command::shortData(0x80, 0xC6, 0x00, kInitialValueLoad, initialValue)
        .following(FollowUp::Fetch61xx);
}

Command cipherData(CipherForm form, CipherDirection direction, ByteView data) {
    const auto p2 = static_cast<uint8_t>(direction);
    switch (form) {
        case CipherForm::Short:
            return Command::shortData(0x80, 0xC6, 0x00, p2, data)
                .offering(kReplyDefault)
                .following(FollowUp::Fetch61xx);
        case CipherForm::TwoByte:
            return Command::twoByteLength(0x90, 0xC6, 0x00, p2, data).offering(kReply5120);
        case CipherForm::FourByte:
            break;
    }
    return Command::fourByteLength(0x90, 0xC6, 0x00, p2, data).offering(kReply32k);
}

size_t maxCipherData(CipherForm form) {
    switch (form) {
        case CipherForm::Short:
            return 255;
        case CipherForm::TwoByte:
            return kReply5120;
        case CipherForm::FourByte:
            break;
    }
    return kReply32k;
}

}  // namespace tokenapi::cmd
