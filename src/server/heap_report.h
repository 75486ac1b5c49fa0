// The heap dump the console command "hd" writes (the allocator's own XML report of its arenas)
// read back: a summary per arena and in all (--hdinfo), and the dump split into one file per
// arena (--hdsplit).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace server {

// Figures of one arena, or of the whole process.
struct HeapFigures {
  uint64_t fastFreeChunks = 0, fastFreeBytes = 0;  // free chunks in the fast bins
  uint64_t freeChunks = 0, freeBytes = 0;          // the other free chunks
  uint64_t systemBytes = 0, systemMaxBytes = 0;    // memory taken from the system, now and at most
};

struct HeapArena {
  std::string number;
  HeapFigures figures;
  std::string xml;  // the arena's own element, as in the dump
};

struct HeapReport {
  std::vector<HeapArena> arenas;
  HeapFigures total;
  uint64_t mappedChunks = 0, mappedBytes = 0;  // chunks mapped directly
};

// The largest dump read (a report of a few arenas is tens of kilobytes).
constexpr size_t kMaxHeapReportBytes = 64u << 20;

// Throws adt::Exception "неверный формат дампа памяти: ..." for a text that is not such a report.
HeapReport parseHeapReport(const std::string& xml);

// Lines for people: one per arena, then the totals.
std::string heapReportSummary(const HeapReport& report);

// Writes "<dump>.heap<N>.xml" for every arena (each a complete report of that arena alone) and
// returns the names written. Throws adt::IOException naming the file that failed.
std::vector<std::string> splitHeapReport(const std::string& dumpPath, const HeapReport& report);

}  // namespace server
