// What a process is and uses: GetProcessTimes, GetProcessMemoryInfo, the process snapshot,
// the command line from the process itself, and the machine's processor times.
#include "platform/windows/win.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>

#include "platform/process.h"

namespace platform {
namespace {

// Milliseconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochMs = 11644473600000ull;

struct ProcessHandle {
  explicit ProcessHandle(uint32_t pid, DWORD rights = PROCESS_QUERY_LIMITED_INFORMATION)
      : h(OpenProcess(rights, FALSE, pid)) {}
  ~ProcessHandle() {
    if (h) CloseHandle(h);
  }
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  HANDLE h;
};

}  // namespace

bool readProcessTimes(uint32_t pid, ProcessTimes& out) {
  ProcessHandle p(pid);
  FILETIME created, exited, kernel, user;
  if (!p.h || !GetProcessTimes(p.h, &created, &exited, &kernel, &user)) return false;
  out.userMs = win::fileTimeMs(user);
  out.kernelMs = win::fileTimeMs(kernel);
  out.startUnixMs = win::fileTimeMs(created) - kUnixEpochMs;
  return true;
}

bool readProcessMemory(uint32_t pid, ProcessMemory& out) {
  ProcessHandle p(pid, PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ);
  PROCESS_MEMORY_COUNTERS c{};
  c.cb = sizeof c;
  if (!p.h || !GetProcessMemoryInfo(p.h, &c, sizeof c)) return false;
  out.workingSetKiB = c.WorkingSetSize / 1024;
  out.peakWorkingSetKiB = c.PeakWorkingSetSize / 1024;
  out.pageFileKiB = c.PagefileUsage / 1024;
  return true;
}

bool enumerateProcesses(std::vector<uint32_t>& out) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  out.clear();
  for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e)) {
    out.push_back(e.th32ProcessID);
  }
  CloseHandle(snapshot);
  return true;
}

// The command line as the process was given it (ProcessCommandLineInformation), split and
// joined again so that the quoting is the one joinCommandLine writes.
bool readProcessCommandLine(uint32_t pid, std::string& out) {
  using Query = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto query = ntdll ? reinterpret_cast<Query>(reinterpret_cast<void*>(
                           GetProcAddress(ntdll, "NtQueryInformationProcess")))
                     : nullptr;
  ProcessHandle p(pid);
  if (!query || !p.h) return false;
  constexpr int kProcessCommandLineInformation = 60;
  std::vector<unsigned char> buf(64 * 1024);
  ULONG size = 0;
  if (query(p.h, kProcessCommandLineInformation, buf.data(), static_cast<ULONG>(buf.size()),
            &size) < 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  struct Counted {
    USHORT length;
    USHORT maximum;
    wchar_t* text;
  };
  Counted c;
  std::memcpy(&c, buf.data(), sizeof c);
  if (!c.text || c.length == 0) return false;
  const std::string line = win::narrow(c.text, c.length / sizeof(wchar_t));
  out = joinCommandLine(splitCommandLine(line));
  return !out.empty();
}

bool readProcessExecutable(uint32_t pid, std::string& out) {
  ProcessHandle p(pid);
  std::vector<wchar_t> buf(32768);
  DWORD n = static_cast<DWORD>(buf.size());
  if (!p.h || !QueryFullProcessImageNameW(p.h, 0, buf.data(), &n)) return false;
  out = win::slashPath(buf.data(), n);
  return true;
}

bool readSystemTimes(SystemTimes& out) {
  FILETIME idle, kernel, user;
  if (!GetSystemTimes(&idle, &kernel, &user)) return false;
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  // Kernel time includes the idle time.
  out.idleMs = win::fileTimeMs(idle);
  out.busyMs = win::fileTimeMs(kernel) + win::fileTimeMs(user) - out.idleMs;
  out.processors = info.dwNumberOfProcessors;
  return true;
}

}  // namespace platform
