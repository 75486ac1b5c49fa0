#include "updates/upload.h"

#include <utility>

#include "adt/log.h"
#include "platform/file.h"
#include "updates/update_store.h"

namespace updates {

Upload::Upload(UpdateStore& store, adt::String target)
    : store_(store),
      target_(std::move(target)),
      temporary_(target_ + ".uploading"),
      file_(temporary_, adt::kFileWrite | adt::kShareRead | adt::kCreateAlways) {}

Upload::~Upload() {
  file_.close();
  if (!finished_ && platform::pathExists(temporary_)) {
    adt::log(adt::LOG_WARN, "deleting incomplete file: " + temporary_);
    adt::deleteFile(temporary_);
  }
}

void Upload::write(const void* data, size_t n) { file_.write(data, n); }

void Upload::finish() {
  file_.close();
  adt::rename(temporary_, target_);
  finished_ = true;
  store_.uploaded();
}

}  // namespace updates
