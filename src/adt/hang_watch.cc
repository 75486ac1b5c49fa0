#include "adt/hang_watch.h"

#include <cstring>

#include "adt/log.h"
#include "platform/self.h"

namespace adt {
namespace {

// How long the checker waits for the watched thread to give its call stack.
constexpr uint32_t kStackCaptureLimitMs = 1000;

bool sameName(const char* a, const char* b) {
  if (a == b) return true;
  return a && b && std::strcmp(a, b) == 0;
}

}  // namespace

void OperationTrace::record(const char* name) {
  int head = head_.load(std::memory_order_relaxed);
  slots_[head].store(name, std::memory_order_relaxed);
  head = (head + 1) % kSlots;
  head_.store(head, std::memory_order_release);
  const int tail = tail_.load(std::memory_order_relaxed);
  if (head == tail) tail_.store((tail + 1) % kSlots, std::memory_order_release);
}

void OperationTrace::bindToCurrentThread() {
  threadId_.store(platform::currentThreadId(), std::memory_order_relaxed);
}

String OperationTrace::describe() const {
  String out;
  const int head = head_.load(std::memory_order_acquire);
  const char* run = nullptr;
  int repeats = 0;
  bool inRun = false;
  auto flush = [&] {
    if (!inRun) return;
    out += "\n\t";
    out += run ? run : "";
    if (repeats > 0) out += format("(x%d)", repeats);
  };
  for (int i = tail_.load(std::memory_order_acquire); i != head; i = (i + 1) % kSlots) {
    const char* name = slots_[i].load(std::memory_order_relaxed);
    if (inRun && sameName(name, run)) {
      ++repeats;
      continue;
    }
    flush();
    run = name;
    repeats = 0;
    inRun = true;
  }
  flush();
  return out;
}

OperationTrace& mainOperations() {
  static OperationTrace* trace = new OperationTrace;  // read by the checker until the very end
  return *trace;
}

CheckerThread::CheckerThread(OperationTrace& trace, uint32_t intervalMs, platform::Clock& clock)
    : trace_(trace), intervalMs_(intervalMs), clock_(clock) {}

CheckerThread::~CheckerThread() {
  stop();
  join();
}

void CheckerThread::run() {
  uint64_t hangStart = 0;  // 0: no hang reported
  uint64_t lastTurns = 0;
  while (!stopRequested()) {
    sleep(intervalMs_);
    const uint64_t now = clock_.nowMs();
    const uint64_t turns = trace_.turns();
    if (turns != lastTurns) {
      if (hangStart != 0) {
        log(LOG_WARN, format("! thread unhang (time:%llums)",
                             static_cast<unsigned long long>(now - hangStart)));
      }
      hangStart = 0;
      lastTurns = turns;
    } else if (hangStart == 0) {
      hangStart = now != 0 ? now : 1;
      reportHang();
    }
  }
}

void CheckerThread::reportHang() {
  String text = "! thread hang\noperations:";
  text += trace_.describe();
  text += "\nmain-thread callstack:";
  platform::StackTrace stack;
  if (platform::captureThreadStack(trace_.threadId(), stack, kStackCaptureLimitMs)) {
    text += stackText(stack, "\n\t", "");
  }
  log(LOG_WARN, text);
}

}  // namespace adt
