#include "agents/agent_samples.h"

#include <cmath>

namespace agents {

namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr uint64_t kMemoryUnit = 131072;

// Memory in use against the limit, in 1/128ths; a sample without a limit gives 0.
int64_t memoryRatio(const amp::PerformanceSample& s) {
  const uint64_t limit = s.nestedValue(5);
  if (limit == 0) return 0;
  // Scaled before dividing, so that a limit under 128 cannot divide by zero.
  return static_cast<int64_t>(uint64_t{s.nestedValue(1)} * 128 / limit);
}

int64_t daysToMs(double days) {
  const double ms = days * kMsPerDay;
  if (!std::isfinite(ms)) return 0;
  return static_cast<int64_t>(std::llround(ms));
}

// The values of one window, newest sample first.
struct Window {
  int64_t ratio = 0, used = 0, free = 0, requests = 0, gcMs = 0, timeMs = 0;
};

Window evaluate(const std::vector<const RingSample*>& samples) {
  Window w;
  if (samples.empty()) return w;
  const amp::PerformanceSample& newest = samples.front()->values;
  if (samples.size() == 1) {  // a lone sample stands for itself
    w.ratio = memoryRatio(newest);
    w.used = newest.nestedValue(1) / kMemoryUnit;
    w.free = newest.nestedValue(4) / kMemoryUnit;
    w.requests = newest.word(2);
    w.gcMs = daysToMs(newest.gcDays);
    w.timeMs = daysToMs(newest.wideDays(3));
    return w;
  }
  int64_t ratioSum = 0, usedSum = 0, freeSum = 0;
  for (const RingSample* s : samples) {
    ratioSum += memoryRatio(s->values);
    usedSum += s->values.nestedValue(1) / kMemoryUnit;
    freeSum += s->values.nestedValue(4) / kMemoryUnit;
  }
  const int64_t n = static_cast<int64_t>(samples.size());
  w.ratio = ratioSum / n;
  w.used = usedSum / n;
  w.free = freeSum / n;
  const amp::PerformanceSample& oldest = samples.back()->values;
  w.requests = static_cast<int64_t>(newest.word(2)) - static_cast<int64_t>(oldest.word(2));
  w.gcMs = daysToMs(newest.gcDays - oldest.gcDays);
  w.timeMs = daysToMs(newest.wideDays(3) - oldest.wideDays(3));
  return w;
}

}  // namespace

void SampleHistory::addRaw(RawSample sample) {
  if (raw_.size() >= kRawLimit) raw_.pop_front();
  raw_.push_back(std::move(sample));
}

void SampleHistory::completeNewest(uint32_t count) {
  if (!raw_.empty() && raw_.back().count == 0) raw_.back().count = count;
}

const RingSample& SampleHistory::newest() const {
  static const RingSample kNone{};
  return ring_.empty() ? kNone : ring_[index_];
}

void SampleHistory::store(double time, const amp::PerformanceSample& values) {
  // The ring grows with the samples held (a day of them is megabytes) and wraps once full.
  if (ring_.size() < kRingSize) {
    ring_.push_back(RingSample{time, values});
    index_ = ring_.size() - 1;
  } else {
    index_ = (index_ + 1) % kRingSize;
    ring_[index_] = RingSample{time, values};
  }
  if (stored_ < kRingSize) ++stored_;
}

LoadStatistics SampleHistory::compute(double nowDays) const {
  std::vector<const RingSample*> quarter, minute;  // newest first
  for (size_t k = 0; k < stored_; ++k) {
    const RingSample& s = ring_[(index_ + ring_.size() - k) % ring_.size()];
    if (s.time == 0 || s.time < nowDays - kQuarterDays) break;
    quarter.push_back(&s);
    if (s.time >= nowDays - kMinuteDays) minute.push_back(&s);
  }
  LoadStatistics st{};
  const Window m = evaluate(minute);
  const Window q = evaluate(quarter);
  st[2] = m.ratio;      // 3
  st[3] = m.used;       // 4
  st[4] = m.requests;   // 5
  st[6] = m.gcMs;       // 7
  st[9] = m.free;       // 10
  st[10] = q.used;      // 11
  st[11] = q.requests;  // 12
  st[12] = q.timeMs;    // 13
  st[13] = q.gcMs;      // 14
  st[14] = q.ratio;     // 15
  // 9: samples per minute over the quarter hour.
  if (minute.size() == 1) {
    st[8] = 10;
  } else if (quarter.size() >= 2) {
    const double span = quarter.front()->time - quarter.back()->time;
    if (span > 0) st[8] = static_cast<int64_t>(static_cast<double>(quarter.size()) / (span * 1440));
  }
  return st;
}

void ProcessSamples::add(const ProcessSample& sample) {
  if (samples_.size() >= kLimit) samples_.pop_front();
  samples_.push_back(sample);
}

int64_t ProcessSamples::processorSeconds(uint32_t pid, double nowDays) const {
  const ProcessSample* newest = nullptr;
  const ProcessSample* oldest = nullptr;
  for (auto it = samples_.rbegin(); it != samples_.rend(); ++it) {
    if (it->time < nowDays - SampleHistory::kQuarterDays) break;
    if (it->pid != pid) continue;
    if (!newest) newest = &*it;
    oldest = &*it;
  }
  if (!newest || newest == oldest) return 0;
  const uint64_t late = newest->userMs + newest->kernelMs;
  const uint64_t early = oldest->userMs + oldest->kernelMs;
  return late > early ? static_cast<int64_t>((late - early) / 1000) : 0;
}

uint32_t loadPenalty(const LoadStatistics& mine, const LoadStatistics& other) {
  uint32_t penalty = 0;
  for (size_t i = 0; i < mine.size(); ++i) {
    const bool worse = i == kSmallerIsWorse ? mine[i] < other[i] : mine[i] > other[i];
    if (worse) penalty += kLoadWeights[i];
  }
  return penalty;
}

}  // namespace agents
