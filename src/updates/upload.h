// One upload of a file into the updates directory.
#pragma once
#include <cstddef>

#include "adt/file.h"
#include "adt/text.h"

namespace updates {

class UpdateStore;

// Receives the bytes of an uploaded file in "<target>.uploading" and moves it to its name only
// when it is complete, so a distribution is never seen half-written. Made by
// UpdateStore::beginUpload; owned by the request that receives the file; server thread.
class Upload {
 public:
  // An upload that was not finished (the client went away, or the rename failed) deletes its
  // temporary file and logs "deleting incomplete file: <path>".
  ~Upload();
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  // Appends bytes. Throws adt::IOException.
  void write(const void* data, size_t n);
  // Closes the file, renames it to the target ("Rename(<from>,<to>)" with the system text when
  // that fails, for instance because the target exists), then runs the store's clean-up and
  // rescan (which starts unpacking a new distribution).
  void finish();

  const adt::String& target() const { return target_; }
  const adt::String& temporaryPath() const { return temporary_; }

 private:
  friend class UpdateStore;
  Upload(UpdateStore& store, adt::String target);

  UpdateStore& store_;
  const adt::String target_;
  const adt::String temporary_;
  adt::File file_;
  bool finished_ = false;
};

}  // namespace updates
