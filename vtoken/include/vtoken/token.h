#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "vtoken/bytes.h"
#include "vtoken/command_table.h"
#include "vtoken/session_state.h"
#include "vtoken/token_state.h"

namespace vtoken {

// Where in a raw command the secret bytes lie.
struct ByteRange {
    std::size_t offset = 0;
    std::size_t length = 0;
    bool empty() const { return length == 0; }
};

// The token itself, independent of how commands reach it. Not thread-safe: one front-end
// drives it at a time.
//
// This is the whole of the token's behaviour: front-ends, tests and fuzzers all come in
// through transmit()/process(). To process one command against a token in a given security
// state, build the state (provision() or loadStateFile()), construct a Token without a persist
// function (nothing is written anywhere), set session() as wanted (current DF, verified bits,
// registers) and call process().
class Token {
  public:
    // Called after every command that changed persistent state, before the reply leaves.
    // A throwing sink makes the command answer 6581.
    using PersistFn = std::function<void(const TokenState&)>;

    explicit Token(TokenState state, PersistFn persist = {});

    struct Answer {
        Bytes reply;               // reply data followed by the two status bytes
        bool secretReply = false;  // the reply data carries secrets
    };
    // Runs one command. A refusal is answered with its status word; any other failure inside
    // a handler (an exception of any kind) is answered 6F00 with the token's state, persistent
    // and volatile, as it was before the command.
    Answer process(ByteView apdu);
    // The reply of process(), for callers that do not trace.
    Bytes transmit(ByteView apdu) { return process(apdu).reply; }

    // The bytes of `apdu` that carry secrets: the data field of a command whose family declares
    // it secret (everything after the header when such a command is malformed), else nothing.
    ByteRange secretCommandBytes(ByteView apdu) const;

    void powerOff();
    void reset();

    Bytes atr() const;

    // Where generation takes RSA key pairs from; OpenSSL's generator unless set.
    void useRsaKeys(std::shared_ptr<RsaKeySource> source) { rsaKeys_ = std::move(source); }

    CommandTable& commands() { return commands_; }
    RuntimeOverrides& overrides() { return overrides_; }
    const TokenState& state() const { return state_; }
    const SessionState& session() const { return session_; }
    SessionState& session() { return session_; }

  private:
    TokenState state_;
    TokenState committed_;  // state_ as the last command that changed it left it
    SessionState session_;
    RuntimeOverrides overrides_;
    CommandTable commands_;
    PersistFn persist_;
    std::shared_ptr<RsaKeySource> rsaKeys_ = std::make_shared<FreshRsaKeys>();
};

}  // namespace vtoken
