// Shared between the POSIX process files; not part of the platform interface.
#pragma once
#include "platform/process.h"

namespace platform::posix {

// Forks and executes the child described by `options`. The child's pid, or -1 with errno set
// to the parent's or the child's failure code; a child that failed has been reaped.
int spawnChild(const SpawnOptions& options);

// The soft descriptor limit the process started with, once raiseDescriptorLimit has raised it
// (0 while it has not): children get it back, as programs expect the usual limit.
unsigned long inheritedDescriptorLimit();

}  // namespace platform::posix
