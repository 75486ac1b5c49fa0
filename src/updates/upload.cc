#include "updates/upload.h"

#include <atomic>
#include <utility>

#include "adt/exception.h"
#include "adt/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/self.h"
#include "updates/file_tree.h"
#include "updates/update_store.h"

namespace updates {

Upload::Upload(UpdateStore& store, adt::String target)
    : store_(store), target_(std::move(target)) {
  if (!store_.startUpload(target_))
    throw adt::Exception("Файл \"" + adt::clip(target_) + "\" уже загружается");
  registered_ = true;
  try {
    checkFreeSpace();
    static std::atomic<uint32_t> counter{0};
    platform::FileHandle h = platform::kNoFile;
    for (int attempt = 0; attempt < 16 && h == platform::kNoFile; ++attempt) {
      temporary_ = adt::format("%s.%u-%u.uploading", target_.c_str(),
                               platform::currentProcessId(), counter.fetch_add(1));
      h = platform::createFileExclusive(temporary_, 0644);
      if (h == platform::kNoFile && !platform::isAlreadyExists(platform::lastError())) break;
    }
    if (h == platform::kNoFile) adt::throwIOError(platform::lastError(), "\"" + temporary_ + "\"");
    file_.adopt(h, temporary_);
  } catch (...) {
    store_.endUpload(target_);
    throw;
  }
}

Upload::~Upload() {
  const bool open = file_.isOpen();
  file_.close();
  if (!finished_ && (open || platform::pathExists(temporary_)) && !temporary_.empty()) {
    adt::log(adt::LOG_WARN, "deleting incomplete file: " + temporary_);
    adt::deleteFile(temporary_);
  }
  if (registered_) store_.endUpload(target_);
}

void Upload::checkFreeSpace() const {
  const adt::String directory = parentPath(target_);
  const int64_t free = platform::freeDiskSpace(directory);
  if (free < 0) adt::throwIOError(platform::lastError(), "\"" + directory + "\"");
  if (free < kMinFreeBytes)
    throw adt::Exception("Недостаточно места на диске для загрузки \"" + target_ + "\"");
}

void Upload::write(const void* data, size_t n) {
  if (n > kMaxBytes - written_)
    throw adt::Exception(adt::format("Размер файла обновления превышает %llu байт",
                                     static_cast<unsigned long long>(kMaxBytes)));
  file_.write(data, n);
  written_ += n;
  if (written_ >= nextSpaceCheck_) {
    nextSpaceCheck_ = written_ + kFreeSpaceCheckEvery;
    checkFreeSpace();
  }
}

void Upload::finish() {
  file_.flush();
  file_.close();
  adt::rename(temporary_, target_);
  finished_ = true;
  store_.uploaded();
}

}  // namespace updates
