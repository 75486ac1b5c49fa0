// Processes: CreateProcessW (hidden, detached, its own process group, only the named handles
// inherited), process handles for waiting and ending, NtSuspendProcess for a suspend.
#include "platform/process.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/windows/win.h"

namespace platform {
namespace {

using NtProcessCall = LONG(NTAPI*)(HANDLE);

NtProcessCall ntCall(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll
             ? reinterpret_cast<NtProcessCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)))
             : nullptr;
}

bool sameName(const std::wstring& a, const std::string& b) {
  const std::wstring w = win::widen(b);
  return a.size() == w.size() &&
         CompareStringOrdinal(a.data(), static_cast<int>(a.size()), w.data(),
                              static_cast<int>(w.size()), TRUE) == CSTR_EQUAL;
}

// The inherited environment with the options' variables set and, without handed-over
// sockets, the socket-activation variables removed. Sorted, as the system wants it.
std::wstring environmentBlock(const SpawnOptions& options) {
  std::vector<std::wstring> vars;
  if (wchar_t* env = GetEnvironmentStringsW()) {
    for (const wchar_t* p = env; *p; p += wcslen(p) + 1) vars.emplace_back(p);
    FreeEnvironmentStringsW(env);
  }
  auto drop = [&](const std::string& name) {
    vars.erase(std::remove_if(vars.begin(), vars.end(),
                              [&](const std::wstring& v) {
                                const size_t eq = v.find(L'=', 1);
                                return eq != std::wstring::npos && sameName(v.substr(0, eq), name);
                              }),
               vars.end());
  };
  // Nothing is inherited by descriptor number here (see spawnChild).
  drop("LISTEN_FDS");
  drop("LISTEN_PID");
  drop("LISTEN_FDNAMES");
  for (const auto& [name, value] : options.environment) {
    drop(name);
    vars.push_back(win::widen(name + "=" + value));
  }
  std::sort(vars.begin(), vars.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const auto& v : vars) {
    block += v;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

HANDLE inheritableCopy(HANDLE h) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

// Starts the child; its process handle, or null with the last error set.
HANDLE spawnChild(const SpawnOptions& options, DWORD& pid) {
  if (options.args.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Listening sockets are not inherited here: the manager hands each over once the agent has
  // reported, by the system's duplication record for the agent's process (socketRecordFor).
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE output = options.outputHandle != -1
                      ? inheritableCopy(win::toHandle(options.outputHandle))
                      : CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr);
  auto closeBoth = [&] {
    const DWORD saved = GetLastError();
    if (input && input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (output && output != INVALID_HANDLE_VALUE) CloseHandle(output);
    SetLastError(saved);
  };
  if (input == INVALID_HANDLE_VALUE || !output || output == INVALID_HANDLE_VALUE) {
    closeBoth();
    return nullptr;
  }

  // Only these handles pass to the child, whatever else is inheritable in this process.
  HANDLE handles[2] = {input, output};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  const bool listed = InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
                      UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                handles, sizeof handles, nullptr, nullptr);

  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  info.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  info.StartupInfo.wShowWindow = SW_HIDE;
  info.StartupInfo.hStdInput = input;
  info.StartupInfo.hStdOutput = output;
  info.StartupInfo.hStdError = output;
  info.lpAttributeList = listed ? attributes : nullptr;

  std::wstring commandLine = win::widen(joinCommandLine(options.args));
  std::wstring environment = environmentBlock(options);
  const std::wstring directory = win::widePath(options.directory);
  PROCESS_INFORMATION started{};
  const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT |
                      (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
  const BOOL ok = CreateProcessW(
      nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, environment.data(),
      options.directory.empty() ? nullptr : directory.c_str(), &info.StartupInfo, &started);
  const DWORD error = GetLastError();
  if (listed) DeleteProcThreadAttributeList(attributes);
  closeBoth();
  if (!ok) {
    SetLastError(error);
    return nullptr;
  }
  CloseHandle(started.hThread);
  pid = started.dwProcessId;
  return started.hProcess;
}

}  // namespace

// Process handles are released with their objects; nothing is left to reap.
void reapAbandonedChildren() {}

// A child that ends here leaves nothing to collect, and asking every child's handle is what
// the callers do anyway when this says "maybe": so the answer is always "maybe".
bool anyChildEnded() { return true; }

Process::~Process() { release(); }

bool Process::spawn(const SpawnOptions& options) {
  release();
  DWORD pid = 0;
  HANDLE h = spawnChild(options, pid);
  if (!h) return false;
  pid_ = static_cast<int>(pid);
  pidfd_ = win::fromHandle(h);
  child_ = true;
  return true;
}

bool Process::attach(uint32_t pid) {
  release();
  HANDLE h = OpenProcess(
      SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_SUSPEND_RESUME | PROCESS_QUERY_LIMITED_INFORMATION,
      FALSE, pid);
  if (!h) {
    if (GetLastError() == ERROR_INVALID_PARAMETER) SetLastError(ERROR_NOT_FOUND);
    return false;
  }
  pid_ = static_cast<int>(pid);
  pidfd_ = win::fromHandle(h);
  child_ = false;
  return true;
}

bool Process::hasEnded() {
  if (pid_ <= 0 || ended_) return true;
  HANDLE h = win::toHandle(pidfd_);
  if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) return false;
  ended_ = true;
  DWORD code = 0;
  if (GetExitCodeProcess(h, &code)) {
    status_.known = true;
    status_.code = static_cast<int>(code);
  }
  if (terminated_) {
    status_.known = true;
    status_.code = 1;
  }
  return true;
}

std::string signalName(int signal) {
  static const struct {
    int number;
    const char* name;
  } kNames[] = {{1, "SIGHUP"},   {2, "SIGINT"},   {3, "SIGQUIT"},  {4, "SIGILL"},   {5, "SIGTRAP"},
                {6, "SIGABRT"},  {7, "SIGBUS"},   {8, "SIGFPE"},   {9, "SIGKILL"},  {10, "SIGUSR1"},
                {11, "SIGSEGV"}, {12, "SIGUSR2"}, {13, "SIGPIPE"}, {14, "SIGALRM"}, {15, "SIGTERM"},
                {24, "SIGXCPU"}, {25, "SIGXFSZ"}, {31, "SIGSYS"}};
  for (const auto& entry : kNames) {
    if (entry.number == signal) return entry.name;
  }
  return "SIG" + std::to_string(signal);
}

bool Process::sendSignal(int) {
  win::unavailable("signals to processes");
  return false;
}

bool Process::terminate() {
  if (pid_ <= 0 || (ended_ && child_)) {
    SetLastError(ERROR_NOT_FOUND);
    return false;
  }
  if (!TerminateProcess(win::toHandle(pidfd_), 1)) return false;
  terminated_ = true;
  return true;
}

// A detached process has no console to send Ctrl-Break to and no window to close: the
// manager's soft stop goes over the agent link instead.
bool Process::requestStop() {
  win::unavailable("asking a process to end without the agent link");
  return false;
}

bool Process::suspend() {
  NtProcessCall call = ntCall("NtSuspendProcess");
  if (!call || pid_ <= 0) return sendSignal(19);
  return call(win::toHandle(pidfd_)) >= 0;
}

bool Process::resume() {
  NtProcessCall call = ntCall("NtResumeProcess");
  if (!call || pid_ <= 0) return sendSignal(18);
  return call(win::toHandle(pidfd_)) >= 0;
}

// Nothing is kept open here: each sample opens the process by its id.
void Process::closeSampleFiles() {}
bool Process::sample(ProcessTimes& times, ProcessMemory& memory) {
  return pid_ > 0 && readProcessTimes(pid(), times) && readProcessMemory(pid(), memory);
}

void Process::release() {
  if (pid_ <= 0) return;
  if (pidfd_ != -1) {
    const DWORD saved = GetLastError();
    CloseHandle(win::toHandle(pidfd_));
    SetLastError(saved);
  }
  pid_ = 0;
  pidfd_ = -1;
  child_ = false;
  ended_ = false;
  terminated_ = false;
  status_ = ExitStatus();
}

// Windows has no executable bit: a file runs by its name.
bool makeExecutable(const std::string& path) {
  return GetFileAttributesW(win::widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// --- The leave marker: the named pipe \\.\pipe\vantor/am/<key>/leave, held by its creator ---

namespace {

std::wstring leaveName(uint64_t key) {
  return win::widen("\\\\.\\pipe\\vantor/am/" + std::to_string(key) + "/leave");
}

}  // namespace

LeaveMarker::~LeaveMarker() { close(); }

bool LeaveMarker::create(uint64_t key) {
  close();
  HANDLE h = CreateNamedPipeW(
      leaveName(key).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_NOWAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 0, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_ACCESS_DENIED) SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  handle_ = win::fromHandle(h);
  return true;
}

void LeaveMarker::close() {
  if (handle_ != -1) CloseHandle(win::toHandle(handle_));
  handle_ = -1;
}

std::unique_ptr<LeaveMarker> createLeaveMarker(uint64_t key) {
  auto marker = std::make_unique<LeaveMarker>();
  if (!marker->create(key)) return nullptr;
  return marker;
}

bool leaveMarkerExists(uint64_t key) {
  HANDLE h =
      CreateFileW(leaveName(key).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return true;
  }
  return GetLastError() == ERROR_PIPE_BUSY;
}

}  // namespace platform
