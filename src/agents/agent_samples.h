// The performance samples an agent reports in its telemetry: the raw history (as received, for
// the statistics requests of clients) and the ring of decoded samples from which the load
// statistics are computed. One per Agent; main thread only.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "adt/text.h"
#include "agents/amp.h"

namespace agents {

// The fifteen load statistics (index 0 holds statistic 1).
using LoadStatistics = std::array<int64_t, 15>;

// One raw sample as the agent sent it.
struct RawSample {
  double time = 0;  // local time, fractional days
  uint32_t pid = 0;
  adt::Bytes raw;
  uint32_t count = 0;  // tag 11; 0 while the sample is still open
};

// One entry of the sample ring.
struct RingSample {
  double time = 0;  // local time, fractional days; 0: never written
  amp::PerformanceSample values;
};

class SampleHistory {
 public:
  // Entries of the sample ring, and the most raw samples kept (the oldest goes first).
  static constexpr size_t kRingSize = 65536;
  static constexpr size_t kRawLimit = 65536;
  // The windows of the statistics, in days: 60 s and 15 min.
  static constexpr double kMinuteDays = 1.0 / 1440;
  static constexpr double kQuarterDays = 1.0 / 96;

  SampleHistory() = default;
  SampleHistory(const SampleHistory&) = delete;
  SampleHistory& operator=(const SampleHistory&) = delete;

  void addRaw(RawSample sample);
  // Tag 11 of a later datagram: gives the newest raw sample its count while it is still open.
  void completeNewest(uint32_t count);
  // The newest ring entry (time 0 before the first store).
  const RingSample& newest() const;
  // Stores the newest sample; once kRingSize are held, in place of the oldest.
  void store(double time, const amp::PerformanceSample& values);

  // Statistics 3 to 15 from the ring samples of the last 15 minutes before `nowDays`
  // (statistics 1, 2, 6 and 8 are left 0: the caller fills 1, 2 and 8).
  LoadStatistics compute(double nowDays) const;

  const std::deque<RawSample>& raw() const { return raw_; }
  size_t stored() const { return stored_; }
  // Ring entries allocated (grows with the samples stored, up to kRingSize).
  size_t ringCapacity() const { return ring_.capacity(); }

 private:
  std::vector<RingSample> ring_;  // newest at index_; as many entries as samples, up to kRingSize
  size_t index_ = 0;
  size_t stored_ = 0;  // stores so far, capped at kRingSize
  std::deque<RawSample> raw_;
};

// One 5-second sample the manager takes of an agent's process: its processor times and memory.
struct ProcessSample {
  double time = 0;  // local time, fractional days
  uint32_t pid = 0;
  uint64_t userMs = 0, kernelMs = 0;
  uint64_t workingSetKiB = 0, peakWorkingSetKiB = 0, pageFileKiB = 0;
};

// The manager's own samples of an agent's processes (all runs, oldest first), bounded: the
// oldest goes first once kLimit are kept (a day at one sample every 5 seconds).
class ProcessSamples {
 public:
  static constexpr size_t kLimit = 17280;

  void add(const ProcessSample& sample);
  const std::deque<ProcessSample>& all() const { return samples_; }
  // Statistic 8: seconds of processor time process `pid` used over the last 15 minutes before
  // `nowDays`, from its oldest sample inside the window to its newest; 0 with fewer than two.
  int64_t processorSeconds(uint32_t pid, double nowDays) const;

 private:
  std::deque<ProcessSample> samples_;
};

// How much each statistic weighs in the load score (index 0: statistic 1).
inline constexpr std::array<uint32_t, 15> kLoadWeights = {50, 50, 100, 50, 50, 5,  75, 30,
                                                          50, 50, 50,  11, 1,  21, 100};
// Statistic 9 (samples per minute) counts against an instance when it is smaller; every other
// one when it is greater.
inline constexpr size_t kSmallerIsWorse = 8;

// The weights this instance collects against one other: the sum of kLoadWeights[i] for every
// statistic in which `mine` is worse than `other`.
uint32_t loadPenalty(const LoadStatistics& mine, const LoadStatistics& other);

}  // namespace agents
