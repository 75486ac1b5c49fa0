#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "platform/fault.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace platform {
namespace {

constexpr size_t kAltStackSize = 128 * 1024;
constexpr unsigned kCallbackLimitSeconds = 10;

std::atomic<FaultCallback> g_callback{nullptr};
// Kernel id of the thread that is reporting a fault; 0 while none is.
std::atomic<pid_t> g_reporter{0};

// The alternate signal stack of one thread, released when the thread ends.
struct AltStack {
  void* memory = nullptr;
  ~AltStack() {
    if (!memory) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    free(memory);
  }
};
thread_local AltStack t_altStack;

const char* fpeName(int code) {
  switch (code) {
    case FPE_INTDIV:
      return "Divide by zero (int)";
    case FPE_FLTDIV:
      return "Divide by zero (float)";
    case FPE_INTOVF:
      return "EXCEPTION_INT_OVERFLOW";
    case FPE_FLTOVF:
      return "EXCEPTION_FLT_OVERFLOW";
    case FPE_FLTUND:
      return "EXCEPTION_FLT_UNDERFLOW";
    case FPE_FLTRES:
      return "EXCEPTION_FLT_INEXACT_RESULT";
    case FPE_FLTINV:
      return "EXCEPTION_FLT_INVALID_OPERATION";
    case FPE_FLTSUB:
      return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    default:
      return nullptr;
  }
}

// Fills `buf` with the fault's name; a pointer to it or to a constant text.
const char* faultName(int sig, const siginfo_t* info, const void* context, char* buf, size_t size) {
  switch (sig) {
    case SIGSEGV: {
      const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
#if defined(__x86_64__)
      const auto* uc = static_cast<const ucontext_t*>(context);
      const auto sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
      // A fault just below (or at) the stack pointer is a guard page hit: the stack is full.
      if (addr + 65536 > sp && addr < sp + 4096) return "Stack overflow";
      const bool write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
      snprintf(buf, size, "Access Violation(%s of address 0x%08lX)", write ? "write" : "read",
               static_cast<unsigned long>(addr));
#else
      (void)context;
      snprintf(buf, size, "Access Violation(access of address 0x%08lX)",
               static_cast<unsigned long>(addr));
#endif
      return buf;
    }
    case SIGBUS:
      return info->si_code == BUS_ADRALN ? "EXCEPTION_DATATYPE_MISALIGNMENT"
                                         : "EXCEPTION_IN_PAGE_ERROR";
    case SIGFPE:
      if (const char* name = fpeName(info->si_code)) return name;
      break;
    case SIGILL:
      if (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG) {
        return "EXCEPTION_PRIV_INSTRUCTION";
      }
      return "EXCEPTION_ILLEGAL_INSTRUCTION";
    default:
      break;
  }
  snprintf(buf, size, "System exception [error code:  %d]", sig);
  return buf;
}

void alarmHandler(int) { _exit(1); }

void faultHandler(int sig, siginfo_t* info, void* context) {
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  pid_t none = 0;
  if (!g_reporter.compare_exchange_strong(none, self)) {
    // A fault inside the report itself ends the process at once; a fault on another thread
    // waits for the first report, which ends the process.
    if (none == self) _exit(1);
    for (;;) pause();
  }
  struct sigaction sa {};
  sa.sa_handler = alarmHandler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);
  alarm(kCallbackLimitSeconds);

  static char nameBuf[128];
  FaultInfo fault{};
  fault.name = faultName(sig, info, context, nameBuf, sizeof nameBuf);
  fault.code = sig;
  fault.threadId = static_cast<uint32_t>(self);
  // Frames to leave out: captureStack itself, this handler, the signal return trampoline.
  fault.stack = captureStack(3);
  if (FaultCallback cb = g_callback.load()) cb(fault);
  _exit(1);
}

}  // namespace

void prepareThreadForFaults() {
  if (t_altStack.memory) return;
  void* memory = malloc(kAltStackSize);
  if (!memory) return;
  stack_t ss{};
  ss.ss_sp = memory;
  ss.ss_size = kAltStackSize;
  if (sigaltstack(&ss, nullptr) != 0) {
    free(memory);
    return;
  }
  t_altStack.memory = memory;
}

void installFaultHandlers(FaultCallback callback) {
  // Load the unwinder now; doing it for the first time inside the handler could fail.
  (void)captureStack(1);
  g_callback.store(callback);
  prepareThreadForFaults();
  struct sigaction sa {};
  sa.sa_sigaction = faultHandler;
  // SA_NODEFER: a fault inside the report re-enters the handler, which then ends the process.
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &sa, nullptr);
}

}  // namespace platform
