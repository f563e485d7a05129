// GET CHALLENGE, EXTERNAL AUTHENTICATE, WRITE KEY and the retry counter query BF 20.
#include <openssl/crypto.h>

#include "vtoken/command_families.h"
#include "vtoken/pin_crypto.h"

namespace vtoken {

namespace {

constexpr std::uint8_t kPinKeyNumber = 0x02;
constexpr std::uint8_t kUserPin = 0x01;
constexpr std::uint8_t kAdminPin = 0x02;
constexpr std::size_t kChallengeLength = 8;

// The retry counter byte of a PIN (1 = user, 2 = admin) lives in file 0020 of the
// application directory: high nibble tries allowed, low nibble tries left.
class PinCounter {
  public:
    PinCounter(CommandContext& context, std::uint8_t pinNumber) : context_(context) {
        SessionState& session = context.session();
        auto df = context.files().child(FileSystem::kRoot, session.currentApplication);
        auto file = df ? context.files().child(*df, kCounterFileId) : std::nullopt;
        if (!file || context.files().node(*file).body.size() < 2) refuse(sw::kKeyNotFound);
        byte_ = &context.files().node(*file).body[pinNumber - 1];
    }

    std::uint8_t allowed() const { return *byte_ >> 4; }
    std::uint8_t left() const { return *byte_ & 0x0F; }
    std::uint8_t value() const { return *byte_; }
    bool blocked() const { return left() == 0; }

    void resetToFull() { set(static_cast<std::uint8_t>(allowed() << 4 | allowed())); }
    void decrement() {
        if (!blocked()) set(static_cast<std::uint8_t>(*byte_ - 1));
    }

  private:
    void set(std::uint8_t value) {
        if (*byte_ != value) {
            *byte_ = value;
            context_.markChanged();
        }
    }

    CommandContext& context_;
    std::uint8_t* byte_;
};

Reply getChallenge(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) refuse(sw::kWrongP1P2);
    if (!apdu.data.empty()) refuse(sw::kWrongLength);
    if (apdu.le != kChallengeLength) refuse(sw::wrongLe(kChallengeLength));
    const Challenge challenge = randomChallenge();
    context.session().challenge = challenge;
    return Reply{Bytes(challenge.begin(), challenge.end())};
}

Reply externalAuthenticate(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0) refuse(sw::kWrongP1P2);
    if (apdu.p2 != kPinKeyNumber) refuse(sw::kKeyNotFound);
    if (apdu.data.size() != kChallengeLength) refuse(sw::kWrongLength);
    SessionState& session = context.session();
    if (!session.challenge) refuse(sw::kConditionsNotSatisfied);
    const Challenge challenge = *session.challenge;
    session.challenge.reset();  // one cryptogram per challenge, right or wrong

    const ApplicationKeys& keys = context.applicationKeys();
    PinCounter user(context, kUserPin);
    PinCounter admin(context, kAdminPin);
    Verified& verified = session.applicationState();
    verified = Verified{};

    const auto matches = [&](const KeyRecord& record) {
        Bytes pin = pinFromKeyRecord(record);
        const Challenge expected = pinCryptogram(pin, challenge);
        OPENSSL_cleanse(pin.data(), pin.size());
        return CRYPTO_memcmp(expected.data(), apdu.data.data(), expected.size()) == 0;
    };
    if (!user.blocked() && matches(keys.userPin)) {
        verified.user = true;
        user.resetToFull();
        return {};
    }
    if (!admin.blocked() && matches(keys.adminPin)) {
        verified.admin = true;
        admin.resetToFull();
        return {};
    }
    // The token cannot tell which PIN the host meant: a miss costs the user PIN a try
    // while it has some left, then the administrator PIN.
    PinCounter& charged = user.blocked() ? admin : user;
    if (charged.blocked()) refuse(sw::kAuthBlocked);
    charged.decrement();
    if (charged.blocked()) refuse(sw::kAuthBlocked);
    refuse(sw::wrongPin(charged.left()));
}

Reply writeKey(CommandContext& context, const Apdu& apdu) {
    const std::uint8_t expectedP1 = context.generation() == 1 ? 0x01 : 0x80;
    if (apdu.p1 != expectedP1) refuse(sw::kWrongP1P2);
    if (apdu.p2 != kUserPin && apdu.p2 != kAdminPin) refuse(sw::kWrongP1P2);
    if (apdu.data.size() != kKeyRecordLength || apdu.le) refuse(sw::kWrongLength);
    if (apdu.data[0] != 0x00 || apdu.data[1] != 0x10) refuse(sw::kWrongData);
    const Verified& verified = context.session().applicationState();
    const bool allowed = apdu.p2 == kUserPin ? (verified.user || verified.admin) : verified.admin;
    if (!allowed) refuse(sw::kSecurityNotSatisfied);

    ApplicationKeys& keys = context.applicationKeys();
    KeyRecord& target = apdu.p2 == kUserPin ? keys.userPin : keys.adminPin;
    std::copy(apdu.data.begin(), apdu.data.end(), target.begin());
    context.markChanged();
    // Older tokens leave the counter to the host, which rewrites file 0020 itself.
    if (context.state().identity.pinCounterCommand) PinCounter(context, apdu.p2).resetToFull();
    return {};
}

Reply pinCounter(CommandContext& context, const Apdu& apdu) {
    if (!context.state().identity.pinCounterCommand) refuse(sw::kInsNotSupported);
    if (apdu.p1 != 0 || (apdu.p2 != kUserPin && apdu.p2 != kAdminPin)) refuse(sw::kWrongP1P2);
    if (!apdu.data.empty()) refuse(sw::kWrongLength);
    if (apdu.le != 2) refuse(sw::wrongLe(2));
    const PinCounter counter(context, apdu.p2);
    return Reply{Bytes{counter.allowed(), counter.left()}};
}

}  // namespace

void addSecurityCommands(CommandTable& table) {
    // A challenge and the cryptogram that answers it are enough to try PINs offline.
    table.add(0x00, 0x84, getChallenge, CommandSpec{.secrets = kSecretReply});
    table.add(0x00, 0x82, externalAuthenticate, CommandSpec{.secrets = kSecretCommand});
    table.add(0x80, 0xD4, writeKey, CommandSpec{.secrets = kSecretCommand});
    table.add(0xBF, 0x20, pinCounter);
}

}  // namespace vtoken
