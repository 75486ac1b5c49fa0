#include "platform/system_status.h"

#include "platform/windows/win.h"

#include <psapi.h>

#include <cstdio>

namespace platform {

bool readMemoryStatus(MemoryStatus& out) {
  MEMORYSTATUSEX s{};
  s.dwLength = sizeof s;
  if (!GlobalMemoryStatusEx(&s)) return false;
  out.totalBytes = s.ullTotalPhys;
  out.availableBytes = s.ullAvailPhys;
  return true;
}

bool readProcessorTimes(ProcessorTimes& out) {
  FILETIME idle, kernel, user;
  if (!GetSystemTimes(&idle, &kernel, &user)) return false;
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  out.idleSeconds = static_cast<double>(win::fileTimeMs(idle)) / 1000.0;
  out.processors = info.dwNumberOfProcessors;
  return true;
}

// The process heap's regions, summed by kind (HeapWalk), and the memory counters.
bool writeHeapReport(const std::string& path) {
  FILE* f = _wfopen(win::widePath(path).c_str(), L"w");
  if (!f) return false;
  HANDLE heap = GetProcessHeap();
  unsigned long long busy = 0, free = 0, blocks = 0;
  PROCESS_HEAP_ENTRY e{};
  if (HeapLock(heap)) {
    while (HeapWalk(heap, &e)) {
      if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
        busy += e.cbData;
        ++blocks;
      } else if (!(e.wFlags & (PROCESS_HEAP_REGION | PROCESS_HEAP_UNCOMMITTED_RANGE))) {
        free += e.cbData;
      }
    }
    HeapUnlock(heap);
  }
  PROCESS_MEMORY_COUNTERS c{};
  c.cb = sizeof c;
  GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c);
  std::fprintf(f,
               "<heap busy=\"%llu\" blocks=\"%llu\" free=\"%llu\"/>\n"
               "<memory workingSet=\"%llu\" peakWorkingSet=\"%llu\" pageFile=\"%llu\"/>\n",
               busy, blocks, free, static_cast<unsigned long long>(c.WorkingSetSize),
               static_cast<unsigned long long>(c.PeakWorkingSetSize),
               static_cast<unsigned long long>(c.PagefileUsage));
  return std::fclose(f) == 0;
}

}  // namespace platform
