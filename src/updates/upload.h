// One upload of a file into the updates directory.
#pragma once
#include <cstddef>
#include <cstdint>

#include "adt/file.h"
#include "adt/text.h"

namespace updates {

class UpdateStore;

// Receives the bytes of an uploaded file in a temporary file of its own beside the target
// ("<target>.<pid>-<n>.uploading", created exclusively) and moves it to its name only when it
// is complete, so a distribution is never seen half-written and two uploads never share a
// file. While it lives, its target counts as being uploaded: a second upload to the same
// target is refused. Made by UpdateStore::beginUpload; owned by the request that receives the
// file; server thread.
class Upload {
 public:
  // The largest archive accepted.
  static constexpr uint64_t kMaxBytes = 1ull << 30;
  // Free space that an upload must leave on the disk of the updates directory.
  static constexpr int64_t kMinFreeBytes = 64ll << 20;
  // Written bytes between two free-space checks.
  static constexpr uint64_t kFreeSpaceCheckEvery = 16ull << 20;

  // An upload that was not finished (the client went away, or the rename failed) deletes its
  // temporary file and logs "deleting incomplete file: <path>".
  ~Upload();
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  // Appends bytes. Throws adt::IOException, or adt::Exception "Размер файла обновления
  // превышает <kMaxBytes> байт" past the cap and "Недостаточно места на диске для загрузки
  // \"<target>\"" when the disk would keep less than kMinFreeBytes.
  void write(const void* data, size_t n);
  // Closes the file, renames it to the target ("Rename(<from>,<to>)" with the system text when
  // that fails, for instance because the target exists), then runs the store's clean-up and
  // rescan (which starts unpacking a new distribution).
  void finish();

  const adt::String& target() const { return target_; }
  const adt::String& temporaryPath() const { return temporary_; }
  uint64_t written() const { return written_; }

 private:
  friend class UpdateStore;
  // Throws adt::Exception when the target is being uploaded already or the disk is short of
  // space, adt::IOException when the temporary file cannot be made.
  Upload(UpdateStore& store, adt::String target);
  void checkFreeSpace() const;

  UpdateStore& store_;
  const adt::String target_;
  adt::String temporary_;
  adt::File file_;
  uint64_t written_ = 0;
  uint64_t nextSpaceCheck_ = kFreeSpaceCheckEvery;
  bool registered_ = false;
  bool finished_ = false;
};

}  // namespace updates
