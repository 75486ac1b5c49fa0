#include "server/heap_report.h"

#include "adt/exception.h"
#include "adt/file.h"

namespace server {
namespace {

[[noreturn]] void malformed(const std::string& why) {
  throw adt::Exception("неверный формат дампа памяти: " + why);
}

// The number in attribute `name` of the element starting at `at`.
uint64_t attribute(const std::string& xml, size_t at, const char* name) {
  const size_t end = xml.find('>', at);
  const std::string key = std::string(" ") + name + "=\"";
  const size_t k = xml.find(key, at);
  if (k == std::string::npos || k > end) malformed(std::string("нет атрибута ") + name);
  uint64_t v = 0;
  size_t i = k + key.size();
  if (i >= xml.size() || xml[i] < '0' || xml[i] > '9') malformed(std::string("атрибут ") + name);
  for (; i < xml.size() && xml[i] >= '0' && xml[i] <= '9'; ++i) {
    if (v > (UINT64_MAX - 9) / 10) malformed(std::string("атрибут ") + name);
    v = v * 10 + static_cast<uint64_t>(xml[i] - '0');
  }
  return v;
}

// The figures of the part [from, to) that are not inside a nested heap element: `<total
// type="fast|rest|mmap">` and `<system type="current|max">`.
void readFigures(const std::string& xml, size_t from, size_t to, HeapFigures& f,
                 HeapReport* whole) {
  const auto find = [&](const char* tag) {
    const size_t at = xml.find(tag, from);
    return at < to ? at : std::string::npos;
  };
  if (size_t at = find("<total type=\"fast\""); at != std::string::npos) {
    f.fastFreeChunks = attribute(xml, at, "count");
    f.fastFreeBytes = attribute(xml, at, "size");
  }
  if (size_t at = find("<total type=\"rest\""); at != std::string::npos) {
    f.freeChunks = attribute(xml, at, "count");
    f.freeBytes = attribute(xml, at, "size");
  }
  if (size_t at = find("<system type=\"current\""); at != std::string::npos) {
    f.systemBytes = attribute(xml, at, "size");
  }
  if (size_t at = find("<system type=\"max\""); at != std::string::npos) {
    f.systemMaxBytes = attribute(xml, at, "size");
  }
  if (whole) {
    if (size_t at = find("<total type=\"mmap\""); at != std::string::npos) {
      whole->mappedChunks = attribute(xml, at, "count");
      whole->mappedBytes = attribute(xml, at, "size");
    }
  }
}

std::string kib(uint64_t bytes) { return std::to_string(bytes / 1024) + " КБ"; }

}  // namespace

HeapReport parseHeapReport(const std::string& xml) {
  const size_t open = xml.find("<malloc ");
  const size_t close = xml.rfind("</malloc>");
  if (open == std::string::npos || close == std::string::npos || close < open) {
    malformed("нет элемента malloc");
  }
  HeapReport report;
  size_t at = open;
  size_t afterHeaps = open;
  while ((at = xml.find("<heap nr=\"", at)) != std::string::npos && at < close) {
    const size_t end = xml.find("</heap>", at);
    if (end == std::string::npos || end > close) malformed("элемент heap не закрыт");
    HeapArena arena;
    const size_t number = at + 10;
    arena.number = xml.substr(number, xml.find('"', number) - number);
    if (arena.number.empty() || arena.number.find_first_not_of("0123456789") != std::string::npos) {
      malformed("номер арены");
    }
    readFigures(xml, at, end, arena.figures, nullptr);
    arena.xml = xml.substr(at, end + 7 - at);
    report.arenas.push_back(std::move(arena));
    at = afterHeaps = end + 7;
  }
  readFigures(xml, afterHeaps, close, report.total, &report);
  return report;
}

std::string heapReportSummary(const HeapReport& report) {
  std::string out;
  for (const HeapArena& a : report.arenas) {
    const HeapFigures& f = a.figures;
    out += "арена " + a.number + ": от системы " + kib(f.systemBytes) + " (наибольшее " +
           kib(f.systemMaxBytes) + "), свободно " + kib(f.fastFreeBytes + f.freeBytes) + " в " +
           std::to_string(f.fastFreeChunks + f.freeChunks) + " блоках\n";
  }
  const HeapFigures& t = report.total;
  out += "всего арен: " + std::to_string(report.arenas.size()) + ", от системы " +
         kib(t.systemBytes) + " (наибольшее " + kib(t.systemMaxBytes) + "), свободно " +
         kib(t.fastFreeBytes + t.freeBytes) + ", отображено отдельно " +
         std::to_string(report.mappedChunks) + " блоков, " + kib(report.mappedBytes) + "\n";
  return out;
}

std::vector<std::string> splitHeapReport(const std::string& dumpPath, const HeapReport& report) {
  std::vector<std::string> written;
  for (const HeapArena& a : report.arenas) {
    const std::string path = dumpPath + ".heap" + a.number + ".xml";
    const std::string text = "<malloc version=\"1\">\n" + a.xml + "\n</malloc>\n";
    adt::writeFileAtomically(path, text.data(), text.size());
    written.push_back(path);
  }
  return written;
}

}  // namespace server
