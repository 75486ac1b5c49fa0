// What /proc tells about processes and the machine, and file modes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/process.h"

namespace platform {

namespace {

// How a /proc file ends.
enum class ProcEnd {
  kZeroRead,   // a read that returns nothing
  kShortRead,  // also a read that does not fill the buffer: files the kernel writes whole at the
               // first read when they fit (stat, status), which saves a call per sample
};

// The whole of a /proc file (their sizes read as 0, so read to the end).
bool readProcFile(const std::string& path, std::string& out, ProcEnd end = ProcEnd::kZeroRead) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      if (end == ProcEnd::kShortRead && static_cast<size_t>(n) < sizeof buf) {
        ::close(fd);
        return true;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int e = errno;
    ::close(fd);
    errno = e;
    return n == 0;
  }
}

// The whole of a /proc file kept open (`fd`, opened from `path` at the first call): read from
// its start, which has the kernel write it anew.
bool readKeptProcFile(int& fd, const std::string& path, std::string& out) {
  if (fd < 0) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
  }
  out.clear();
  char buf[4096];
  while (true) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    out.append(buf, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof buf) return true;  // written whole at the first read
  }
}

std::string procPath(uint32_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

uint64_t ticksToMs(uint64_t ticks) {
  static const long hz = ::sysconf(_SC_CLK_TCK);
  return hz > 0 ? ticks * 1000 / static_cast<uint64_t>(hz) : ticks * 10;
}

// The value of a "Name:   123 kB" line of a status file; 0 when absent.
uint64_t statusValue(const std::string& text, const char* name) {
  const std::string key = std::string(name) + ":";
  size_t pos = 0;
  while ((pos = text.find(key, pos)) != std::string::npos) {
    if (pos == 0 || text[pos - 1] == '\n') {
      return std::strtoull(text.c_str() + pos + key.size(), nullptr, 10);
    }
    pos += key.size();
  }
  return 0;
}

bool readBootTimeSeconds(uint64_t& out) {
  std::string text;
  if (!readProcFile("/proc/stat", text)) return false;
  const size_t pos = text.find("\nbtime ");
  if (pos == std::string::npos) {
    errno = EIO;
    return false;
  }
  out = std::strtoull(text.c_str() + pos + 7, nullptr, 10);
  return true;
}

// The boot time, read once: /proc/stat covers the whole machine (its cost grows with the
// processors and interrupts there are), and every process sample needs the value. It only moves
// when the wall clock is set; a value kept from the start also keeps each process's start time
// the same for as long as the manager runs.
bool bootTimeSeconds(uint64_t& out) {
  static std::atomic<uint64_t> known{0};
  uint64_t value = known.load(std::memory_order_relaxed);
  if (value == 0) {
    if (!readBootTimeSeconds(value)) return false;
    known.store(value, std::memory_order_relaxed);
  }
  out = value;
  return true;
}

bool isDigits(const char* s) {
  if (!*s) return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

namespace {

bool parseStat(const std::string& text, ProcessTimes& out) {
  // "pid (name) state ppid ...": the name may hold blanks and parentheses, so the fields start
  // after the last ')'. Field 3 (state) is token 0 there; utime 14, stime 15, starttime 22.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) {
    errno = EIO;
    return false;
  }
  std::vector<uint64_t> fields;
  const char* p = text.c_str() + close + 1;
  while (*p && fields.size() < 20) {
    while (*p == ' ') ++p;
    char* end = nullptr;
    fields.push_back(std::strtoull(p, &end, 10));
    while (*end && *end != ' ') ++end;  // the state letter is no number
    p = end;
  }
  uint64_t boot = 0;
  if (fields.size() < 20 || !bootTimeSeconds(boot)) {
    if (fields.size() < 20) errno = EIO;
    return false;
  }
  out.userMs = ticksToMs(fields[14 - 3]);
  out.kernelMs = ticksToMs(fields[15 - 3]);
  out.startUnixMs = boot * 1000 + ticksToMs(fields[22 - 3]);
  return true;
}

void parseStatus(const std::string& text, ProcessMemory& out) {
  out.workingSetKiB = statusValue(text, "VmRSS");
  out.peakWorkingSetKiB = statusValue(text, "VmHWM");
  out.pageFileKiB = statusValue(text, "VmSwap");
}

}  // namespace

bool readProcessTimes(uint32_t pid, ProcessTimes& out) {
  std::string text;
  return readProcFile(procPath(pid, "stat"), text, ProcEnd::kShortRead) && parseStat(text, out);
}

bool readProcessMemory(uint32_t pid, ProcessMemory& out) {
  std::string text;
  if (!readProcFile(procPath(pid, "status"), text, ProcEnd::kShortRead)) return false;
  parseStatus(text, out);
  return true;
}

bool Process::sample(ProcessTimes& times, ProcessMemory& memory) {
  if (pid_ <= 0) {
    errno = ESRCH;
    return false;
  }
  std::string text;
  if (!readKeptProcFile(statFd_, procPath(pid(), "stat"), text) || !parseStat(text, times) ||
      !readKeptProcFile(statusFd_, procPath(pid(), "status"), text)) {
    return false;
  }
  parseStatus(text, memory);
  return true;
}

void Process::closeSampleFiles() {
  for (int* fd : {&statFd_, &statusFd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

bool enumerateProcesses(std::vector<uint32_t>& out) {
  out.clear();
  DIR* dir = ::opendir("/proc");
  if (!dir) return false;
  errno = 0;
  while (const dirent* e = ::readdir(dir)) {
    if (isDigits(e->d_name))
      out.push_back(static_cast<uint32_t>(std::strtoul(e->d_name, nullptr, 10)));
  }
  const int err = errno;
  ::closedir(dir);
  errno = err;
  return err == 0;
}

bool readProcessCommandLine(uint32_t pid, std::string& out) {
  std::string raw;
  if (!readProcFile(procPath(pid, "cmdline"), raw)) return false;
  if (!commandLineFromArgumentBytes(std::move(raw), out)) {
    errno = ESRCH;
    return false;
  }
  return true;
}

bool readSystemTimes(SystemTimes& out) {
  std::string text;
  if (!readProcFile("/proc/stat", text)) return false;
  if (text.compare(0, 4, "cpu ") != 0) {
    errno = EIO;
    return false;
  }
  // cpu user nice system idle iowait irq softirq steal (guest time is inside user already).
  uint64_t v[8] = {};
  const char* p = text.c_str() + 4;
  for (uint64_t& x : v) {
    char* end = nullptr;
    x = std::strtoull(p, &end, 10);
    p = end;
  }
  out.idleMs = ticksToMs(v[3] + v[4]);
  out.busyMs = ticksToMs(v[0] + v[1] + v[2] + v[5] + v[6] + v[7]);
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  out.processors = n > 0 ? static_cast<uint32_t>(n) : 1;
  return true;
}

bool makeExecutable(const std::string& path) { return ::chmod(path.c_str(), 0755) == 0; }

}  // namespace platform
