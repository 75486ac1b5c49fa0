#include <malloc.h>
#include <stdio.h>
#include <unistd.h>

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

bool readProcessorTimes(ProcessorTimes& out) {
  FILE* f = fopen("/proc/stat", "re");
  if (!f) return false;
  // "cpu  user nice system idle iowait ...": time waiting for I/O is idle time too.
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
  const int read = fscanf(f, "cpu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait);
  fclose(f);
  if (read < 4) return false;
  const long ticks = sysconf(_SC_CLK_TCK);
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  if (ticks <= 0 || processors <= 0) return false;
  out.idleSeconds = static_cast<double>(idle + (read == 5 ? iowait : 0)) / ticks;
  out.processors = static_cast<uint32_t>(processors);
  return true;
}

bool writeHeapReport(const std::string& path) {
  FILE* f = fopen(path.c_str(), "we");
  if (!f) return false;
  const bool ok = malloc_info(0, f) == 0;
  return fclose(f) == 0 && ok;
}

}  // namespace platform
