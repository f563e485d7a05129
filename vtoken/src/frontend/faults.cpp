#include "vtoken/faults.h"

#include <algorithm>

namespace vtoken {

void FaultInjector::answerWith(std::string prefix, std::uint16_t sw, std::optional<unsigned> count,
                               Bytes data, unsigned at) {
    swRules_.push_back({std::move(prefix), sw, count, std::move(data), at > 0 ? at - 1 : 0});
}

void FaultInjector::dropAfter(std::string prefix, unsigned at) {
    drop_ = DropRule{std::move(prefix), at > 0 ? at - 1 : 0};
}

void FaultInjector::clear() {
    swRules_.clear();
    drop_.reset();
}

FaultInjector::Decision FaultInjector::decide(ByteView apdu) {
    const std::string hex = toHex(apdu);
    const auto matches = [&hex](const std::string& prefix) { return hex.starts_with(prefix); };
    bool dropNow = false;
    if (drop_ && matches(drop_->prefix)) {
        if (drop_->skip == 0) {
            drop_.reset();
            dropNow = true;
        } else {
            --drop_->skip;
        }
    }
    std::optional<Decision> answer;
    for (auto rule = swRules_.begin(); rule != swRules_.end();) {
        if (!matches(rule->prefix)) {
            ++rule;
            continue;
        }
        if (rule->skip > 0) {
            --rule->skip;
            ++rule;
            continue;
        }
        if (dropNow || answer) {
            ++rule;  // another rule or the drop takes this command
            continue;
        }
        answer = Decision{Action::Answer, rule->sw, rule->data};
        if (rule->remaining && --*rule->remaining == 0) {
            rule = swRules_.erase(rule);
        } else {
            ++rule;
        }
    }
    if (dropNow) return {Action::Drop, 0};
    if (answer) return *answer;
    return {};
}

}  // namespace vtoken
