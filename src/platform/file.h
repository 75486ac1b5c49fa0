// Files and directories. Functions report failure by their result; the code is then
// platform::lastError() (read it at once, before any other call).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace platform {

using FileHandle = int;
constexpr FileHandle kNoFile = -1;

enum FileAccess { kAccessNone = 0, kAccessRead = 1, kAccessWrite = 2, kAccessReadWrite = 3 };
enum FileCreation {
  kOpenExisting = 0,  // fails when missing
  kCreateNew = 1,     // fails when it exists
  kOpenAlways = 2,    // creates when missing
  kCreateAlways = 3,  // creates or truncates
};

// Opens with close-on-exec. Sharing modes have no equivalent here: others may always open.
// `permissions` applies to a file this call creates (less the process umask).
FileHandle openFile(const std::string& path, int access, int creation, int permissions = 0644);
// Creates a new file for writing that did not exist before: fails (EEXIST) when anything is
// at `path`, a symbolic link included, so nobody can plant the file or point it elsewhere.
FileHandle createFileExclusive(const std::string& path, int permissions);
// Opens an existing file for reading only when `path` is not a symbolic link itself.
FileHandle openFileNoFollow(const std::string& path);
void closeFile(FileHandle h);
// Bytes read (0 at end), or -1.
int64_t readFile(FileHandle h, void* dst, size_t n);
// Bytes written, or -1. Retries short writes until all is written or an error occurs.
int64_t writeFile(FileHandle h, const void* data, size_t n);
enum SeekFrom { kSeekSet = 0, kSeekCurrent = 1, kSeekEnd = 2 };
// New absolute position, or -1.
int64_t seekFile(FileHandle h, int64_t offset, int from);
// Size in bytes, or -1.
int64_t fileSize(FileHandle h);
// Ends the file at `size`.
bool truncateFile(FileHandle h, uint64_t size);
// Forces written bytes to the device. Handles that cannot be synced (pipes, terminals) succeed.
bool syncFile(FileHandle h);

// Forces a directory's entries (a rename into it, a new file) to the device.
bool syncDirectory(const std::string& path);
// Bytes available to this process on the file system holding `path`, or -1.
int64_t freeDiskSpace(const std::string& path);
// The absolute path with every symbolic link resolved; false when `path` does not exist or
// cannot be resolved.
bool resolvedPath(const std::string& path, std::string& out);

// copy/rename: with overwrite false they fail (EEXIST) when `to` exists. A copy keeps the
// permission bits of `from`, refuses to copy a file onto itself, and removes a partial `to`
// that it created when it fails half way.
bool copyFile(const std::string& from, const std::string& to, bool overwrite);
bool renameFile(const std::string& from, const std::string& to, bool overwrite);
// True when created or already a directory.
bool createDirectory(const std::string& path);
bool removeDirectory(const std::string& path);
bool deleteFile(const std::string& path);
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
// Absolute, normalised form ("." and ".." resolved textually); the path need not exist.
std::string absolutePath(const std::string& path);
// Current working directory.
std::string currentDirectory();
// Last modification time of the file at `path`, as local wall time; false when it cannot be read.
bool fileModifiedLocalTime(const std::string& path, LocalTime& out);

// Directory listing without "." and "..".
class DirectoryReader {
 public:
  DirectoryReader() = default;
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;
  bool open(const std::string& path);
  // False at the end. isDirectory tells directories from everything else.
  bool next(std::string& name, bool& isDirectory);
  void close();

 private:
  void* dir_ = nullptr;
  std::string path_;
};

}  // namespace platform
