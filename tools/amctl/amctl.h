// amctl: the administrator's command line. Parses the options, logs in, sends one command to
// the manager and prints what it answered.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace amctl {

// Exit codes, one per kind of outcome (also listed by --help).
enum ExitCode {
  kOk = 0,
  kUsage = 1,         // wrong options or command
  kConnection = 2,    // the manager cannot be reached, or the connection failed
  kLoginFailed = 3,   // wrong user name or password, or no password given
  kPrivileges = 4,    // the user may not do this (0x1002)
  kUnknownAgent = 5,  // no such agent (0x1010)
  kAgentLocked = 6,   // the agent is locked from another address (0x1011)
  kAgentStopped = 7,  // the agent stopped while waiting for it (0x1012)
  kRefused = 8,       // any other error reply of the manager
  kNoAnswer = 9,      // the manager closed the connection without the expected answer
};

// A failure with its exit code and message; run() prints it and exits with the code.
struct Failure {
  int code;
  std::string message;
};

[[noreturn]] inline void fail(int code, const std::string& message) {
  throw Failure{code, message};
}

// The exit code for an error reply's code (0 when it had none).
int exitCodeFor(int32_t replyCode);

// Runs amctl with argv[1..] and the environment's AM_PASSWORD (may be null); output goes to
// stdout, messages to stderr. Returns the exit code.
int run(const std::vector<std::string>& args, const char* envPassword);

// The --help text.
std::string helpText();

}  // namespace amctl
