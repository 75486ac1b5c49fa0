#include <malloc.h>
#include <stdio.h>

#include <cstring>

#include "platform/system_status.h"

namespace platform {

bool readMemoryStatus(MemoryStatus& out) {
  FILE* f = fopen("/proc/meminfo", "re");
  if (!f) return false;
  char line[256];
  bool total = false, avail = false;
  while (fgets(line, sizeof line, f)) {
    unsigned long long kb = 0;
    if (sscanf(line, "MemTotal: %llu kB", &kb) == 1) {
      out.totalBytes = kb * 1024;
      total = true;
    } else if (sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
      out.availableBytes = kb * 1024;
      avail = true;
    }
  }
  fclose(f);
  return total && avail;
}

bool writeHeapReport(const std::string& path) {
  FILE* f = fopen(path.c_str(), "we");
  if (!f) return false;
  const bool ok = malloc_info(0, f) == 0;
  return fclose(f) == 0 && ok;
}

}  // namespace platform
