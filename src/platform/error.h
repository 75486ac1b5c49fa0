// Operating-system error codes and their texts. errno never leaves the platform layer: callers
// get the code returned by lastError() and the human text for it.
#pragma once
#include <string>

namespace platform {

// The calling thread's last system error code (errno on POSIX).
int lastError();

// True when `code` says that something already exists at a path.
bool isAlreadyExists(int code);

// The system's message for a system error code, without trailing newline.
std::string systemErrorText(int code);

}  // namespace platform
