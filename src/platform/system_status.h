// Machine-wide status figures.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

struct MemoryStatus {
  uint64_t totalBytes = 0;
  uint64_t availableBytes = 0;
};

// Physical memory of the machine; false when it cannot be read.
bool readMemoryStatus(MemoryStatus& out);

// Idle time of the whole machine, summed over its processors, and the number of processors:
// the rate at which idleSeconds grows, subtracted from `processors`, is the number of busy
// processors over that span.
struct ProcessorTimes {
  double idleSeconds = 0;
  uint32_t processors = 0;
};
bool readProcessorTimes(ProcessorTimes& out);

// Writes a report of the process heap (the allocator's own statistics) to `path`.
bool writeHeapReport(const std::string& path);

}  // namespace platform
