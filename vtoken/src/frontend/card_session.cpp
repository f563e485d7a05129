#include "vtoken/card_session.h"

#include <type_traits>

namespace vtoken {

CardSession::Outcome CardSession::exchange(ByteView apdu) {
    if (trace_) trace_->command(apdu, token_.secretCommandBytes(apdu));
    const FaultInjector::Decision decision = faults_.decide(apdu);
    Outcome outcome;
    bool secretReply = false;
    switch (decision.action) {
        case FaultInjector::Action::Drop:
            outcome.dropped = true;
            return outcome;
        case FaultInjector::Action::Answer:
            outcome.reply = decision.data;
            putU16(outcome.reply, decision.sw);
            break;
        case FaultInjector::Action::Execute: {
            Token::Answer answer = token_.process(apdu);
            outcome.reply = std::move(answer.reply);
            secretReply = answer.secretReply;
            break;
        }
    }
    if (trace_) trace_->reply(outcome.reply, secretReply);
    return outcome;
}

void CardSession::apply(const ControlRequest& request) {
    std::visit(
        [this](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, control::AnswerWith>) {
                faults_.answerWith(r.prefix, r.sw, r.count, r.data, r.at);
            } else if constexpr (std::is_same_v<R, control::SetGeneration>) {
                token_.overrides().generation = r.generation;
            } else if constexpr (std::is_same_v<R, control::SetMaxBlock>) {
                if (r.maxBlock) token_.overrides().maxBlock = *r.maxBlock;
                token_.overrides().largestBlockQuery = r.maxBlock.has_value();
            } else if constexpr (std::is_same_v<R, control::DropAfter>) {
                faults_.dropAfter(r.prefix, r.at);
            } else if constexpr (std::is_same_v<R, control::Clear>) {
                faults_.clear();
                token_.overrides() = RuntimeOverrides{};
            }
            // Ping needs nothing; Reinsert belongs to the front-end.
        },
        request);
}

}  // namespace vtoken
