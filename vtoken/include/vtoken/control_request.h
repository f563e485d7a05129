#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "vtoken/bytes.h"

namespace vtoken {

// Requests of the control channel (one text line each); --fault takes the same text.
namespace control {
struct AnswerWith {
    std::string prefix;
    std::uint16_t sw;
    std::optional<unsigned> count;
    Bytes data = {};  // reply data sent before the status word
    unsigned at = 1;  // the first matching command hit: 1 the next one, K the K-th
};
struct SetGeneration {
    std::uint8_t generation;
};
struct SetMaxBlock {
    std::optional<std::uint32_t> maxBlock;  // nothing: the token does not answer the query
};
struct DropAfter {
    std::string prefix;
    unsigned at = 1;
};
struct Reinsert {};
struct Clear {};
struct Ping {};
}  // namespace control

using ControlRequest =
    std::variant<control::AnswerWith, control::SetGeneration, control::SetMaxBlock,
                 control::DropAfter, control::Reinsert, control::Clear, control::Ping>;

class ControlSyntaxError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws ControlSyntaxError with a message fit for the "error: ..." answer.
ControlRequest parseControlRequest(std::string_view line);

}  // namespace vtoken
