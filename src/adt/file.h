// Files: a file object that is both an input and an output stream, file and directory
// operations that turn failures into exceptions carrying the system's error text, a directory
// iterator, and whole-file helpers.
#pragma once
#include <cstddef>
#include <cstdint>

#include "adt/stream.h"
#include "adt/text.h"
#include "platform/file.h"

namespace adt {

// Open mode: three 2-bit fields, combined with |. Example: kFileRead | kShareReadWrite |
// kOpenExisting == 49.
enum FileMode : int {
  // Bits 0-1: access.
  kFileNoAccess = 0,
  kFileRead = 1,
  kFileWrite = 2,
  kFileReadWrite = 3,
  // Bits 4-5: sharing with other openers. Kept for the mode's layout only: POSIX has no
  // mandatory sharing modes, so other openers are never locked out.
  kShareNone = 0x00,
  kShareRead = 0x10,
  kShareWrite = 0x20,
  kShareReadWrite = 0x30,
  // Bits 8-9: creation.
  kOpenExisting = 0x000,  // fails when missing
  kCreateNew = 0x100,     // fails when it exists
  kOpenAlways = 0x200,    // creates when missing
  kCreateAlways = 0x300,  // creates or truncates
};

// An open file (or none). Unbuffered: every read and write goes to the system. Owns its handle
// and closes it on destruction. Not thread-safe; one owner at a time.
//
// Failures of the system calls throw IOException "\"<path>\": <system text>" (the path the
// file was opened with; "" for a closed file); a short write throws
// "Ошибка записи в файл"; seek and truncate on a closed file throw "Файл не открыт".
class File final : public SeekableInputStream, public SeekableOutputStream {
 public:
  File() = default;
  // Opens or throws IOException "\"<path>\": <system text>".
  File(const String& path, int mode);
  ~File() override;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens (closing any file held before); false on failure, the code is then in
  // platform::lastError(). `permissions` applies to a file that this call creates.
  bool open(const String& path, int mode, int permissions = 0644);
  // Takes over an open handle (closing any file held before); `path` names it in errors.
  void adopt(platform::FileHandle handle, const String& path);
  bool isOpen() const { return handle_ != platform::kNoFile; }
  const String& path() const { return path_; }

  // Up to n bytes; 0 at the end of the file.
  size_t read(void* dst, size_t n) override;
  void write(const void* data, size_t n) override;
  // Absolute position.
  void seek(uint64_t pos) override;
  // Relative to the current position; does nothing on a closed file.
  void seekRelative(int64_t delta);
  // To the end of the file; does nothing on a closed file.
  void seekEnd();
  // The current position; 0 on a closed file.
  uint64_t position();
  // Size in bytes; 0 on a closed file.
  uint64_t size() override;
  // Ends the file at the current position.
  void truncate();
  // Forces the written bytes to the disk (there is no user-space buffer to push).
  void flush() override;
  void close();

 private:
  void requireOpen() const;

  platform::FileHandle handle_ = platform::kNoFile;
  String path_;
};

// Iterates the entries of one directory, "." and ".." left out, in the system's order.
// Not thread-safe.
class DirectoryIterator {
 public:
  enum Kind { kEnd = 0, kDirectory = 1, kFile = 2 };

  DirectoryIterator() = default;
  // A directory that cannot be opened yields the end at once (see isOpen()).
  explicit DirectoryIterator(const String& path) { open(path); }
  DirectoryIterator(const DirectoryIterator&) = delete;
  DirectoryIterator& operator=(const DirectoryIterator&) = delete;

  bool open(const String& path);
  bool isOpen() const { return open_; }
  // The next entry's name and its kind; kEnd (name untouched) after the last one.
  // Everything that is not a directory counts as a file.
  Kind next(String& name);

 private:
  platform::DirectoryReader reader_;
  bool open_ = false;
};

// File operations. Each failure throws IOException "<context>: <system text>" with the context
// given.
// Copies; fails when `to` exists. Context "Copy(<from>,<to>)".
void copy(const String& from, const String& to);
// Copies, replacing `to`. Context "CopyOverwrite(<from>,<to>)".
void copyOverwrite(const String& from, const String& to);
// Moves; fails when `to` exists. Context "Rename(<from>,<to>)".
void rename(const String& from, const String& to);
// Moves, replacing `to`. Context "RenameOverwrite(<from>,<to>)".
void renameOverwrite(const String& from, const String& to);
// Creates one directory (not its parents); an existing directory is fine. Context "\"<path>\"".
void createDirectory(const String& path);
// Removes an empty directory; failure throws LastError "RemoveDirectoryA => <system text>".
void removeDirectory(const String& path);
// Deletes a file; false on failure.
bool deleteFile(const String& path);
// True when a directory entry matches `path`; its last component may hold the wildcards
// '*' and '?'.
bool exists(const String& path);

// The absolute, normalised form of a path ("." and ".." resolved, relative paths taken from the
// current directory). There are no short 8.3 names here to expand, so this is what stands in
// for the long form of a path.
String longPath(const String& path);

// The file name part of a path: the text after the last "\" or, when there is none, after the
// last "/"; the whole path when it has neither.
String fileNamePart(const String& path);

// `path` with the extension of its last component replaced by `extension` (given without the
// dot), or ".<extension>" appended when the last component has none. A leading dot does not
// start an extension (".am" has none).
String replaceExtension(const String& path, const char* extension);

// The whole content of a file; throws IOException "\"<path>\": <system text>".
Bytes readWholeFile(const String& path);
// Replaces `path` with `n` bytes so that readers see either the old or the new content, never
// a part: the bytes go to a temporary file beside it, are forced to the disk, and the temporary
// file is renamed over `path`. `ownerOnly` makes a newly written file readable by its owner
// only (for secrets). The temporary file is created exclusively (never an existing file, never
// through a symbolic link), and the directory is synced after the rename. Throws IOException;
// on failure `path` is left as it was.
void writeFileAtomically(const String& path, const void* data, size_t n, bool ownerOnly = false);
inline void writeFileAtomically(const String& path, const Bytes& data, bool ownerOnly = false) {
  writeFileAtomically(path, data.data(), data.size(), ownerOnly);
}

// Throws IOException "<context>: <system text for code>" (just the text for an empty context).
[[noreturn]] void throwIOError(int code, const String& context);

}  // namespace adt
