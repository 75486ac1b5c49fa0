// Native threads: _beginthreadex, timed joins on the thread handle, and the stack of another
// thread read from its context while it is suspended.
#include "platform/thread.h"

#include <process.h>

#include "platform/fault.h"
#include "platform/self.h"
#include "platform/windows/win.h"

namespace platform {
namespace {

struct StartBlock {
  void (*body)(void*);
  void* arg;
};

unsigned __stdcall threadTrampoline(void* p) {
  const StartBlock start = *static_cast<StartBlock*>(p);
  delete static_cast<StartBlock*>(p);
  prepareThreadForFaults();
  start.body(start.arg);
  return 0;
}

HANDLE toNative(ThreadHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

bool startThread(void (*body)(void*), void* arg, ThreadHandle& out) {
  out = kNoThread;
  auto* block = new StartBlock{body, arg};
  const uintptr_t h = _beginthreadex(nullptr, 0, threadTrampoline, block, 0, nullptr);
  if (h == 0) {
    delete block;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  out = static_cast<ThreadHandle>(h);
  return true;
}

JoinResult joinThread(ThreadHandle thread, uint32_t timeoutMs) {
  if (thread == kNoThread) return JoinResult::kFailed;
  const DWORD r = WaitForSingleObject(toNative(thread), timeoutMs);
  if (r == WAIT_TIMEOUT) return JoinResult::kTimedOut;
  CloseHandle(toNative(thread));
  return r == WAIT_OBJECT_0 ? JoinResult::kEnded : JoinResult::kFailed;
}

// There is no safe way to end a thread from outside here (TerminateThread can leave the heap's
// lock held and hang the whole process), and no cancellation points: the thread gets graceMs to
// end by itself and is left running otherwise.
bool forceEndThread(ThreadHandle thread, uint32_t graceMs) {
  if (thread == kNoThread) return false;
  const DWORD r = WaitForSingleObject(toNative(thread), graceMs);
  CloseHandle(toNative(thread));
  return r == WAIT_OBJECT_0;
}

void detachThread(ThreadHandle thread) {
  if (thread != kNoThread) CloseHandle(toNative(thread));
}

bool captureThreadStack(uint32_t threadId, StackTrace& out, uint32_t) {
  if (threadId == currentThreadId()) {
    out = captureStack(2);
    return true;
  }
  HANDLE t = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                        FALSE, threadId);
  if (!t) return false;
  if (SuspendThread(t) == static_cast<DWORD>(-1)) {
    CloseHandle(t);
    return false;
  }
  CONTEXT context{};
  context.ContextFlags = CONTEXT_FULL;
  bool ok = GetThreadContext(t, &context) != 0;
  out = StackTrace();
  if (ok) {
#if defined(__x86_64__)
    // Unwinding by the function tables: no allocation, no lock the suspended thread may hold.
    while (out.count < StackTrace::kMaxFrames && context.Rip) {
      out.frames[out.count++] = reinterpret_cast<void*>(context.Rip);
      DWORD64 base = 0;
      PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
      if (!function) {
        // A leaf function: the return address is on top of the stack.
        context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
        context.Rsp += 8;
        continue;
      }
      void* handlerData = nullptr;
      DWORD64 frame = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData,
                       &frame, nullptr);
    }
#else
    // The frame-pointer chain of 32-bit code.
    out.frames[out.count++] = reinterpret_cast<void*>(context.Eip);
    auto* frame = reinterpret_cast<void**>(context.Ebp);
    while (out.count < StackTrace::kMaxFrames && frame && frame[1]) {
      out.frames[out.count++] = frame[1];
      auto* next = static_cast<void**>(frame[0]);
      if (next <= frame) break;
      frame = next;
    }
#endif
  }
  ResumeThread(t);
  CloseHandle(t);
  return ok;
}

// No cancellation unwinding exists here: nothing to rethrow.
void rethrowIfThreadCancellation() {}

NoCancelScope::NoCancelScope() : previous_(0) {}
NoCancelScope::~NoCancelScope() = default;

}  // namespace platform
