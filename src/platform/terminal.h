// The controlling terminal, for command-line tools that ask for a password.
#pragma once
#include <string>

namespace platform {

// Writes `prompt` to the terminal and reads one line from it with echo off (the line end is
// not kept; echo is restored before returning). False when there is no terminal or the input
// ended before a line; the code is then platform::lastError().
bool readSecretLine(const std::string& prompt, std::string& out);

}  // namespace platform

namespace platform {

// Runs the editor named by the environment (VISUAL, then EDITOR, else "vi") on `path` in the
// foreground, on this terminal, and waits for it. Returns its exit code, or -1 when it could
// not be run or ended by a signal.
int runEditor(const std::string& path);

// Reads one line from standard input (the line end removed); false at its end.
bool readInputLine(std::string& out);

}  // namespace platform
