// Structured exceptions that nothing handles (bad memory access, division by zero, illegal
// instruction, stack overflow): reported once through the callback, then exit code 1.
#include "platform/fault.h"

#include <atomic>
#include <cstdio>

#include "platform/windows/win.h"

namespace platform {
namespace {

std::atomic<FaultCallback> g_callback{nullptr};
std::atomic<bool> g_faulting{false};

const char* faultName(const EXCEPTION_RECORD& r, char* buf, size_t size) {
  switch (r.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION: {
      const ULONG_PTR how = r.NumberParameters >= 2 ? r.ExceptionInformation[0] : 0;
      const ULONG_PTR address = r.NumberParameters >= 2 ? r.ExceptionInformation[1] : 0;
      std::snprintf(buf, size, "Access Violation(%s of address 0x%08llX)",
                    how == 1 ? "write" : how == 8 ? "execute" : "read",
                    static_cast<unsigned long long>(address));
      return buf;
    }
    case EXCEPTION_STACK_OVERFLOW: return "Stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "Divide by zero (int)";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return "Divide by zero (float)";
    case EXCEPTION_INT_OVERFLOW: return "EXCEPTION_INT_OVERFLOW";
    case EXCEPTION_FLT_OVERFLOW: return "EXCEPTION_FLT_OVERFLOW";
    case EXCEPTION_FLT_UNDERFLOW: return "EXCEPTION_FLT_UNDERFLOW";
    case EXCEPTION_FLT_INEXACT_RESULT: return "EXCEPTION_FLT_INEXACT_RESULT";
    case EXCEPTION_FLT_INVALID_OPERATION: return "EXCEPTION_FLT_INVALID_OPERATION";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case EXCEPTION_IN_PAGE_ERROR: return "EXCEPTION_IN_PAGE_ERROR";
    case EXCEPTION_PRIV_INSTRUCTION: return "EXCEPTION_PRIV_INSTRUCTION";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "EXCEPTION_ILLEGAL_INSTRUCTION";
    default:
      std::snprintf(buf, size, "System exception [error code:  %lu]",
                    static_cast<unsigned long>(r.ExceptionCode));
      return buf;
  }
}

// A callback that hangs (on a lock the faulting code held) is cut short after 10 s.
DWORD WINAPI watchdog(void*) {
  Sleep(10000);
  TerminateProcess(GetCurrentProcess(), 1);
  return 0;
}

LONG WINAPI onUnhandled(EXCEPTION_POINTERS* e) {
  // A second fault while reporting the first ends the process at once.
  if (g_faulting.exchange(true)) TerminateProcess(GetCurrentProcess(), 1);
  if (HANDLE w = CreateThread(nullptr, 64 * 1024, watchdog, nullptr, 0, nullptr)) CloseHandle(w);
  static char nameBuf[128];
  FaultInfo fault{};
  fault.name = faultName(*e->ExceptionRecord, nameBuf, sizeof nameBuf);
  fault.code = static_cast<int>(e->ExceptionRecord->ExceptionCode);
  fault.threadId = GetCurrentThreadId();
  fault.stack.frames[0] = e->ExceptionRecord->ExceptionAddress;
  fault.stack.count = 1;
  const StackTrace rest = captureStack(2);
  for (int i = 0; i < rest.count && fault.stack.count < StackTrace::kMaxFrames; ++i) {
    fault.stack.frames[fault.stack.count++] = rest.frames[i];
  }
  if (FaultCallback callback = g_callback.load()) callback(fault);
  TerminateProcess(GetCurrentProcess(), 1);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void installFaultHandlers(FaultCallback callback) {
  g_callback.store(callback);
  // No error boxes: a fault must end the process, not wait for somebody to click.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(onUnhandled);
  prepareThreadForFaults();
}

// Room kept below the guard page, so that the report of a stack overflow still has a stack.
void prepareThreadForFaults() {
  ULONG guarantee = 64 * 1024;
  SetThreadStackGuarantee(&guarantee);
}

}  // namespace platform
