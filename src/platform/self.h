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

// The process's descriptor limit: the soft limit and the hard limit it may be raised to.
struct DescriptorLimit {
  uint64_t soft = 0;
  uint64_t hard = 0;
};
DescriptorLimit descriptorLimit();
// Raises the soft descriptor limit to the hard one (as a service manager does for the servers
// it starts). Returns the limit in force afterwards.
DescriptorLimit raiseDescriptorLimit();

// The machine's own name as the system knows it (no name service is asked, so this never
// waits on the network); empty when it cannot be read. At most 1024 characters.
std::string machineName();

}  // namespace platform
