#include "vtoken/command_families.h"

namespace vtoken {

void registerCommandFamilies(CommandTable& table) {
    addFileCommands(table);
    addSecurityCommands(table);
    addDeviceCommands(table);
    addCipherCommands(table);
}

}  // namespace vtoken
