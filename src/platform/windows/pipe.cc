// Pipes: CreatePipe for a child's output, CreateNamedPipe for \\.\pipe\<name>. Reads never
// wait: PeekNamedPipe says what is there, ReadFile takes exactly that.
#include "platform/pipe.h"

#include <unordered_map>

#include "platform/windows/win.h"

namespace platform {
namespace {

constexpr DWORD kDefaultBuffer = 64 * 1024;
constexpr DWORD kReadPiece = 64 * 1024;

void closeQuietly(int& h) {
  if (h != -1) {
    const DWORD saved = GetLastError();
    CloseHandle(win::toHandle(h));
    SetLastError(saved);
  }
  h = -1;
}

DWORD bufferSize(size_t asked) {
  return asked == 0            ? kDefaultBuffer
         : asked > (16u << 20) ? (16u << 20)
                               : static_cast<DWORD>(asked);
}

// The pipe's full name: the root (\\.\pipe normally) and the name as the caller gives it,
// "/" included. A root other than the pipe namespace (tests use private directories) becomes a
// prefix inside it, so that each root still has names of its own.
std::string pipePath(const std::string& root, const std::string& name) {
  const std::string pipes = defaultPipeRoot();
  if (root == pipes || root.empty()) return pipes + "\\" + name;
  std::string prefix = root;
  for (char& c : prefix) {
    if (c == '\\' || c == ':') c = '_';
  }
  return pipes + "\\" + prefix + "/" + name;
}

// The writer's path: "<root>/<name>" as the agent builds it, with the separator after the
// pipe namespace that the system needs.
std::wstring writerPath(const std::string& path) {
  std::string p = path;
  const std::string pipes = defaultPipeRoot();
  if (p.size() > pipes.size() && p.compare(0, pipes.size(), pipes) == 0 && p[pipes.size()] == '/') {
    p[pipes.size()] = '\\';
  }
  return win::widen(p);
}

}  // namespace

PipeRead drainPipe(int readHandle, std::string& out, size_t limit) {
  HANDLE h = win::toHandle(readHandle);
  size_t taken = 0;
  char buf[kReadPiece];
  while (taken < limit) {
    DWORD available = 0;
    if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD e = GetLastError();
      // The writer left, or none has connected yet. A pipe serves one writer: the agent
      // that was given its name.
      if (e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED || e == ERROR_PIPE_LISTENING ||
          e == ERROR_BAD_PIPE) {
        return PipeRead::kEnd;
      }
      return PipeRead::kError;
    }
    if (available == 0) return PipeRead::kWouldBlock;
    DWORD want = available < kReadPiece ? available : kReadPiece;
    if (limit - taken < want) want = static_cast<DWORD>(limit - taken);
    DWORD got = 0;
    if (!ReadFile(h, buf, want, &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return PipeRead::kEnd;
      if (GetLastError() == ERROR_NO_DATA) return PipeRead::kWouldBlock;
      return PipeRead::kError;
    }
    out.append(buf, got);
    taken += got;
  }
  return PipeRead::kWouldBlock;
}

bool waitPipeReadable(int readHandle, int timeoutMs) {
  // Pipes cannot be waited on for data: look every 10 ms.
  const uint64_t start = GetTickCount64();
  HANDLE h = win::toHandle(readHandle);
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD e = GetLastError();
      if (e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED) return true;
      if (e != ERROR_PIPE_LISTENING && e != ERROR_BAD_PIPE) return false;
    } else if (available > 0) {
      return true;
    }
    if (timeoutMs >= 0 && GetTickCount64() - start >= static_cast<uint64_t>(timeoutMs)) {
      return false;
    }
    Sleep(10);
  }
}

// Anonymous pipes have no readiness the system reports for many at once (WSAPoll takes sockets
// only, and waiting on a pipe handle says nothing about its data), so a look peeks at each
// watched end: one PeekNamedPipe per end, which neither reads nor waits. An end that cannot be
// peeked (its writer gone, or broken) is reported ready, so its reader finds out why.
struct PipeWatch::Table {
  std::unordered_map<int, Watched> byHandle;
};

PipeWatch::PipeWatch() : handle_(0), table_(std::make_unique<Table>()) {}

PipeWatch::~PipeWatch() = default;

bool PipeWatch::add(int readHandle) {
  if (readHandle < 0) return false;
  // Counts as ready until a look has been made since. A pipe is peeked; anything else (a
  // process's exit handle) is waited on without waiting.
  const bool pipe = GetFileType(win::toHandle(readHandle)) == FILE_TYPE_PIPE;
  table_->byHandle[readHandle] = Watched{looks_, 0, !pipe, true};
  count_ = table_->byHandle.size();
  return true;
}

PipeWatch::Watched* PipeWatch::find(int readHandle) {
  const auto it = table_->byHandle.find(readHandle);
  return it == table_->byHandle.end() ? nullptr : &it->second;
}

void PipeWatch::remove(int readHandle) {
  table_->byHandle.erase(readHandle);
  count_ = table_->byHandle.size();
}

bool PipeWatch::look() {
  const DWORD saved = GetLastError();
  ++looks_;
  for (auto& [handle, w] : table_->byHandle) {
    const HANDLE h = win::toHandle(handle);
    if (w.waited) {
      // Signalled once the process has ended; a failed wait counts as ready too.
      if (WaitForSingleObject(h, 0) != WAIT_TIMEOUT) w.seen = looks_;
      continue;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
      w.seen = looks_;
    }
  }
  SetLastError(saved);
  lastLookOk_ = true;
  return true;
}

bool PipeWatch::mayBeReady(int readHandle) const {
  if (!lastLookOk_) return true;
  const Watched* w = find(readHandle);
  return !w || w->added == looks_ || w->seen == looks_;
}

OutputPipe::~OutputPipe() { close(); }

bool OutputPipe::create(size_t bufferBytes) {
  close();
  HANDLE r = nullptr, w = nullptr;
  // Neither end is inheritable; the spawn passes the write end to the child explicitly.
  if (!CreatePipe(&r, &w, nullptr, bufferSize(bufferBytes))) return false;
  read_ = win::fromHandle(r);
  write_ = win::fromHandle(w);
  return true;
}

void OutputPipe::closeWriteEnd() { closeQuietly(write_); }

void OutputPipe::close() {
  closeQuietly(read_);
  closeQuietly(write_);
}

std::string defaultPipeRoot() { return "\\\\.\\pipe"; }

NamedPipe::~NamedPipe() { close(); }

PipeCreate NamedPipe::create(const std::string& root, const std::string& name, size_t bufferBytes) {
  return open(root, name, bufferBytes, true);
}

// A pipe ends with the last handle of its server: the pipe of a manager that has gone cannot
// be taken over, whatever its agent still holds.
PipeCreate NamedPipe::adopt(const std::string&, const std::string&, size_t) {
  close();
  SetLastError(ERROR_FILE_NOT_FOUND);
  return PipeCreate::kFailed;
}

PipeCreate NamedPipe::open(const std::string& root, const std::string& name, size_t bufferBytes,
                           bool) {
  close();
  if (name.empty() || name.front() == '/' || name.back() == '/' ||
      name.find('\\') != std::string::npos) {
    SetLastError(ERROR_INVALID_NAME);
    return PipeCreate::kFailed;
  }
  const std::string path = pipePath(root, name);
  // The first instance only: a name that another holder has is busy. Inbound, bytes, and
  // non-blocking reads; one writer at a time.
  HANDLE h = CreateNamedPipeW(
      win::widen(path).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
      bufferSize(bufferBytes), 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (e == ERROR_ACCESS_DENIED || e == ERROR_PIPE_BUSY) {
      SetLastError(ERROR_PIPE_BUSY);
      return PipeCreate::kBusy;
    }
    return PipeCreate::kFailed;
  }
  // A new instance takes its writer without ConnectNamedPipe (which may block).
  read_ = win::fromHandle(h);
  path_ = path;
  return PipeCreate::kCreated;
}

void NamedPipe::close() {
  path_.clear();
  keep_ = false;
  closeQuietly(read_);
  closeQuietly(lock_);
}

int openNamedPipeWriter(const std::string& path) {
  HANDLE h =
      CreateFileW(writerPath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : win::fromHandle(h);
}

void closePipeHandle(int handle) { closeQuietly(handle); }

bool writePipe(int handle, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD put = 0;
    const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    if (!WriteFile(win::toHandle(handle), p, want, &put, nullptr)) return false;
    p += put;
    size -= put;
  }
  return true;
}

namespace win {
std::wstring pipeWriterPath(const std::string& path) { return writerPath(path); }
}  // namespace win

}  // namespace platform
