#include "adt/thread.h"

#include <algorithm>
#include <exception>

#include "adt/exception.h"
#include "adt/log.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/self.h"

namespace adt {
namespace {

// After a forced end, how long to wait for the thread to unwind before leaving it detached.
constexpr uint32_t kForcedEndGraceMs = 1000;
// How long join() waits for the stuck thread to give its call stack.
constexpr uint32_t kStackCaptureLimitMs = 1000;
// A wait for the threads mutex longer than this is reported.
constexpr uint64_t kListWaitReportMs = 2000;

// The process-wide list of running threads, newest first, under the "threads mutex".
struct ThreadList {
  std::mutex mutex;
  Thread* head = nullptr;
};
ThreadList& threadList() {
  static ThreadList* list = new ThreadList;  // never destroyed: threads may end during exit
  return *list;
}

// Takes the threads mutex, trying first; a long wait is reported once it is over.
class ThreadListLock {
 public:
  ThreadListLock() : mutex_(threadList().mutex) {
    if (mutex_.try_lock()) return;
    platform::Clock& clock = platform::systemClock();
    const uint64_t start = clock.nowMs();
    mutex_.lock();
    const uint64_t waited = clock.nowMs() - start;
    if (waited > kListWaitReportMs) {
      log(LOG_WARN,
          format("Running thread mutex locked time:%llu", static_cast<unsigned long long>(waited)));
    }
  }
  ~ThreadListLock() { mutex_.unlock(); }
  ThreadListLock(const ThreadListLock&) = delete;
  ThreadListLock& operator=(const ThreadListLock&) = delete;

 private:
  std::mutex& mutex_;
};

std::atomic<ThreadStartHook> g_startHook{nullptr};
// The adt::Thread running on this thread while it is in the list; read by current() and by the
// fault report (no lock: the fault report may run while the faulting thread holds one).
thread_local Thread* t_current = nullptr;

}  // namespace

// Steps of the thread procedure that need the private parts.
struct ThreadProcedure {
  static void addToList(Thread* t) {
    ThreadListLock lock;
    t->next_ = threadList().head;
    threadList().head = t;
  }

  static void removeFromList(Thread* t) {
    ThreadListLock lock;
    for (Thread** p = &threadList().head; *p; p = &(*p)->next_) {
      if (*p == t) {
        *p = t->next_;
        t->next_ = nullptr;
        return;
      }
    }
  }

  // Ends the thread's membership of the list also when it is unwound by a forced end.
  struct Membership {
    Thread* t;
    ~Membership() {
      t_current = nullptr;
      removeFromList(t);
      t->state_.store(Thread::kEnded);
    }
  };

  static void logFailure(Thread* t, const char* what) {
    String text = what;
    t->describe(text);
    log(LOG_ERR, text);
  }

  // Runs `step`, logging what escapes it. ThreadDeath ends the thread quietly.
  template <typename Step>
  static void guarded(Thread* t, Step step) {
    try {
      step();
    } catch (const ThreadDeath&) {
    } catch (const std::exception& e) {
      log(LOG_ERR, e.what());
    } catch (...) {
      platform::rethrowIfThreadCancellation();
      logFailure(t, "thread terminated by unknown exception");
    }
  }
};

String stackText(const platform::StackTrace& stack, const char* before, const char* after) {
  String out;
  for (const String& frame : platform::symbolize(stack)) {
    out += before;
    out += frame;
    out += after;
  }
  return out;
}

Thread::~Thread() {
  stop();
  join();
}

void Thread::describe(String& out) const {
  out += format(" id: %u type: %d op: %d", threadId(), type(), op());
}

void Thread::procedure(void* self) {
  Thread* t = static_cast<Thread*>(self);
  t->threadId_.store(platform::currentThreadId());
  if (t->stopRequested_.load()) {
    t->state_.store(kEnded);
    return;
  }
  ThreadProcedure::addToList(t);
  ThreadProcedure::Membership membership{t};
  t_current = t;
  if (ThreadStartHook hook = g_startHook.load()) {
    ThreadProcedure::guarded(t, [&] { hook(*t); });
  }
  t->state_.store(kRunning);
  ThreadProcedure::guarded(t, [&] {
    t->onStart();
    t->started_.store(true);
    t->run();
  });
  if (t->started_.load()) {
    t->finishing_.store(true);
    ThreadProcedure::guarded(t, [&] { t->onFinish(); });
    t->finishing_.store(false);
  }
}

void Thread::start() {
  std::lock_guard<std::mutex> lock(handleMutex_);
  int expected = kCreated;
  if (!state_.compare_exchange_strong(expected, kStarting)) return;
  if (!platform::startThread(&Thread::procedure, this, handle_)) {
    const int code = platform::lastError();
    state_.store(kCreated);
    throw LastError("Thread::start:pthread_create()", code);
  }
}

void Thread::join() {
  std::lock_guard<std::mutex> lock(handleMutex_);
  if (handle_ == platform::kNoThread) return;
  if (threadId_.load() == platform::currentThreadId()) return;
  const platform::JoinResult r = platform::joinThread(handle_, joinLimitMs_);
  if (r != platform::JoinResult::kTimedOut) {
    handle_ = platform::kNoThread;
    return;
  }
  String text = "abnormal thread termination\r\n";
  platform::StackTrace stack;
  if (platform::captureThreadStack(threadId_.load(), stack, kStackCaptureLimitMs)) {
    text += stackText(stack, "\tat ", "\r\n");
  }
  describe(text);
  log(LOG_ERR, text);
  const bool ended = platform::forceEndThread(handle_, kForcedEndGraceMs);
  handle_ = platform::kNoThread;
  ThreadProcedure::removeFromList(this);
  if (ended) state_.store(kEnded);
}

void Thread::checkpoint() {
  checkpoints_.fetch_add(1);
  if (stopRequested_.load()) throw ThreadDeath();
  std::vector<ThreadWatcher*> watchers;
  {
    std::lock_guard<std::mutex> lock(watchersMutex_);
    if (watchers_.empty()) return;
    watchers = watchers_;
  }
  for (ThreadWatcher* w : watchers) w->onCheckpoint(*this);
}

void Thread::addWatcher(ThreadWatcher* watcher) {
  std::lock_guard<std::mutex> lock(watchersMutex_);
  watchers_.push_back(watcher);
}

void Thread::removeWatcher(ThreadWatcher* watcher) {
  std::lock_guard<std::mutex> lock(watchersMutex_);
  watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), watcher), watchers_.end());
}

Thread* Thread::current() { return t_current; }

void Thread::sleep(uint32_t ms) {
  uint32_t remaining = ms;
  do {
    if (Thread* t = current()) t->checkpoint();
    const uint32_t slice = std::min(remaining, kSleepSliceMs);
    platform::sleepMs(slice);
    remaining -= slice;
  } while (remaining > 0);
}

void Thread::setStartHook(ThreadStartHook hook) { g_startHook.store(hook); }

String Thread::describeAll() {
  String out;
  ThreadListLock lock;
  for (const Thread* t = threadList().head; t; t = t->next_) {
    t->describe(out);
    out += "\r\n";
  }
  return out;
}

bool Thread::reportFault(const char* faultName, const platform::StackTrace& stack) {
  Thread* t = t_current;
  if (!t) return false;
  t->crashed_.store(true);
  String text = t->finishing_.load() ? "system exception in ThreadFinalize\r\n"
                                     : "thread terminated by system exception\r\n";
  text += faultName ? faultName : "";
  text += "\r\n";
  text += stackText(stack, "\tat ", "\r\n");
  t->describe(text);
  log(LOG_ERR, text);
  return true;
}

void Thread::enterLockWait(const char* lockName) {
  waitingFor_.store(lockName);
  state_.store(kWaitingForLock);
}

void Thread::leaveLockWait() {
  state_.store(kRunning);
  waitingFor_.store(nullptr);
}

}  // namespace adt
