#include "platform/file.h"

#include <vector>

#include "platform/path_normal.h"
#include "platform/windows/win.h"

namespace platform {
namespace {

HANDLE h2w(FileHandle h) { return win::toHandle(h); }

FileHandle open(const std::string& path, DWORD access, DWORD creation, DWORD flags) {
  // Others may read, write and delete while we hold the file, as on the other platform.
  HANDLE h = CreateFileW(win::widePath(path).c_str(), access,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, creation,
                         flags, nullptr);
  return h == INVALID_HANDLE_VALUE ? kNoFile : win::fromHandle(h);
}

bool attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& out) {
  return GetFileAttributesExW(win::widePath(path).c_str(), GetFileExInfoStandard, &out) != 0;
}

LocalTime localTime(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME s;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &s)) return {};
  return win::fromSystemTime(s);
}

bool isAbsolute(const std::string& p) {
  return (p.size() >= 2 && p[1] == ':') || (!p.empty() && (p[0] == '/' || p[0] == '\\'));
}

}  // namespace

FileHandle openFile(const std::string& path, int access, int creation, int) {
  DWORD rights = 0;
  if (access & kAccessRead) rights |= GENERIC_READ;
  if (access & kAccessWrite) rights |= GENERIC_WRITE;
  if (rights == 0) rights = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  switch (creation) {
    case kCreateNew: disposition = CREATE_NEW; break;
    case kOpenAlways: disposition = OPEN_ALWAYS; break;
    case kCreateAlways: disposition = CREATE_ALWAYS; break;
    default: break;
  }
  const FileHandle h = open(path, rights, disposition, FILE_ATTRIBUTE_NORMAL);
  // OPEN_ALWAYS and CREATE_ALWAYS leave ERROR_ALREADY_EXISTS behind on success.
  if (h != kNoFile) SetLastError(0);
  return h;
}

FileHandle createFileExclusive(const std::string& path, int) {
  return open(path, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
}

FileHandle openFileNoFollow(const std::string& path) {
  const FileHandle h = open(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == kNoFile) return h;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h2w(h), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    CloseHandle(h2w(h));
    SetLastError(ERROR_ACCESS_DENIED);
    return kNoFile;
  }
  return h;
}

void closeFile(FileHandle h) {
  if (h != kNoFile) CloseHandle(h2w(h));
}

int64_t readFile(FileHandle h, void* dst, size_t n) {
  DWORD got = 0;
  const DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
  if (!ReadFile(h2w(h), dst, want, &got, nullptr)) {
    // The writer of a pipe closed its end: that is the end of the input.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return got;
}

int64_t writeFile(FileHandle h, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    const size_t left = n - done;
    DWORD put = 0;
    if (!WriteFile(h2w(h), p + done, left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left),
                   &put, nullptr)) {
      return -1;
    }
    if (put == 0) break;
    done += put;
  }
  return static_cast<int64_t>(done);
}

int64_t seekFile(FileHandle h, int64_t offset, int from) {
  LARGE_INTEGER distance, position;
  distance.QuadPart = offset;
  const DWORD method = from == kSeekEnd ? FILE_END : from == kSeekCurrent ? FILE_CURRENT : FILE_BEGIN;
  if (!SetFilePointerEx(h2w(h), distance, &position, method)) return -1;
  return position.QuadPart;
}

int64_t fileSize(FileHandle h) {
  LARGE_INTEGER size;
  return GetFileSizeEx(h2w(h), &size) ? size.QuadPart : -1;
}

bool truncateFile(FileHandle h, uint64_t size) {
  LARGE_INTEGER here, zero, end;
  zero.QuadPart = 0;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(h2w(h), zero, &here, FILE_CURRENT)) return false;
  const bool ok = SetFilePointerEx(h2w(h), end, nullptr, FILE_BEGIN) && SetEndOfFile(h2w(h));
  SetFilePointerEx(h2w(h), here, nullptr, FILE_BEGIN);
  return ok;
}

bool syncFile(FileHandle h) {
  if (FlushFileBuffers(h2w(h))) return true;
  // Pipes and consoles have nothing to flush.
  const DWORD type = GetFileType(h2w(h));
  return type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR;
}

// Directory entries are written through by the file system; there is no handle to flush.
bool syncDirectory(const std::string& path) { return path.empty() || isDirectory(path); }

int64_t freeDiskSpace(const std::string& path) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(win::widePath(path.empty() ? "." : path).c_str(), &available, nullptr,
                           nullptr)) {
    return -1;
  }
  return static_cast<int64_t>(available.QuadPart);
}

bool resolvedPath(const std::string& path, std::string& out) {
  HANDLE h = CreateFileW(win::widePath(path).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::vector<wchar_t> buf(32768);
  const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  const DWORD e = GetLastError();
  CloseHandle(h);
  if (n == 0 || n >= buf.size()) {
    SetLastError(e);
    return false;
  }
  std::wstring w(buf.data(), n);
  if (w.rfind(L"\\\\?\\", 0) == 0) w.erase(0, 4);
  out = win::slashPath(w.data(), w.size());
  return true;
}

bool copyFile(const std::string& from, const std::string& to, bool overwrite) {
  std::string a, b;
  if (resolvedPath(from, a) && resolvedPath(to, b) && a == b) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // CopyFileW keeps the attributes and removes a partial copy itself.
  return CopyFileW(win::widePath(from).c_str(), win::widePath(to).c_str(), !overwrite) != 0;
}

bool renameFile(const std::string& from, const std::string& to, bool overwrite) {
  return MoveFileExW(win::widePath(from).c_str(), win::widePath(to).c_str(),
                     (overwrite ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_COPY_ALLOWED |
                         MOVEFILE_WRITE_THROUGH) != 0;
}

bool createDirectory(const std::string& path) {
  if (CreateDirectoryW(win::widePath(path).c_str(), nullptr)) return true;
  if (GetLastError() == ERROR_ALREADY_EXISTS && isDirectory(path)) return true;
  return false;
}

bool removeDirectory(const std::string& path) {
  return RemoveDirectoryW(win::widePath(path).c_str()) != 0;
}
bool deleteFile(const std::string& path) { return DeleteFileW(win::widePath(path).c_str()) != 0; }

bool pathExists(const std::string& path) {
  return GetFileAttributesW(win::widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const std::string& path) {
  const DWORD a = GetFileAttributesW(win::widePath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string currentDirectory() {
  std::vector<wchar_t> buf(32768);
  const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buf.size()), buf.data());
  if (n == 0 || n >= buf.size()) return "C:/";
  return win::slashPath(buf.data(), n);
}

std::string absolutePath(const std::string& path) {
  std::string full = isAbsolute(path) ? path : currentDirectory() + "/" + path;
  for (char& c : full) {
    if (c == '\\') c = '/';
  }
  // The drive ("C:") stays in front; a path without one takes the current drive.
  std::string drive;
  if (full.size() >= 2 && full[1] == ':') {
    drive = full.substr(0, 2);
    full.erase(0, 2);
  } else {
    drive = currentDirectory().substr(0, 2);
  }
  const std::string out = normalSlashPath(full);
  return drive + (out.empty() ? "/" : out);
}

bool fileModifiedLocalTime(const std::string& path, LocalTime& out) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!attributes(path, a)) return false;
  out = localTime(a.ftLastWriteTime);
  return true;
}

namespace {

struct Search {
  HANDLE handle = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data;
  bool pending = false;  // `data` holds an entry not yet returned
};

}  // namespace

DirectoryReader::~DirectoryReader() { close(); }

bool DirectoryReader::open(const std::string& path) {
  close();
  auto* s = new Search;
  s->handle = FindFirstFileExW(win::widePath(path + "/*").c_str(), FindExInfoBasic, &s->data,
                               FindExSearchNameMatch, nullptr, 0);
  if (s->handle == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    delete s;
    SetLastError(e);
    return false;
  }
  s->pending = true;
  dir_ = s;
  path_ = path;
  return true;
}

bool DirectoryReader::next(std::string& name, bool& isDir) {
  auto* s = static_cast<Search*>(dir_);
  if (!s) return false;
  for (;;) {
    if (!s->pending && !FindNextFileW(s->handle, &s->data)) return false;
    s->pending = false;
    const wchar_t* n = s->data.cFileName;
    if (n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0))) continue;
    name = win::narrow(n, wcslen(n));
    isDir = (s->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
  }
}

void DirectoryReader::close() {
  auto* s = static_cast<Search*>(dir_);
  if (s) {
    FindClose(s->handle);
    delete s;
  }
  dir_ = nullptr;
}

}  // namespace platform
