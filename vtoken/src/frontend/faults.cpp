#include "vtoken/faults.h"

#include <algorithm>

namespace vtoken {

void FaultInjector::answerWith(std::string prefix, std::uint16_t sw, std::optional<unsigned> count,
                               Bytes data) {
    swRules_.push_back({std::move(prefix), sw, count, std::move(data)});
}

void FaultInjector::dropAfter(std::string prefix) {
    dropPrefix_ = std::move(prefix);
}

void FaultInjector::clear() {
    swRules_.clear();
    dropPrefix_.reset();
}

FaultInjector::Decision FaultInjector::decide(ByteView apdu) {
    const std::string hex = toHex(apdu);
    const auto matches = [&hex](const std::string& prefix) { return hex.starts_with(prefix); };
    if (dropPrefix_ && matches(*dropPrefix_)) {
        dropPrefix_.reset();
        return {Action::Drop, 0};
    }
    for (auto rule = swRules_.begin(); rule != swRules_.end(); ++rule) {
        if (!matches(rule->prefix)) continue;
        Decision decision{Action::Answer, rule->sw, rule->data};
        if (rule->remaining && --*rule->remaining == 0) swRules_.erase(rule);
        return decision;
    }
    return {};
}

}  // namespace vtoken
