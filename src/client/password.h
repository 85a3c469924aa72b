// Where the password comes from: ZELFO_PASSWORD, a file, or a prompt
// without echo. Never from the command line.
#pragma once

#include <string>

#include "client/outcome.h"

// Reads the password. The environment variable's value is wiped from the
// process's environment block once copied.
WL_Outcome ReadPassword(const std::string& password_file, std::string* out);
