#include "adt/danger_mutex.h"

#include "adt/log.h"
#include "adt/thread.h"
#include "platform/clock.h"
#include "platform/self.h"

namespace adt {

DangerMutex::DangerMutex(const char* name) : name_(name) {}

void DangerMutex::lock(const char* tag) {
  if (mutex_.try_lock()) {
    ++depth_;
    owner_.store(platform::currentThreadId(), std::memory_order_relaxed);
    acquisitions_.fetch_add(1, std::memory_order_relaxed);
    holder_.store(tag, std::memory_order_relaxed);
    return;
  }

  platform::Clock& clock = platform::systemClock();
  const uint64_t start = clock.nowMs();
  const char* lockerB = holder_.load(std::memory_order_relaxed);
  const uint64_t countBefore = acquisitions_.load(std::memory_order_relaxed);
  const uint32_t ownerId = owner_.load(std::memory_order_relaxed);
  Thread* self = Thread::current();
  if (self) self->enterLockWait(name_);

  mutex_.lock();
  ++depth_;
  owner_.store(platform::currentThreadId(), std::memory_order_relaxed);
  const char* lockerA = holder_.load(std::memory_order_relaxed);
  holder_.store(tag, std::memory_order_relaxed);
  if (self) self->leaveLockWait();

  const uint64_t waited = clock.nowMs() - start;
  contended_.fetch_add(1, std::memory_order_relaxed);
  waitedMs_.fetch_add(waited, std::memory_order_relaxed);
  const uint64_t cnt = acquisitions_.load(std::memory_order_relaxed) - countBefore;
  acquisitions_.fetch_add(1, std::memory_order_relaxed);

  if (waited > kReportAfterMs) {
    const String line = format(
        "danger mutex %s lock: %s waiting:%llu owner thread:%u lockerB: %s lockerA: %s cnt: %d",
        name_, tag ? tag : "-", static_cast<unsigned long long>(waited), ownerId,
        lockerB ? lockerB : "-", lockerA ? lockerA : "-", static_cast<int>(cnt));
    writeToErrorLog(LOG_WARN, line.c_str());
  }
}

void DangerMutex::unlock() {
  if (--depth_ == 0) owner_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
}

DangerMutex::Stats DangerMutex::stats() const {
  Stats s;
  s.acquisitions = acquisitions_.load(std::memory_order_relaxed);
  s.contended = contended_.load(std::memory_order_relaxed);
  s.waitedMs = waitedMs_.load(std::memory_order_relaxed);
  return s;
}

}  // namespace adt
