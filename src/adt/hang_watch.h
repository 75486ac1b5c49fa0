// Hang watch of the main thread: the main loop records the operations it starts and counts its
// turns; CheckerThread notices when the count stops moving and reports the latest operations
// and the main thread's call stack, then reports again when the loop moves on.
#pragma once
#include <atomic>
#include <cstdint>

#include "adt/thread.h"
#include "platform/clock.h"

namespace adt {

// Ring of the latest operation names and the loop turn counter of one watched thread.
// Written by the watched thread only; read by the checker without a lock (a report may show an
// entry that is being replaced at that moment).
class OperationTrace {
 public:
  static constexpr int kSlots = 33;  // one slot stays free: at most 32 names are kept

  OperationTrace() = default;
  OperationTrace(const OperationTrace&) = delete;
  OperationTrace& operator=(const OperationTrace&) = delete;

  // Records the start of an operation; `name` must be a static text. The oldest entry is
  // overwritten when the ring is full.
  void record(const char* name);
  // Counts one completed turn of the watched loop.
  void countTurn() { turns_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t turns() const { return turns_.load(std::memory_order_relaxed); }

  // Makes the calling thread the watched one (its call stack goes into the reports).
  void bindToCurrentThread();
  // Kernel id of the watched thread, 0 when none was bound.
  uint32_t threadId() const { return threadId_.load(std::memory_order_relaxed); }

  // The names from oldest to newest, each run of equal consecutive names once as
  // "\n\t<name>", followed by "(x<further repetitions>)" when it repeats.
  String describe() const;

 private:
  std::atomic<const char*> slots_[kSlots] = {};
  std::atomic<int> head_{0};
  std::atomic<int> tail_{0};
  std::atomic<uint64_t> turns_{0};
  std::atomic<uint32_t> threadId_{0};
};

// The process's main-thread trace (process-wide by nature: there is one main thread).
OperationTrace& mainOperations();
// Called by the main thread once, before its loop starts.
inline void registerMainThread() { mainOperations().bindToCurrentThread(); }
// Records a main-thread operation ("serverProcess", "clientConnect", ...).
inline void recordOperation(const char* name) { mainOperations().record(name); }
// Counts one turn of the main loop.
inline void countMainLoopTurn() { mainOperations().countTurn(); }

// Watches an OperationTrace: wakes every interval; when no turn was counted since the previous
// wake-up it logs one WARN entry "! thread hang\noperations:" + the trace + "\nmain-thread
// callstack:" + the watched thread's stack (one "\n\t<frame>" per frame), and nothing more while
// the loop stays stuck; when the loop moves again it logs "! thread unhang (time:<ms>ms)".
// Owned by the server; started at start-up and stopped (stop + join) at shutdown.
class CheckerThread : public Thread {
 public:
  static constexpr uint32_t kIntervalMs = 1000;

  explicit CheckerThread(OperationTrace& trace = mainOperations(),
                         uint32_t intervalMs = kIntervalMs,
                         platform::Clock& clock = platform::systemClock());
  ~CheckerThread() override;

 protected:
  void run() override;

 private:
  void reportHang();

  OperationTrace& trace_;
  const uint32_t intervalMs_;
  platform::Clock& clock_;
};

}  // namespace adt
