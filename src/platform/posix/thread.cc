#include "platform/thread.h"

#include <cxxabi.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/clock.h"
#include "platform/fault.h"
#include "platform/self.h"

namespace platform {
namespace {

struct StartBlock {
  void (*body)(void*);
  void* arg;
};

extern "C" void* threadTrampoline(void* p) {
  const StartBlock start = *static_cast<StartBlock*>(p);
  delete static_cast<StartBlock*>(p);
  prepareThreadForFaults();
  start.body(start.arg);
  return nullptr;
}

pthread_t toPthread(ThreadHandle h) { return reinterpret_cast<pthread_t>(h); }

// A wall-clock deadline `ms` from now (pthread_timedjoin_np measures on CLOCK_REALTIME).
timespec realtimeDeadline(uint32_t ms) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

// --- Stack capture of another thread -------------------------------------------------------
// One request at a time (captureMutex). The slot moves idle -> requested (by the caller) ->
// writing -> done (by the target's signal handler) -> idle (by the caller). A caller that gives
// up moves requested -> idle; a late handler then finds nothing requested and does nothing.
enum SlotState : int { kIdle = 0, kRequested = 1, kWriting = 2, kDone = 3 };

struct CaptureSlot {
  std::atomic<int> state{kIdle};
  std::atomic<pid_t> target{0};
  StackTrace trace;
};

CaptureSlot g_slot;
std::mutex g_captureMutex;
std::once_flag g_captureInstalled;

int captureSignal() { return SIGRTMIN + 7; }

void captureHandler(int, siginfo_t*, void*) {
  const int savedErrno = errno;
  if (static_cast<pid_t>(syscall(SYS_gettid)) == g_slot.target.load()) {
    int expected = kRequested;
    if (g_slot.state.compare_exchange_strong(expected, kWriting)) {
      // Frames to leave out: captureStack itself, this handler, the signal return trampoline.
      g_slot.trace = captureStack(3);
      g_slot.state.store(kDone);
    }
  }
  errno = savedErrno;
}

void installCaptureHandler() {
  // The first backtrace() loads the unwinder; do it here, not inside a signal handler.
  (void)captureStack(1);
  struct sigaction sa {};
  sa.sa_sigaction = captureHandler;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(captureSignal(), &sa, nullptr);
}

}  // namespace

bool startThread(void (*body)(void*), void* arg, ThreadHandle& out) {
  out = kNoThread;
  auto* start = new StartBlock{body, arg};
  pthread_t t{};
  const int rc = pthread_create(&t, nullptr, threadTrampoline, start);
  if (rc != 0) {
    delete start;
    errno = rc;
    return false;
  }
  out = reinterpret_cast<ThreadHandle>(t);
  return true;
}

JoinResult joinThread(ThreadHandle thread, uint32_t timeoutMs) {
  if (thread == kNoThread) return JoinResult::kFailed;
  // Waits in short slices and counts the time on the monotonic clock, so that a change of the
  // wall clock cannot stretch or cut the wait by more than one slice.
  constexpr uint32_t kSliceMs = 50;
  Clock& clock = systemClock();
  const uint64_t start = clock.nowMs();
  for (;;) {
    const uint64_t elapsed = clock.nowMs() - start;
    const uint32_t left = elapsed >= timeoutMs ? 0 : timeoutMs - static_cast<uint32_t>(elapsed);
    const timespec deadline = realtimeDeadline(left < kSliceMs ? left : kSliceMs);
    const int rc = pthread_timedjoin_np(toPthread(thread), nullptr, &deadline);
    if (rc == 0) return JoinResult::kEnded;
    if (rc != ETIMEDOUT) {
      errno = rc;
      return JoinResult::kFailed;
    }
    if (left == 0) return JoinResult::kTimedOut;
  }
}

bool forceEndThread(ThreadHandle thread, uint32_t graceMs) {
  if (thread == kNoThread) return false;
  pthread_cancel(toPthread(thread));
  switch (joinThread(thread, graceMs)) {
    case JoinResult::kEnded:
      return true;
    case JoinResult::kTimedOut:
      pthread_detach(toPthread(thread));
      return false;
    case JoinResult::kFailed:
      return false;
  }
  return false;
}

void detachThread(ThreadHandle thread) {
  if (thread != kNoThread) pthread_detach(toPthread(thread));
}

bool captureThreadStack(uint32_t threadId, StackTrace& out, uint32_t timeoutMs) {
  if (threadId == currentThreadId()) {
    out = captureStack(2);
    return true;
  }
  if (threadId == 0) return false;
  std::call_once(g_captureInstalled, installCaptureHandler);
  std::lock_guard<std::mutex> lock(g_captureMutex);
  g_slot.target.store(static_cast<pid_t>(threadId));
  g_slot.state.store(kRequested);
  if (syscall(SYS_tgkill, getpid(), static_cast<pid_t>(threadId), captureSignal()) != 0) {
    g_slot.state.store(kIdle);
    return false;
  }
  Clock& clock = systemClock();
  const uint64_t start = clock.nowMs();
  for (;;) {
    const int s = g_slot.state.load();
    if (s == kDone) break;
    if (s == kRequested && clock.nowMs() - start >= timeoutMs) {
      int expected = kRequested;
      if (g_slot.state.compare_exchange_strong(expected, kIdle)) return false;
      continue;  // the handler has just begun writing: it finishes without waiting on anything
    }
    sleepMs(1);
  }
  out = g_slot.trace;
  g_slot.state.store(kIdle);
  return true;
}

void rethrowIfThreadCancellation() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

NoCancelScope::NoCancelScope() : previous_(PTHREAD_CANCEL_ENABLE) {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_);
}

NoCancelScope::~NoCancelScope() { pthread_setcancelstate(previous_, nullptr); }

}  // namespace platform
