#include "vtoken/token.h"

#include <exception>

#include "vtoken/apdu.h"
#include "vtoken/atr.h"
#include "vtoken/command_families.h"

namespace vtoken {

namespace {

constexpr std::uint8_t kGetResponseCla = 0x00;
constexpr std::uint8_t kGetResponseIns = 0xC0;
constexpr std::size_t kHeaderLength = 4;

// GET RESPONSE hands out what a command left pending, in pieces of at most Le bytes.
Reply getResponse(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) refuse(sw::kWrongP1P2);
    if (!apdu.data.empty()) refuse(sw::kWrongLength);
    SessionState& session = context.session();
    SecretBytes& pending = session.pendingResponse;
    if (pending.empty()) refuse(sw::kConditionsNotSatisfied);
    const std::size_t wanted = apdu.le.value_or(256);
    if (wanted > pending.size()) refuse(sw::wrongLe(pending.size()));
    if (session.pendingSecret) context.markReplySecret();
    Reply reply;
    reply.data.assign(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(wanted));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(wanted));
    if (!pending.empty()) {
        reply.sw = sw::moreData(pending.size() >= 256 ? 0 : pending.size());
    }
    return reply;
}

bool isGetResponse(ByteView apdu) {
    return apdu.size() >= 2 && apdu[0] == kGetResponseCla && apdu[1] == kGetResponseIns;
}

}  // namespace

Token::Token(TokenState state, PersistFn persist)
    : state_(std::move(state)), committed_(state_), persist_(std::move(persist)) {
    registerCommandFamilies(commands_);
    commands_.add(kGetResponseCla, kGetResponseIns, getResponse);
}

ByteRange Token::secretCommandBytes(ByteView apdu) const {
    if (apdu.size() <= kHeaderLength) return {};
    const CommandTable::Entry* entry = commands_.find(apdu[0], apdu[1]);
    if (!entry || !entry->spec.secretsOf(apdu[2], apdu[3]).command) return {};
    try {
        const Apdu parsed = parseApdu(apdu, entry->spec.form);
        return {parsed.dataOffset, parsed.data.size()};
    } catch (const StatusError&) {
        // Where the data would be is unclear: hide everything after the header.
        return {kHeaderLength, apdu.size() - kHeaderLength};
    }
}

Token::Answer Token::process(ByteView raw) {
    // What a failing handler must not leave behind. The persistent state as it stood after the
    // last command that changed it is kept in committed_, so that only changing commands pay
    // for a copy; the volatile state is small and copied every time.
    SessionState sessionBefore = session_;

    // A pending response survives only until the next command other than GET RESPONSE.
    if (!isGetResponse(raw)) {
        session_.pendingResponse = {};
        session_.pendingSecret = false;
    }

    const CommandTable::Entry* entry =
        raw.size() >= kHeaderLength ? commands_.find(raw[0], raw[1]) : nullptr;
    const Secrets secrets = entry ? entry->spec.secretsOf(raw[2], raw[3]) : kNoSecrets;
    CommandContext context(state_, session_, overrides_, secrets, rsaKeys_.get());
    Reply reply;
    try {
        if (raw.size() < kHeaderLength) refuse(sw::kWrongLength);
        if (!entry) {
            refuse(commands_.knowsClass(raw[0]) ? sw::kInsNotSupported : sw::kClaNotSupported);
        }
        const Apdu apdu = parseApdu(raw, entry->spec.form);
        if (apdu.trailing != 0 && !entry->spec.toleratesTrailing) refuse(sw::kWrongLength);
        reply = entry->handler(context, apdu);
    } catch (const StatusError& refused) {
        reply = Reply{{}, refused.code()};
    } catch (...) {
        // A fault of the handler, not of the command: the token stays as it was.
        state_ = committed_;
        session_ = std::move(sessionBefore);
        Answer answer;
        putU16(answer.reply, sw::kNoPreciseDiagnosis);
        return answer;
    }
    if (context.changed()) {
        committed_ = state_;
        try {
            if (persist_) persist_(state_);
        } catch (...) {
            // The change stays in memory; the next successful save writes it.
            reply = Reply{{}, sw::kMemoryFailure};
        }
    }
    Answer answer;
    answer.secretReply = !reply.data.empty() && (secrets.reply || context.replySecret());
    answer.reply = std::move(reply.data);
    putU16(answer.reply, reply.sw);
    return answer;
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
