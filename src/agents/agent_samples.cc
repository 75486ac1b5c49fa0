#include "agents/agent_samples.h"

#include <algorithm>
#include <cmath>

namespace agents {

namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr uint64_t kMemoryUnit = 131072;

// Memory in use against the limit, in 1/128ths; a sample without a limit gives 0.
int64_t memoryRatio(const SampleFigures& s) {
  const uint64_t limit = s.limit;
  if (limit == 0) return 0;
  // Scaled before dividing, so that a limit under 128 cannot divide by zero.
  return static_cast<int64_t>(uint64_t{s.used} * 128 / limit);
}

int64_t daysToMs(double days) {
  const double ms = days * kMsPerDay;
  if (!std::isfinite(ms)) return 0;
  return static_cast<int64_t>(std::llround(ms));
}

// The values of one window.
struct WindowValues {
  int64_t ratio = 0, used = 0, free = 0, requests = 0, gcMs = 0, timeMs = 0;
};

// Statistics 3 to 15 but 9 from the minute's and the quarter's values.
LoadStatistics statisticsOf(const WindowValues& m, const WindowValues& q) {
  LoadStatistics st{};
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
  return st;
}

// The values of a window of `n` samples from its newest and oldest and the sums of the averaged
// figures. The counters' growth needs two samples; a lone sample stands for itself.
WindowValues valuesOf(const SampleFigures& newest, const SampleFigures& oldest, int64_t n,
                      const FigureSums& sums) {
  WindowValues w;
  if (n == 0) return w;
  w.ratio = sums.ratio / n;
  w.used = sums.used / n;
  w.free = sums.free / n;
  if (n == 1) {
    w.requests = newest.requests;
    w.gcMs = daysToMs(newest.gcDays);
    w.timeMs = daysToMs(newest.workDays);
    return w;
  }
  w.requests = static_cast<int64_t>(newest.requests) - static_cast<int64_t>(oldest.requests);
  w.gcMs = daysToMs(newest.gcDays - oldest.gcDays);
  w.timeMs = daysToMs(newest.workDays - oldest.workDays);
  return w;
}

// The values of one window from its samples, newest first.
WindowValues evaluate(const std::vector<const SampleFigures*>& samples) {
  if (samples.empty()) return WindowValues{};
  FigureSums sums;
  for (const SampleFigures* s : samples) sums.add(*s);
  return valuesOf(*samples.front(), *samples.back(), static_cast<int64_t>(samples.size()), sums);
}

// Statistic 9, samples per minute over the quarter hour, from the windows' sizes and the
// quarter's newest and oldest times.
int64_t samplesPerMinute(size_t minute, size_t quarter, double newest, double oldest) {
  if (minute == 1) return 10;
  if (quarter < 2) return 0;
  const double span = newest - oldest;
  return span > 0 ? static_cast<int64_t>(static_cast<double>(quarter) / (span * 1440)) : 0;
}

}  // namespace

SampleFigures SampleFigures::of(double time, const amp::PerformanceSample& values) {
  SampleFigures f;
  f.time = time;
  f.gcDays = values.gcDays;
  f.workDays = values.wideDays(3);
  f.requests = values.word(2);
  f.used = values.nestedValue(1);
  f.free = values.nestedValue(4);
  f.limit = values.nestedValue(5);
  return f;
}

size_t RawSamples::size() const { return h_.entries_.size(); }
RawSample RawSamples::operator[](size_t i) const { return h_.rawAt(i); }
RawSample RawSamples::Iterator::operator*() const { return h_->rawAt(i_); }

RawSample SampleHistory::rawAt(size_t i) const {
  const Entry& e = entries_[i];
  RawSample r;
  r.time = e.figures.time;
  r.pid = e.pid;
  r.count = e.count;
  r.raw.resize(e.rawSize);
  bytes_.copyOut(static_cast<size_t>(e.rawPos - bytesBase_), e.rawSize, r.raw.data());
  return r;
}

void SampleHistory::store(double time, uint32_t pid, const amp::Sample& sample) {
  if (entries_.size() >= kRingSize) {
    const Entry& oldest = entries_.front();
    // The oldest leaves the kept windows too (the counted one ends where the samples end).
    if (windowsKept_ && countedEnd_ <= entriesBase_) {
      windowsKept_ = false;  // nothing counted is left
    } else if (windowsKept_) {
      for (Window* w : {&quarter_, &minute_}) {
        if (w->first != entriesBase_) continue;
        w->sums.add(oldest.figures, -1);
        ++w->first;
      }
    }
    bytes_.pop_front(oldest.rawSize);
    bytesBase_ += oldest.rawSize;
    entries_.pop_front();
    ++entriesBase_;
  }
  Entry e;
  e.figures = SampleFigures::of(time, sample.values);
  e.pid = pid;
  e.count = sample.count;
  e.rawSize = static_cast<uint32_t>(sample.raw.size());
  e.rawPos = bytesBase_ + bytes_.size();
  bytes_.append(sample.raw.data(), sample.raw.size());
  entries_.push_back(e);
}

void SampleHistory::completeNewest(uint32_t count) {
  if (!entries_.empty() && entries_.back().count == 0) entries_.back().count = count;
}

const SampleFigures& SampleHistory::newest() const {
  static const SampleFigures kNone{};
  return entries_.empty() ? kNone : entries_.back().figures;
}

bool SampleHistory::sameAsNewest(const adt::Bytes& raw) const {
  if (entries_.empty()) return false;
  const Entry& e = entries_.back();
  if (e.rawSize != raw.size()) return false;
  return bytes_.equals(static_cast<size_t>(e.rawPos - bytesBase_), raw.data(), raw.size());
}

void FigureSums::add(const SampleFigures& f, int64_t sign) {
  ratio += sign * memoryRatio(f);
  used += sign * static_cast<int64_t>(f.used / kMemoryUnit);
  free += sign * static_cast<int64_t>(f.free / kMemoryUnit);
}

void SampleHistory::Window::moveTo(double bound, const SampleHistory& h, uint64_t end) {
  since = bound;
  while (first < end && h.at(first).figures.time < bound) {
    sums.add(h.at(first).figures, -1);
    ++first;
  }
}

bool SampleHistory::advanceWindows(double quarterSince, double minuteSince) const {
  if (!windowsKept_ || countedEnd_ < entriesBase_ || quarterSince < quarter_.since ||
      minuteSince < minute_.since) {
    return false;
  }
  const uint64_t end = endSeq();
  for (uint64_t seq = countedEnd_; seq < end; ++seq) {
    const double t = at(seq).figures.time;
    // A sample older than the one before it, or never written: the windows are no longer runs
    // of growing times.
    if (t == 0 || (seq > entriesBase_ && t < at(seq - 1).figures.time)) return false;
    quarter_.sums.add(at(seq).figures);
    minute_.sums.add(at(seq).figures);
  }
  countedEnd_ = end;
  quarter_.moveTo(quarterSince, *this, end);
  minute_.moveTo(minuteSince, *this, end);
  return true;
}

void SampleHistory::countWindows(double quarterSince, double minuteSince) const {
  const uint64_t end = endSeq();
  quarter_ = Window{end, quarterSince, FigureSums{}};
  minute_ = Window{end, minuteSince, FigureSums{}};
  countedEnd_ = end;
  windowsKept_ = true;
  // Newest first, as far as the quarter reaches. The windows are kept only when the quarter's
  // times never fall; then the minute is the run of its newest samples.
  for (uint64_t seq = end; seq > entriesBase_; --seq) {
    const SampleFigures& f = at(seq - 1).figures;
    if (f.time == 0 || f.time < quarterSince) break;
    if (seq < end && f.time > at(seq).figures.time) windowsKept_ = false;
    quarter_.sums.add(f);
    quarter_.first = seq - 1;
    if (f.time >= minuteSince) {
      minute_.sums.add(f);
      minute_.first = seq - 1;
    }
  }
}

LoadStatistics SampleHistory::fromWindows() const {
  const uint64_t end = countedEnd_;
  const auto values = [&](const Window& w) {
    if (w.first == end) return WindowValues{};
    return valuesOf(at(end - 1).figures, at(w.first).figures, static_cast<int64_t>(end - w.first),
                    w.sums);
  };
  LoadStatistics st = statisticsOf(values(minute_), values(quarter_));
  if (quarter_.first < end) {
    st[8] = samplesPerMinute(end - minute_.first, end - quarter_.first, at(end - 1).figures.time,
                             at(quarter_.first).figures.time);
  }
  return st;
}

LoadStatistics SampleHistory::compute(double nowDays) const {
  const double quarterSince = nowDays - kQuarterDays;
  const double minuteSince = nowDays - kMinuteDays;
  if (!advanceWindows(quarterSince, minuteSince)) {
    countWindows(quarterSince, minuteSince);
    if (!windowsKept_) return computeByWalk(nowDays);
  }
  return fromWindows();
}

LoadStatistics SampleHistory::computeByWalk(double nowDays) const {
  std::vector<const SampleFigures*> quarter, minute;  // newest first
  for (size_t i = entries_.size(); i-- > 0;) {
    const SampleFigures& s = entries_[i].figures;
    if (s.time == 0 || s.time < nowDays - kQuarterDays) break;
    quarter.push_back(&s);
    if (s.time >= nowDays - kMinuteDays) minute.push_back(&s);
  }
  LoadStatistics st = statisticsOf(evaluate(minute), evaluate(quarter));
  if (!quarter.empty()) {
    st[8] = samplesPerMinute(minute.size(), quarter.size(), quarter.front()->time,
                             quarter.back()->time);
  }
  return st;
}

void ProcessSamples::add(const ProcessSample& sample) {
  if (samples_.size() >= kLimit) samples_.pop_front();
  samples_.push_back(sample);
}

const ProcessSample* ProcessSamples::newestOf(uint32_t pid, double sinceDays) const {
  for (size_t i = samples_.size(); i-- > 0;) {
    const ProcessSample& s = samples_[i];
    if (s.time < sinceDays) break;
    if (s.pid == pid) return &s;
  }
  return nullptr;
}

int64_t ProcessSamples::processorSeconds(uint32_t pid, double nowDays) const {
  const ProcessSample* newest = nullptr;
  const ProcessSample* oldest = nullptr;
  for (size_t i = samples_.size(); i-- > 0;) {
    const ProcessSample& s = samples_[i];
    if (s.time < nowDays - SampleHistory::kQuarterDays) break;
    if (s.pid != pid) continue;
    if (!newest) newest = &s;
    oldest = &s;
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

void GroupRanking::build(std::vector<LoadStatistics> rows) {
  rows_ = std::move(rows);
  for (size_t i = 0; i < sorted_.size(); ++i) {
    std::vector<int64_t>& column = sorted_[i];
    column.clear();
    column.reserve(rows_.size());
    for (const LoadStatistics& row : rows_) column.push_back(row[i]);
    std::sort(column.begin(), column.end());
  }
}

uint32_t GroupRanking::penalty(const LoadStatistics& mine, size_t self) const {
  uint64_t total = 0;
  for (size_t i = 0; i < sorted_.size(); ++i) {
    const std::vector<int64_t>& column = sorted_[i];
    // Rows that `mine` is worse than, this member's own row left out.
    uint64_t beaten;
    if (i == kSmallerIsWorse) {
      beaten = static_cast<uint64_t>(column.end() -
                                     std::upper_bound(column.begin(), column.end(), mine[i]));
      if (self < rows_.size() && rows_[self][i] > mine[i]) --beaten;
    } else {
      beaten = static_cast<uint64_t>(std::lower_bound(column.begin(), column.end(), mine[i]) -
                                     column.begin());
      if (self < rows_.size() && rows_[self][i] < mine[i]) --beaten;
    }
    total += beaten * kLoadWeights[i];
  }
  return static_cast<uint32_t>(total);
}

}  // namespace agents
