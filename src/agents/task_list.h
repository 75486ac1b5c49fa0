// The tasks an agent reports in its telemetry: the current list with the hang marks the manager
// keeps on it, the decoding dictionary that names operations, requests and threads, and the
// history of tasks that have finished. One per Agent; main thread only.
#pragma once
#include <cstdint>
#include <deque>
#include <vector>

#include "adt/text.h"
#include "agents/amp.h"

namespace agents {

// One task as reported, plus the manager's hang mark.
struct TaskRecord {
  amp::Task task;
  uint64_t hangTick = 0;  // since when the pulse stands still; 0 while it moves

  // Appends one line ended by "\n": "id:.., type:.., op:.., pulse:.." and the optional parts;
  // `longForm` appends the stack text after it. `now` gives the "hang:<ms>ms" part.
  void describe(adt::String& text, bool longForm, uint64_t now) const;
};

// A finished task, stamped with the local time (fractional days) at which it left the list.
struct FinishedTask {
  double finishTime = 0;
  TaskRecord record;
};

// Thresholds of the hang rule.
struct HangRule {
  // Tasks with an operation code at or above this are never taken as hung.
  static constexpr int32_t kNeverHungOp = 20000;
  // Below this operation code a task is hung after kShortTimeoutMs as well.
  static constexpr int32_t kShortOpLimit = 10000;
  static constexpr uint64_t kShortTimeoutMs = 600000;
};

class TaskList {
 public:
  // At most this many finished tasks are kept; the oldest goes first.
  static constexpr size_t kHistoryLimit = 1025;

  TaskList() = default;
  TaskList(const TaskList&) = delete;
  TaskList& operator=(const TaskList&) = delete;

  // Replaces the current list and applies the hang rule: a task whose pulse has not moved since
  // the previous list keeps (or gets) its hang mark; the first task whose mark is older than
  // `longOperationTimeoutMs` (or, below op 10000, than 600000 ms) becomes the hung one.
  // Operation codes from 20000 up never hang. Tasks missing from the new list go to the history
  // stamped with `localDays`.
  void update(std::vector<amp::Task> tasks, uint64_t now, double localDays,
              int64_t longOperationTimeoutMs);

  // Forgets the current tasks (they go to the history, stamped with `localDays`), their hang
  // marks and the dictionary. A new process reuses task ids and pulses: marks of the previous
  // process would make its tasks look hung at once.
  void clear(double localDays);

  // Replaces the decoding dictionary (the raw bytes of tag 5); `present` false: none received.
  void setDictionary(bool present, adt::Bytes bytes);

  // All current tasks in the short form.
  void describe(adt::String& text, uint64_t now) const;
  // "расшифровка:\n" and the dictionary as text, when one was received. A malformed dictionary
  // adds what could be read and then "(<reader error>)\n".
  void describeDecoding(adt::String& text) const;

  const std::vector<TaskRecord>& tasks() const { return tasks_; }
  // The hung task, or null.
  const TaskRecord* hungTask() const { return hungIndex_ ? &tasks_[hungIndex_ - 1] : nullptr; }
  // 1-based position of the first hung task of the current list, 0 when none.
  size_t hungIndex() const { return hungIndex_; }
  uint64_t updateTick() const { return updateTick_; }
  double updateTime() const { return updateTime_; }
  const std::deque<FinishedTask>& history() const { return history_; }
  bool hasDictionary() const { return hasDictionary_; }
  const adt::Bytes& dictionary() const { return dictionary_; }

 private:
  std::vector<TaskRecord> tasks_;
  size_t hungIndex_ = 0;
  uint64_t updateTick_ = 0;
  double updateTime_ = 0;  // local time of the last update, fractional days
  bool hasDictionary_ = false;
  adt::Bytes dictionary_;
  std::deque<FinishedTask> history_;
};

}  // namespace agents
