#include "vtoken/token.h"

#include <exception>

#include "vtoken/apdu.h"
#include "vtoken/atr.h"

namespace vtoken {

namespace {

constexpr std::uint8_t kGetResponseCla = 0x00;
constexpr std::uint8_t kGetResponseIns = 0xC0;

// GET RESPONSE hands out what a command left pending, in pieces of at most Le bytes.
Reply getResponse(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) refuse(sw::kWrongP1P2);
    if (!apdu.data.empty()) refuse(sw::kWrongLength);
    Bytes& pending = context.session().pendingResponse;
    if (pending.empty()) refuse(sw::kConditionsNotSatisfied);
    const std::size_t wanted = apdu.le.value_or(256);
    if (wanted > pending.size()) refuse(sw::wrongLe(pending.size()));
    Reply reply;
    reply.data.assign(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(wanted));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(wanted));
    if (!pending.empty()) {
        reply.sw = sw::moreData(pending.size() >= 256 ? 0 : pending.size());
    }
    return reply;
}

}  // namespace

Token::Token(TokenState state, PersistFn persist)
    : state_(std::move(state)), persist_(std::move(persist)) {
    addFileCommands(commands_);
    addSecurityCommands(commands_);
    addDeviceCommands(commands_);
    commands_.add(kGetResponseCla, kGetResponseIns, getResponse);
}

Reply Token::dispatch(ByteView raw, CommandContext& context) {
    if (raw.size() < 4) refuse(sw::kWrongLength);
    const CommandTable::Entry* entry = commands_.find(raw[0], raw[1]);
    if (!entry) refuse(commands_.knowsClass(raw[0]) ? sw::kInsNotSupported : sw::kClaNotSupported);
    const Apdu apdu = parseApdu(raw, entry->spec.form);
    if (apdu.trailing != 0 && !entry->spec.toleratesTrailing) refuse(sw::kWrongLength);
    return entry->handler(context, apdu);
}

Bytes Token::transmit(ByteView apdu) {
    // A pending response survives only until the next command other than GET RESPONSE.
    const bool isGetResponse =
        apdu.size() >= 2 && apdu[0] == kGetResponseCla && apdu[1] == kGetResponseIns;
    if (!isGetResponse) session_.pendingResponse.clear();

    CommandContext context(state_, session_, overrides_);
    Reply reply;
    try {
        reply = dispatch(apdu, context);
    } catch (const StatusError& refused) {
        reply = Reply{{}, refused.code()};
    }
    if (context.changed() && persist_) {
        try {
            persist_(state_);
        } catch (const std::exception&) {
            // The change stays in memory; the next successful save writes it.
            reply = Reply{{}, sw::kMemoryFailure};
        }
    }
    Bytes out = std::move(reply.data);
    putU16(out, reply.sw);
    return out;
}

void Token::powerOff() {
    session_ = SessionState{};
}

void Token::reset() {
    session_ = SessionState{};
}

Bytes Token::atr() const {
    return makeAtr(state_.identity.serial);
}

}  // namespace vtoken
