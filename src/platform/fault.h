// Processor-level faults (bad memory access, division by zero, illegal instruction): reported
// once through a callback, then the process ends with exit code 1. There is no attempt to
// continue after a fault.
#pragma once
#include <cstdint>

#include "platform/stack.h"

namespace platform {

struct FaultInfo {
  // "Access Violation(read of address 0x00000010)", "Divide by zero (int)", "Stack overflow",
  // "EXCEPTION_ILLEGAL_INSTRUCTION", ...; an unknown fault gives
  // "System exception [error code:  <signal number>]".
  const char* name;
  // The signal number (the nearest thing to the system's exception code).
  int code;
  // Kernel id of the faulting thread (the callback runs on that thread).
  uint32_t threadId;
  // The faulting thread's stack, innermost (the faulting function) first.
  StackTrace stack;
};

// Called on the faulting thread, on its alternate signal stack. It may log (the process is
// ending anyway, so the usual limits of signal handlers are accepted), but it must not return
// into the faulting code: when it returns the process ends with exit code 1. A callback that
// does not return within 10 s (for instance one blocked on a lock that the faulting code held)
// is cut short the same way.
using FaultCallback = void (*)(const FaultInfo& fault);

// Installs the handlers for SIGSEGV, SIGBUS, SIGFPE and SIGILL and an alternate signal stack for
// the calling thread. Threads started by startThread get their own alternate stack; other
// threads can call prepareThreadForFaults(). Installing again replaces the callback.
void installFaultHandlers(FaultCallback callback);

// Gives the calling thread an alternate signal stack (kept until the thread ends), so that a
// stack overflow on it can still be reported. Idempotent.
void prepareThreadForFaults();

}  // namespace platform
