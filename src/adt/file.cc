#include "adt/file.h"

#include <atomic>

#include "adt/exception.h"
#include "platform/error.h"
#include "platform/self.h"

namespace adt {
namespace {

String quoted(const String& path) { return "\"" + path + "\""; }

// '*' matches any run of characters, '?' any one byte.
bool wildcardMatch(const char* pattern, const char* name) {
  while (*pattern) {
    if (*pattern == '*') {
      while (*pattern == '*') ++pattern;
      if (!*pattern) return true;
      for (const char* rest = name; *rest; ++rest) {
        if (wildcardMatch(pattern, rest)) return true;
      }
      return false;
    }
    if (!*name || (*pattern != '?' && *pattern != *name)) return false;
    ++pattern;
    ++name;
  }
  return !*name;
}

}  // namespace

[[noreturn]] void throwIOError(int code, const String& context) {
  throw IOException(systemErrorMessage(context, code));
}

// ---- File ----

File::File(const String& path, int mode) {
  if (!open(path, mode)) throwIOError(platform::lastError(), quoted(path));
}

File::~File() { close(); }

bool File::open(const String& path, int mode, int permissions) {
  close();
  const platform::FileHandle h = platform::openFile(path, mode & 3, (mode >> 8) & 3, permissions);
  if (h == platform::kNoFile) return false;
  handle_ = h;
  path_ = path;
  return true;
}

void File::adopt(platform::FileHandle handle, const String& path) {
  close();
  handle_ = handle;
  path_ = path;
}

void File::requireOpen() const {
  if (!isOpen()) throw IOException("Файл не открыт");
}

size_t File::read(void* dst, size_t n) {
  if (n == 0) return 0;
  const int64_t got = platform::readFile(handle_, dst, n);
  if (got < 0) throwIOError(platform::lastError(), quoted(path_));
  return static_cast<size_t>(got);
}

void File::write(const void* data, size_t n) {
  if (n == 0) return;
  const int64_t put = platform::writeFile(handle_, data, n);
  if (put < 0) throwIOError(platform::lastError(), quoted(path_));
  if (static_cast<uint64_t>(put) != n) throw IOException("Ошибка записи в файл");
}

void File::seek(uint64_t pos) {
  requireOpen();
  if (platform::seekFile(handle_, static_cast<int64_t>(pos), platform::kSeekSet) < 0)
    throwIOError(platform::lastError(), quoted(path_));
}

void File::seekRelative(int64_t delta) {
  if (!isOpen()) return;
  if (platform::seekFile(handle_, delta, platform::kSeekCurrent) < 0)
    throwIOError(platform::lastError(), quoted(path_));
}

void File::seekEnd() {
  if (!isOpen()) return;
  if (platform::seekFile(handle_, 0, platform::kSeekEnd) < 0)
    throwIOError(platform::lastError(), quoted(path_));
}

uint64_t File::position() {
  if (!isOpen()) return 0;
  const int64_t pos = platform::seekFile(handle_, 0, platform::kSeekCurrent);
  if (pos < 0) throwIOError(platform::lastError(), quoted(path_));
  return static_cast<uint64_t>(pos);
}

uint64_t File::size() {
  if (!isOpen()) return 0;
  const int64_t n = platform::fileSize(handle_);
  if (n < 0) throwIOError(platform::lastError(), quoted(path_));
  return static_cast<uint64_t>(n);
}

void File::truncate() {
  requireOpen();
  const uint64_t pos = position();
  if (!platform::truncateFile(handle_, pos)) throwIOError(platform::lastError(), quoted(path_));
}

void File::flush() {
  if (!isOpen()) return;
  if (!platform::syncFile(handle_)) throwIOError(platform::lastError(), quoted(path_));
}

void File::close() {
  if (!isOpen()) return;
  platform::closeFile(handle_);
  handle_ = platform::kNoFile;
  path_.clear();
}

// ---- DirectoryIterator ----

bool DirectoryIterator::open(const String& path) {
  open_ = reader_.open(path);
  return open_;
}

DirectoryIterator::Kind DirectoryIterator::next(String& name) {
  if (!open_) return kEnd;
  String entry;
  bool isDirectory = false;
  if (!reader_.next(entry, isDirectory)) {
    reader_.close();
    open_ = false;
    return kEnd;
  }
  name = std::move(entry);
  return isDirectory ? kDirectory : kFile;
}

// ---- File operations ----

void copy(const String& from, const String& to) {
  if (!platform::copyFile(from, to, false))
    throwIOError(platform::lastError(), format("Copy(%s,%s)", from.c_str(), to.c_str()));
}

void copyOverwrite(const String& from, const String& to) {
  if (!platform::copyFile(from, to, true))
    throwIOError(platform::lastError(), format("CopyOverwrite(%s,%s)", from.c_str(), to.c_str()));
}

void rename(const String& from, const String& to) {
  if (!platform::renameFile(from, to, false))
    throwIOError(platform::lastError(), format("Rename(%s,%s)", from.c_str(), to.c_str()));
}

void renameOverwrite(const String& from, const String& to) {
  if (!platform::renameFile(from, to, true)) {
    throwIOError(platform::lastError(), format("RenameOverwrite(%s,%s)", from.c_str(), to.c_str()));
  }
}

void createDirectory(const String& path) {
  if (!platform::createDirectory(path)) throwIOError(platform::lastError(), quoted(path));
}

void removeDirectory(const String& path) {
  if (!platform::removeDirectory(path)) throw LastError("RemoveDirectoryA", platform::lastError());
}

bool deleteFile(const String& path) { return platform::deleteFile(path); }

bool exists(const String& path) {
  const size_t slash = path.find_last_of('/');
  const String last = slash == String::npos ? path : path.substr(slash + 1);
  if (last.find_first_of("*?") == String::npos) return platform::pathExists(path);
  const String dir = slash == String::npos ? String(".") : path.substr(0, slash + 1);
  DirectoryIterator it(dir);
  String name;
  while (it.next(name) != DirectoryIterator::kEnd) {
    if (wildcardMatch(last.c_str(), name.c_str())) return true;
  }
  return false;
}

String longPath(const String& path) { return platform::absolutePath(path); }

String fileNamePart(const String& path) {
  size_t cut = path.rfind('\\');
  if (cut == String::npos) cut = path.rfind('/');
  return cut == String::npos ? path : path.substr(cut + 1);
}

String replaceExtension(const String& path, const char* extension) {
  const size_t separator = path.find_last_of("/\\");
  const size_t nameStart = separator == String::npos ? 0 : separator + 1;
  const size_t dot = path.rfind('.');
  const bool hasExtension = dot != String::npos && dot > nameStart;
  return (hasExtension ? path.substr(0, dot) : path) + "." + extension;
}

// ---- Whole files ----

Bytes readWholeFile(const String& path) {
  File file(path, kFileRead | kShareReadWrite | kOpenExisting);
  Bytes out;
  out.reserve(static_cast<size_t>(file.size()));
  uint8_t buf[65536];
  for (;;) {
    const size_t got = file.read(buf, sizeof buf);
    if (got == 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

void writeFileAtomically(const String& path, const void* data, size_t n, bool ownerOnly) {
  static std::atomic<uint32_t> counter{0};
  // A fresh name that nobody else holds: created exclusively and never through a symbolic link,
  // so a file planted under the name (with other permissions, or pointing elsewhere) is not
  // used; another name is tried instead.
  String temp;
  platform::FileHandle h = platform::kNoFile;
  for (int attempt = 0; attempt < 16 && h == platform::kNoFile; ++attempt) {
    temp = format("%s.%u-%u-%u.tmp", path.c_str(), platform::currentProcessId(),
                  platform::currentThreadId(), counter.fetch_add(1));
    h = platform::createFileExclusive(temp, ownerOnly ? 0600 : 0644);
    if (h == platform::kNoFile && !platform::isAlreadyExists(platform::lastError())) break;
  }
  if (h == platform::kNoFile) throwIOError(platform::lastError(), quoted(temp));
  File file;
  file.adopt(h, temp);
  try {
    file.write(data, n);
    file.flush();
    file.close();
    renameOverwrite(temp, path);
  } catch (...) {
    file.close();
    deleteFile(temp);
    throw;
  }
  // The rename itself is durable only once the directory is.
  const size_t slash = path.find_last_of('/');
  const String directory = slash == String::npos ? String(".") : path.substr(0, slash + 1);
  if (!platform::syncDirectory(directory)) throwIOError(platform::lastError(), quoted(directory));
}

}  // namespace adt
