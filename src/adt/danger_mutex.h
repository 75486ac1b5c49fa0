// Named lock ("danger mutex"): a recursive lock that keeps statistics and reports, straight
// into the error log file, every wait for it longer than a second, naming the code sites
// involved. The logging locks themselves are danger mutexes, which is why the report bypasses
// the main log.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

namespace adt {

class DangerMutex {
 public:
  // Waits longer than this are reported.
  static constexpr uint64_t kReportAfterMs = 1000;

  // `name` must outlive the lock (a static text).
  explicit DangerMutex(const char* name);
  DangerMutex(const DangerMutex&) = delete;
  DangerMutex& operator=(const DangerMutex&) = delete;

  // Acquires the lock; recursive for the same thread. `tag` names the code site (a static text)
  // and is recorded as the holder. Time is measured only when the lock is contended; the calling
  // adt::Thread shows state 3 while it waits.
  void lock(const char* tag);
  void unlock();

  struct Stats {
    uint64_t acquisitions = 0;  // every successful lock()
    uint64_t contended = 0;     // lock() calls that had to wait
    uint64_t waitedMs = 0;      // total time spent waiting
  };
  // Read without taking the lock: values may be a moment old.
  Stats stats() const;
  const char* name() const { return name_; }
  // The tag of the latest holder (kept after it released the lock), or null.
  const char* holder() const { return holder_.load(std::memory_order_relaxed); }

 private:
  std::recursive_mutex mutex_;
  const char* const name_;
  std::atomic<const char*> holder_{nullptr};
  std::atomic<uint32_t> owner_{0};  // thread id of the current owner, 0 when free
  int depth_ = 0;                   // recursion depth of the owner; guarded by mutex_
  std::atomic<uint64_t> acquisitions_{0};
  std::atomic<uint64_t> contended_{0};
  std::atomic<uint64_t> waitedMs_{0};
};

// Scoped holder of a DangerMutex.
class DangerLock {
 public:
  DangerLock(DangerMutex& mutex, const char* tag) : mutex_(mutex) { mutex_.lock(tag); }
  ~DangerLock() { mutex_.unlock(); }
  DangerLock(const DangerLock&) = delete;
  DangerLock& operator=(const DangerLock&) = delete;

 private:
  DangerMutex& mutex_;
};

}  // namespace adt
