#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vtoken/bytes.h"

namespace vtoken {

// Misbehaviour a test asks for. Prefixes are upper-case hex matched against the start of
// the command's hex.
class FaultInjector {
  public:
    enum class Action { Execute, Answer, Drop };
    struct Decision {
        Action action = Action::Execute;
        std::uint16_t sw = 0;
        Bytes data = {};
    };

    // Answer matching commands with `sw` (no data, not executed); `count` limits it to the
    // next `count` matches.
    void answerWith(std::string prefix, std::uint16_t sw, std::optional<unsigned> count,
                    Bytes data = {});
    // Pull the card after the next matching command arrives, without answering it.
    void dropAfter(std::string prefix);
    void clear();

    // Consumes a use of the rule that fires. A pending drop wins over a status-word rule.
    Decision decide(ByteView apdu);

  private:
    struct SwRule {
        std::string prefix;
        std::uint16_t sw;
        std::optional<unsigned> remaining;
        Bytes data;
    };
    std::vector<SwRule> swRules_;
    std::optional<std::string> dropPrefix_;
};

}  // namespace vtoken
