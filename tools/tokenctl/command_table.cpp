#include "command_table.h"

namespace tokenctl {
namespace {
std::vector<Command>& table() {
    static std::vector<Command> t;
    return t;
}
}  // namespace

const std::vector<Command>& commands() {
    return table();
}

Registration::Registration(Command command) {
    table().push_back(command);
}

}  // namespace tokenctl
