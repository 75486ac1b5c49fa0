#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "platform/file.h"
#include "platform/path_normal.h"

namespace platform {

namespace {

// Files are opened without blocking (a FIFO would hold the open); once one is known to be a
// file, its reads and writes block as usual.
void readBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace

FileHandle openFile(const std::string& path, int access, int creation, int permissions) {
  // Not blocking while opening: a FIFO put where a file was expected would hold the caller
  // until somebody opened its other end. Only files are wanted; a FIFO is refused.
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (access & 3) {
    case kAccessWrite: flags |= O_WRONLY; break;
    case kAccessReadWrite: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  switch (creation) {
    case kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case kOpenAlways: flags |= O_CREAT; break;
    case kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    default: break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, static_cast<mode_t>(permissions));
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode))) {
      ::close(fd);
      errno = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
      return kNoFile;
    }
    readBlocking(fd);
  }
  return fd;
}

FileHandle createFileExclusive(const std::string& path, int permissions) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                static_cast<mode_t>(permissions));
  } while (fd < 0 && errno == EINTR);
  return fd;
}

FileHandle openFileNoFollow(const std::string& path) {
  int fd;
  do {
    // Not blocking on a FIFO while opening; it is refused below like everything but a file.
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      errno = EISDIR;
      return kNoFile;
    }
    readBlocking(fd);
  }
  return fd;
}

bool syncDirectory(const std::string& path) {
  const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  const int e = errno;
  ::close(fd);
  errno = e;
  return ok;
}

int64_t freeDiskSpace(const std::string& path) {
  struct statvfs st {};
  if (::statvfs(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

bool resolvedPath(const std::string& path, std::string& out) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return false;
  out = resolved;
  ::free(resolved);
  return true;
}

void closeFile(FileHandle h) {
  if (h >= 0) ::close(h);
}

int64_t readFile(FileHandle h, void* dst, size_t n) {
  ssize_t r;
  do {
    r = ::read(h, dst, n);
  } while (r < 0 && errno == EINTR);
  return r;
}

int64_t writeFile(FileHandle h, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(h, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) break;
    done += static_cast<size_t>(w);
  }
  return static_cast<int64_t>(done);
}

int64_t seekFile(FileHandle h, int64_t offset, int from) {
  const int whence = from == kSeekEnd ? SEEK_END : from == kSeekCurrent ? SEEK_CUR : SEEK_SET;
  return ::lseek(h, offset, whence);
}

int64_t fileSize(FileHandle h) {
  struct stat st {};
  if (fstat(h, &st) != 0) return -1;
  return st.st_size;
}

bool truncateFile(FileHandle h, uint64_t size) {
  return ::ftruncate(h, static_cast<off_t>(size)) == 0;
}

bool syncFile(FileHandle h) {
  if (::fsync(h) == 0) return true;
  // Pipes, terminals and special files have nothing to sync.
  return errno == EINVAL || errno == EROFS;
}

bool copyFile(const std::string& from, const std::string& to, bool overwrite) {
  FileHandle in = openFile(from, kAccessRead, kOpenExisting);
  if (in < 0) return false;
  struct stat src {};
  if (fstat(in, &src) != 0) {
    const int e = errno;
    closeFile(in);
    errno = e;
    return false;
  }
  // Opened without truncation first: truncating before the same-file check would destroy the
  // source when both names lead to one file.
  const int creation = overwrite ? kOpenAlways : kCreateNew;
  const bool existed = overwrite && pathExists(to);
  FileHandle out = openFile(to, kAccessWrite, creation, static_cast<int>(src.st_mode & 07777));
  if (out < 0) {
    const int e = errno;
    closeFile(in);
    errno = e;
    return false;
  }
  struct stat dst {};
  bool ok = fstat(out, &dst) == 0;
  if (ok && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
    errno = EINVAL;
    closeFile(in);
    closeFile(out);
    return false;
  }
  ok = ok && ::ftruncate(out, 0) == 0 && ::fchmod(out, src.st_mode & 07777) == 0;
  std::vector<char> buf(65536);
  while (ok) {
    const int64_t n = readFile(in, buf.data(), buf.size());
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    const int64_t w = writeFile(out, buf.data(), static_cast<size_t>(n));
    if (w != n) {
      if (w >= 0) errno = ENOSPC;  // the device took less than asked without an error
      ok = false;
    }
  }
  int e = errno;
  closeFile(in);
  if (::close(out) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok && !existed) ::unlink(to.c_str());
  errno = e;
  return ok;
}

bool renameFile(const std::string& from, const std::string& to, bool overwrite) {
  if (overwrite) return ::rename(from.c_str(), to.c_str()) == 0;
  // Hard link then unlink: fails with EEXIST when the target exists, like a no-replace move.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  // Directories and cross-device moves cannot be linked: check, then rename.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool createDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  if (errno == EEXIST) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    errno = EEXIST;
  }
  return false;
}

bool removeDirectory(const std::string& path) { return ::rmdir(path.c_str()) == 0; }
bool deleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string currentDirectory() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}

std::string absolutePath(const std::string& path) {
  std::string full = !path.empty() && path[0] == '/' ? path : currentDirectory() + "/" + path;
  const std::string out = normalSlashPath(full);
  return out.empty() ? "/" : out;
}

bool fileModifiedLocalTime(const std::string& path, LocalTime& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  tm parts{};
  if (!localtime_r(&st.st_mtim.tv_sec, &parts)) return false;
  out.year = parts.tm_year + 1900;
  out.month = parts.tm_mon + 1;
  out.day = parts.tm_mday;
  out.hour = parts.tm_hour;
  out.minute = parts.tm_min;
  out.second = parts.tm_sec;
  out.millisecond = static_cast<int>(st.st_mtim.tv_nsec / 1000000);
  out.weekday = parts.tm_wday == 0 ? 7 : parts.tm_wday;
  return true;
}

DirectoryReader::~DirectoryReader() { close(); }

bool DirectoryReader::open(const std::string& path) {
  close();
  DIR* d = ::opendir(path.c_str());
  if (!d) return false;
  dir_ = d;
  path_ = path;
  return true;
}

bool DirectoryReader::next(std::string& name, bool& isDir) {
  if (!dir_) return false;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(static_cast<DIR*>(dir_));
    if (!e) return false;
    if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0)))
      continue;
    name = e->d_name;
    if (e->d_type == DT_DIR) {
      isDir = true;
    } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      isDir = isDirectory(path_ + "/" + name);
    } else {
      isDir = false;
    }
    return true;
  }
}

void DirectoryReader::close() {
  if (dir_) ::closedir(static_cast<DIR*>(dir_));
  dir_ = nullptr;
}

}  // namespace platform
