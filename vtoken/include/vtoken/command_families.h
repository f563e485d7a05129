#pragma once

#include "vtoken/command_table.h"

namespace vtoken {

// Each command family lives in a file of its own and registers its handlers, their length
// forms and their secret parts here. A new family adds its function below and one line to
// registerCommandFamilies().
void addFileCommands(CommandTable& table);      // file_commands.cpp
void addSecurityCommands(CommandTable& table);  // security_commands.cpp
void addDeviceCommands(CommandTable& table);    // device_commands.cpp
void addCipherCommands(CommandTable& table);    // cipher_commands.cpp

// Every family, in the order above. GET RESPONSE is the token's own (token.cpp).
void registerCommandFamilies(CommandTable& table);

}  // namespace vtoken
