// Worker threads with a cooperative stop, crash reporting and a process-wide list of the
// running ones.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "adt/text.h"
#include "platform/stack.h"
#include "platform/thread.h"

namespace adt {

class Thread;

// Called by a thread at each of its checkpoints (on that thread).
class ThreadWatcher {
 public:
  virtual ~ThreadWatcher() = default;
  virtual void onCheckpoint(Thread& thread) = 0;
};

// Process-wide hook called on every new adt::Thread before it runs anything.
using ThreadStartHook = void (*)(Thread& thread);

// The call stack as text, one frame per line: each frame is preceded by `before` and followed
// by `after` (for instance "\tat " and "\r\n").
String stackText(const platform::StackTrace& stack, const char* before, const char* after);

// Base of the worker threads. A subclass implements run() and calls checkpoint() (or
// Thread::sleep) regularly; stop() makes the next checkpoint throw adt::ThreadDeath, which ends
// the thread quietly. Exceptions leaving run() are logged at ERR and end the thread.
//
// Ownership: the creating thread owns the object and must stop() and join() it before
// destroying it (a subclass does so in its own destructor, since run() uses the subclass).
// The base destructor stops and joins as a last resort.
// Thread safety: start/stop/join/describe may be called from any thread; run() and the
// callbacks run on the new thread.
class Thread {
 public:
  // States.
  static constexpr int kCreated = 0;
  static constexpr int kStarting = 1;
  static constexpr int kRunning = 2;
  static constexpr int kWaitingForLock = 3;
  static constexpr int kEnded = 4;
  // How long join() waits before it ends the thread by force.
  static constexpr uint32_t kJoinLimitMs = 5000;
  // Slice of Thread::sleep between two checkpoints.
  static constexpr uint32_t kSleepSliceMs = 500;

  Thread() = default;
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Appends " id: <thread id> type: <type> op: <op>".
  virtual void describe(String& out) const;

  // Creates the native thread if it was never started; a second call does nothing. Throws
  // adt::LastError when the system cannot create it.
  void start();
  // Requests the stop; the thread ends at its next checkpoint.
  void stop() { stopRequested_.store(true); }
  // Waits up to the join limit for the thread to end. If it does not, logs at ERR
  // "abnormal thread termination" CR LF + its call stack + describe(), ends it by force (see
  // platform::forceEndThread) and removes it from the thread list. Returns at once for a thread
  // that was never started, was already joined, or is the calling thread.
  void join();

  // The thread's stop point: counts the checkpoint, throws adt::ThreadDeath when a stop was
  // requested, otherwise calls every watcher. Called on this thread only.
  virtual void checkpoint();

  void addWatcher(ThreadWatcher* watcher);
  void removeWatcher(ThreadWatcher* watcher);

  // The adt::Thread running on the calling thread, or null (the main thread, foreign threads).
  static Thread* current();
  // Sleeps `ms` in slices of at most 500 ms with a checkpoint of the current thread (if any)
  // before each slice, so a stop request ends a sleeping worker within one slice.
  static void sleep(uint32_t ms);
  // Installs the process-wide start hook (null removes it).
  static void setStartHook(ThreadStartHook hook);
  // describe() of every listed thread, newest first, one per line ("\r\n" after each).
  static String describeAll();

  // Called from a platform fault callback (platform/fault.h) on the faulting thread: when that
  // is an adt::Thread, marks it crashed and logs at ERR "thread terminated by system exception"
  // (or "system exception in ThreadFinalize" when it faulted in onFinish) CR LF, the fault name
  // CR LF, its call stack and describe(); returns true. Returns false on other threads.
  static bool reportFault(const char* faultName, const platform::StackTrace& stack);

  int op() const { return op_.load(); }
  int type() const { return type_.load(); }
  bool stopRequested() const { return stopRequested_.load(); }
  bool started() const { return started_.load(); }
  bool crashed() const { return crashed_.load(); }
  int state() const { return state_.load(); }
  uint32_t threadId() const { return threadId_.load(); }
  uint64_t checkpoints() const { return checkpoints_.load(); }
  // While state() is 3: the name of the lock waited for; otherwise null.
  const char* waitingFor() const { return waitingFor_.load(); }

  // Test hook: a shorter join limit keeps tests of the forced end fast.
  void setJoinLimitMs(uint32_t ms) { joinLimitMs_ = ms; }

  // Used by the named locks: state 3 and the lock name while waiting, back to 2 after.
  void enterLockWait(const char* lockName);
  void leaveLockWait();

 protected:
  // Called on the new thread before run(); default does nothing.
  virtual void onStart() {}
  // The thread's work.
  virtual void run() = 0;
  // Called on the thread after run() returned or threw, if onStart() completed.
  virtual void onFinish() {}

  void setOp(int op) { op_.store(op); }
  void setType(int type) { type_.store(type); }

 private:
  friend struct ThreadProcedure;
  static void procedure(void* self);

  std::atomic<int> op_{0};
  std::atomic<int> type_{0};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> crashed_{false};
  std::atomic<bool> finishing_{false};  // inside onFinish (for the fault report)
  std::atomic<int> state_{kCreated};
  std::atomic<const char*> waitingFor_{nullptr};
  platform::ThreadHandle handle_ = platform::kNoThread;  // guarded by handleMutex_
  std::mutex handleMutex_;
  std::atomic<uint32_t> threadId_{0};
  std::atomic<uint64_t> checkpoints_{0};
  uint32_t joinLimitMs_ = kJoinLimitMs;
  Thread* next_ = nullptr;  // process-wide list; guarded by the threads mutex
  std::mutex watchersMutex_;
  std::vector<ThreadWatcher*> watchers_;
};

}  // namespace adt
