// Facts about the running process.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

uint32_t currentProcessId();
// A small number that identifies the calling thread within the process (the kernel thread id).
uint32_t currentThreadId();
// Absolute path of the running executable.
std::string executablePath();

}  // namespace platform
