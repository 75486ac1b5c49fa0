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

// Writes a report of the process heap (the allocator's own statistics) to `path`.
bool writeHeapReport(const std::string& path);

}  // namespace platform
