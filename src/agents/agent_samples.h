// The performance samples an agent reports in its telemetry: the raw history (as received, for
// the statistics requests of clients) and the ring of decoded samples from which the load
// statistics are computed. One per Agent; main thread only.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "adt/chunk_queue.h"
#include "adt/text.h"
#include "agents/amp.h"

namespace agents {

// The fifteen load statistics (index 0 holds statistic 1).
using LoadStatistics = std::array<int64_t, 15>;

// One raw sample as the agent sent it (a copy made for a reader of the history).
struct RawSample {
  double time = 0;  // local time, fractional days
  uint32_t pid = 0;
  adt::Bytes raw;
  uint32_t count = 0;  // tag 11; 0 while the sample is still open
};

// The figures of one sample that the load statistics read; the rest stays in its raw bytes.
struct SampleFigures {
  double time = 0;        // local time, fractional days; 0: never written
  double gcDays = 0;      // cumulative garbage-collection time (sub-tag 3 of the nested block)
  double workDays = 0;    // the 8-byte time value of sub-tag 3
  uint32_t requests = 0;  // sub-tag 2
  uint32_t used = 0, free = 0, limit = 0;  // nested values 1, 4 and 5

  static SampleFigures of(double time, const amp::PerformanceSample& values);
};

// The sums of the figures a window averages: the memory ratio, and the used and free memory in
// 128 KiB units. A sample is added with sign 1 and taken out with -1.
struct FigureSums {
  int64_t ratio = 0, used = 0, free = 0;
  void add(const SampleFigures& f, int64_t sign = 1);
};

class SampleHistory;

// The raw samples of a history, oldest first, each read as a RawSample copy.
class RawSamples {
 public:
  class Iterator {
   public:
    Iterator(const SampleHistory& h, size_t i) : h_(&h), i_(i) {}
    RawSample operator*() const;
    Iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator!=(const Iterator& o) const { return i_ != o.i_; }

   private:
    const SampleHistory* h_;
    size_t i_;
  };
  explicit RawSamples(const SampleHistory& h) : h_(h) {}
  size_t size() const;
  RawSample operator[](size_t oldestFirst) const;
  Iterator begin() const { return Iterator(h_, 0); }
  Iterator end() const { return Iterator(h_, size()); }

 private:
  const SampleHistory& h_;
};

// The samples of one agent, oldest first, up to kRingSize: for each its figures, pid and count,
// and its raw bytes once, in one byte store shared by all samples. It holds only what it has
// received: about 64 bytes plus the raw bytes (some 150 with the demo agent) a sample, in 4 KiB
// blocks of which at most the first and the last are partly used.
class SampleHistory {
 public:
  // The most samples kept (the oldest goes first), for the statistics and the raw history alike.
  static constexpr size_t kRingSize = 65536;
  static constexpr size_t kRawLimit = kRingSize;
  // The windows of the statistics, in days: 60 s and 15 min.
  static constexpr double kMinuteDays = 1.0 / 1440;
  static constexpr double kQuarterDays = 1.0 / 96;

  SampleHistory() = default;
  SampleHistory(const SampleHistory&) = delete;
  SampleHistory& operator=(const SampleHistory&) = delete;

  // Keeps one sample of process `pid` received at local time `time`: its raw bytes as they
  // came (sample.raw) and its figures (sample.values); once kRingSize are held, the oldest goes.
  void store(double time, uint32_t pid, const amp::Sample& sample);
  // Tag 11 of a later datagram: gives the newest sample its count while it is still open.
  void completeNewest(uint32_t count);
  // The figures of the newest sample (time 0 before the first store).
  const SampleFigures& newest() const;
  // True when `raw` is byte for byte the newest sample's raw bytes.
  bool sameAsNewest(const adt::Bytes& raw) const;

  // Statistics 3 to 15 from the samples of the last 15 minutes before `nowDays` (statistics 1,
  // 2, 6 and 8 are left 0: the caller fills 1, 2 and 8). A window holds the newest samples back
  // to the first one older than it (or never written). Each telemetry asks for them, so the
  // windows' sums are kept from one call to the next and only the samples that entered or left
  // are counted, while the samples' times only grow and `nowDays` does not go back; otherwise
  // (a clock set back) the windows are counted again from the samples, with the same result.
  LoadStatistics compute(double nowDays) const;
  // The same statistics, always counted from the samples (what compute() must agree with).
  LoadStatistics computeByWalk(double nowDays) const;

  RawSamples raw() const { return RawSamples(*this); }
  size_t stored() const { return entries_.size(); }
  // Bytes held for the samples (their records and raw bytes), the unused end of their last
  // blocks included.
  size_t heldBytes() const { return entries_.heldBytes() + bytes_.heldBytes(); }

 private:
  friend class RawSamples;
  struct Entry {
    SampleFigures figures;
    uint32_t pid = 0;
    uint32_t count = 0;
    uint32_t rawSize = 0;
    uint64_t rawPos = 0;  // of its first raw byte, counted since the first byte ever stored
  };
  RawSample rawAt(size_t oldestFirst) const;
  const Entry& at(uint64_t seq) const { return entries_[static_cast<size_t>(seq - entriesBase_)]; }
  uint64_t endSeq() const { return entriesBase_ + entries_.size(); }

  // One window's samples: sequence numbers [first, the end of the counted samples), with the
  // sums of the averaged figures, for the bound `since` it was last moved to.
  struct Window {
    uint64_t first = 0;
    double since = 0;
    FigureSums sums;
    // Drops the oldest samples while they are older than `bound`.
    void moveTo(double bound, const SampleHistory& h, uint64_t end);
  };
  // Brings both windows to the bounds; false when they must be counted from the samples.
  bool advanceWindows(double quarterSince, double minuteSince) const;
  void countWindows(double quarterSince, double minuteSince) const;
  LoadStatistics fromWindows() const;

  adt::ChunkQueue<Entry> entries_;  // oldest first
  uint64_t entriesBase_ = 0;        // sequence number of entries_.front()
  adt::ChunkQueue<uint8_t> bytes_;  // raw bytes of entries_, in their order
  uint64_t bytesBase_ = 0;          // position of bytes_.front()
  // The windows of the last compute(), valid while `windowsKept_`: they hold the samples up to
  // `countedEnd_`, whose times, from each window's first on, never fall.
  mutable Window quarter_, minute_;
  mutable uint64_t countedEnd_ = 0;
  mutable bool windowsKept_ = false;
};

// One 5-second sample the manager takes of an agent's process: its processor times and memory
// (in KiB: 32 bits hold up to 4 TiB; more is kept as the most they hold). 40 bytes.
struct ProcessSample {
  double time = 0;  // local time, fractional days
  uint32_t pid = 0;
  uint32_t workingSetKiB = 0;
  uint64_t userMs = 0, kernelMs = 0;
  uint32_t peakWorkingSetKiB = 0, pageFileKiB = 0;

  static uint32_t kib(uint64_t value) {
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
  }
};
static_assert(sizeof(ProcessSample) == 40);

// The manager's own samples of an agent's processes (all runs, oldest first), bounded: the
// oldest goes first once kLimit are kept (a day at one sample every 5 seconds).
class ProcessSamples {
 public:
  static constexpr size_t kLimit = 17280;

  void add(const ProcessSample& sample);
  const adt::ChunkQueue<ProcessSample>& all() const { return samples_; }
  size_t heldBytes() const { return samples_.heldBytes(); }
  // The newest sample of process `pid` taken at or after `sinceDays` (its start), or null.
  // Only that process's own samples are looked at, so this costs at most what it has.
  const ProcessSample* newestOf(uint32_t pid, double sinceDays) const;
  // Statistic 8: seconds of processor time process `pid` used over the last 15 minutes before
  // `nowDays`, from its oldest sample inside the window to its newest; 0 with fewer than two.
  int64_t processorSeconds(uint32_t pid, double nowDays) const;

 private:
  adt::ChunkQueue<ProcessSample> samples_;
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

// The statistics of a whole group at one moment, ordered per statistic, so that the penalty of
// one member against all the others costs a search per statistic instead of a comparison with
// every other member (a group of n compared member by member costs n² a pass).
class GroupRanking {
 public:
  // One row of statistics per member, in group order.
  void build(std::vector<LoadStatistics> rows);
  size_t size() const { return rows_.size(); }
  // The sum of loadPenalty(mine, row) over every row but row `self` (the asking member's own,
  // whose statistics may have changed since: `mine` are its current ones).
  uint32_t penalty(const LoadStatistics& mine, size_t self) const;

 private:
  std::vector<LoadStatistics> rows_;
  std::array<std::vector<int64_t>, 15> sorted_;  // each statistic over all rows, ascending
};

}  // namespace agents
