#include "agents/task_list.h"

#include <exception>
#include <unordered_map>

namespace agents {

void TaskRecord::describe(adt::String& text, bool longForm, uint64_t now) const {
  const amp::Task& t = task;
  text += adt::format("id:%u, type:%d, op:%d, pulse:%u", t.id, t.type, t.op, t.pulse);
  if (t.thread) text += adt::format(", thread:%u", t.thread);
  if (t.rq) text += adt::format(", rq:%d, rq_time:%u", t.rq, t.rqTime);
  if (t.user != 0) text += adt::format(", user:%g", t.user);
  if (t.blocked) text += ", blocked";
  if (hangTick) text += ", hang:" + std::to_string(now - hangTick) + "ms";
  if (!t.contextMessage.empty()) text += ", contextMessage(" + t.contextMessage + ")";
  text += "\n";
  if (longForm && !t.stack.empty()) {
    text += t.stack;
    if (t.stack.back() != '\n') text += "\n";  // keeps the next line its own
  }
}

void TaskList::update(std::vector<amp::Task> tasks, uint64_t now, double localDays,
                      int64_t longOperationTimeoutMs) {
  std::unordered_map<uint32_t, const TaskRecord*> previous;
  for (const TaskRecord& r : tasks_) previous.emplace(r.task.id, &r);

  std::vector<TaskRecord> fresh;
  fresh.reserve(tasks.size());
  std::unordered_map<uint32_t, bool> kept;
  hungIndex_ = 0;
  for (amp::Task& task : tasks) {
    TaskRecord r;
    r.task = std::move(task);
    const auto it = previous.find(r.task.id);
    if (it != previous.end()) {
      kept[r.task.id] = true;
      const TaskRecord& before = *it->second;
      if (before.task.pulse != r.task.pulse) {
        r.hangTick = 0;
      } else if (before.hangTick == 0) {
        r.hangTick = now;
      } else {
        r.hangTick = before.hangTick;
        const uint64_t still = now - r.hangTick;
        const bool overLong =
            longOperationTimeoutMs >= 0 && still > static_cast<uint64_t>(longOperationTimeoutMs);
        if (hungIndex_ == 0 && r.task.op < HangRule::kNeverHungOp &&
            (overLong ||
             (r.task.op < HangRule::kShortOpLimit && still > HangRule::kShortTimeoutMs))) {
          hungIndex_ = fresh.size() + 1;
        }
      }
    }
    fresh.push_back(std::move(r));
  }
  for (TaskRecord& r : tasks_) {
    if (kept.count(r.task.id)) continue;
    if (history_.size() >= kHistoryLimit) history_.pop_front();
    history_.push_back({localDays, std::move(r)});
  }
  tasks_ = std::move(fresh);
  updateTick_ = now;
  updateTime_ = localDays;
}

void TaskList::clear(double localDays) {
  for (TaskRecord& r : tasks_) {
    if (history_.size() >= kHistoryLimit) history_.pop_front();
    history_.push_back({localDays, std::move(r)});
  }
  tasks_.clear();
  hungIndex_ = 0;
  hasDictionary_ = false;
  dictionary_.clear();
}

void TaskList::setDictionary(bool present, adt::Bytes bytes) {
  hasDictionary_ = present;
  dictionary_ = std::move(bytes);
}

void TaskList::describe(adt::String& text, uint64_t now) const {
  for (const TaskRecord& r : tasks_) r.describe(text, false, now);
}

void TaskList::describeDecoding(adt::String& text) const {
  if (!hasDictionary_) return;
  try {
    amp::describeDictionary(dictionary_.data(), dictionary_.size(), text);
  } catch (const std::exception& e) {
    // The agent's own words are not to be trusted to be well-formed; the report goes on.
    text += "(";
    text += e.what();
    text += ")\n";
  }
}

}  // namespace agents
