// Native threads: start, timed join, forced end, and the call stack of another thread.
// Everything that decides (time limits, what to log) lives above this layer.
#pragma once
#include <cstdint>

#include "platform/stack.h"

namespace platform {

// Opaque handle of a native thread; kNoThread when there is none.
using ThreadHandle = uintptr_t;
constexpr ThreadHandle kNoThread = 0;

// Starts a native thread (default stack size) running body(arg). The new thread gets an
// alternate signal stack so that a fault report can run even after a stack overflow.
// False on failure (code in lastError()); `out` is then kNoThread.
bool startThread(void (*body)(void*), void* arg, ThreadHandle& out);

enum class JoinResult { kEnded, kTimedOut, kFailed };

// Waits up to timeoutMs for the thread to end and releases its handle when it has ended.
// After kTimedOut the handle stays valid; after kFailed it must not be used again.
JoinResult joinThread(ThreadHandle thread, uint32_t timeoutMs);

// Ends a thread that ignores its stop request. A thread cannot be killed safely from outside
// on POSIX, so this is the closest safe equivalent: the thread is cancelled (it ends at its next
// cancellation point - a sleep, a blocking read or write, a wait - unwinding its stack so that
// destructors release what it holds), then joined for up to graceMs. A thread that is still
// running after that (for instance one spinning without any cancellation point) is detached
// and left to run. Always releases the handle. True when the thread has ended.
bool forceEndThread(ThreadHandle thread, uint32_t graceMs);

// Releases the handle of a thread that will not be joined.
void detachThread(ThreadHandle thread);

// Captures the call stack of the thread with kernel id `threadId` (see currentThreadId() in
// platform/self.h) of this process, one frame per entry, innermost first. Works by interrupting
// the thread with a real-time signal whose handler records its stack into a shared slot; the
// caller waits up to timeoutMs for it. A blocking call of the target that the signal interrupts
// may report EINTR (poll, nanosleep); the callers of such calls must treat EINTR as a retry.
// For the calling thread itself the stack is captured directly. False when the thread does not
// exist or did not answer in time.
bool captureThreadStack(uint32_t threadId, StackTrace& out, uint32_t timeoutMs);

// Call inside a catch (...) block that does not rethrow: rethrows the unwinding that ends a
// thread by forceEndThread (it must not be swallowed), returns for every other exception.
void rethrowIfThreadCancellation();

// While alive, forceEndThread cannot interrupt the calling thread (it is ended when the scope
// closes and the thread reaches its next cancellation point). Used around work that must not be
// torn half-way, such as writing a log line.
class NoCancelScope {
 public:
  NoCancelScope();
  ~NoCancelScope();
  NoCancelScope(const NoCancelScope&) = delete;
  NoCancelScope& operator=(const NoCancelScope&) = delete;

 private:
  int previous_;
};

}  // namespace platform
