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

    // Answer matching commands with `data` and `sw`, without executing them; `count` limits it
    // to that many matches. The first `at - 1` matching commands pass untouched (and are not
    // counted), so that a test can hit the K-th of a sequence.
    void answerWith(std::string prefix, std::uint16_t sw, std::optional<unsigned> count,
                    Bytes data = {}, unsigned at = 1);
    // Pull the card after the `at`-th matching command from now arrives, without answering it.
    void dropAfter(std::string prefix, unsigned at = 1);
    void clear();

    // Consumes a use of the rule that fires and counts a match of every rule still letting
    // matches pass. A pending drop wins over a status-word rule.
    Decision decide(ByteView apdu);

  private:
    struct SwRule {
        std::string prefix;
        std::uint16_t sw;
        std::optional<unsigned> remaining;
        Bytes data;
        unsigned skip;  // matching commands still to let pass
    };
    struct DropRule {
        std::string prefix;
        unsigned skip;
    };
    std::vector<SwRule> swRules_;
    std::optional<DropRule> drop_;
};

}  // namespace vtoken
