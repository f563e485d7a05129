#pragma once

#include "vtoken/bytes.h"
#include "vtoken/control_request.h"
#include "vtoken/faults.h"
#include "vtoken/token.h"
#include "vtoken/trace.h"

namespace vtoken {

// What every front-end talks to: the token behind the trace and the fault injector.
class CardSession {
  public:
    CardSession(Token& token, TraceWriter* trace) : token_(token), trace_(trace) {}

    struct Outcome {
        bool dropped = false;  // the card was pulled: send nothing, close the link
        Bytes reply;
    };
    Outcome exchange(ByteView apdu);

    // Applies a control request; Reinsert is the front-end's business and is ignored here.
    void apply(const ControlRequest& request);

    Token& token() { return token_; }

  private:
    Token& token_;
    TraceWriter* trace_;
    FaultInjector faults_;
};

}  // namespace vtoken
