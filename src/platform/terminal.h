// The controlling terminal, for command-line tools that ask for a password.
#pragma once
#include <string>

namespace platform {

// Writes `prompt` to the terminal and reads one line from it with echo off (the line end is
// not kept; echo is restored before returning). False when there is no terminal or the input
// ended before a line; the code is then platform::lastError().
bool readSecretLine(const std::string& prompt, std::string& out);

}  // namespace platform
