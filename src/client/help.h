// The manual pages of the client: the whole program and each command.
#pragma once

#include <string>

// The text for zelfo --help (command empty) or zelfo COMMAND --help; empty
// for an unknown command.
std::string HelpText(const std::string& command);
