#pragma once

#include <functional>

#include "vtoken/bytes.h"
#include "vtoken/command_table.h"
#include "vtoken/session_state.h"
#include "vtoken/token_state.h"

namespace vtoken {

// The token itself, independent of how commands reach it. Not thread-safe: one front-end
// drives it at a time.
class Token {
  public:
    // Called after every command that changed persistent state, before the reply leaves.
    // A throwing sink makes the command answer 6581.
    using PersistFn = std::function<void(const TokenState&)>;

    explicit Token(TokenState state, PersistFn persist = {});

    // Reply data followed by the two status bytes.
    Bytes transmit(ByteView apdu);

    void powerOff();
    void reset();

    Bytes atr() const;

    CommandTable& commands() { return commands_; }
    RuntimeOverrides& overrides() { return overrides_; }
    const TokenState& state() const { return state_; }
    const SessionState& session() const { return session_; }

  private:
    Reply dispatch(ByteView apdu, CommandContext& context);

    TokenState state_;
    SessionState session_;
    RuntimeOverrides overrides_;
    CommandTable commands_;
    PersistFn persist_;
};

}  // namespace vtoken
