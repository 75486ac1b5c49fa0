#include "updates/deploying.h"

#include <utility>

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/log.h"
#include "adt/thread.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "updates/distribution_name.h"
#include "updates/file_tree.h"
#include "updates/zip_reader.h"

namespace updates {

class Deploying::Impl final : public adt::Thread {
 public:
  Impl(adt::String archivePath, adt::String directory, std::shared_ptr<DeployStatus> status)
      : archivePath_(std::move(archivePath)),
        directory_(std::move(directory)),
        status_(std::move(status)) {}
  ~Impl() override {
    stop();
    join();
  }

  void describe(adt::String& out) const override {
    out += "Deploying::Impl ";
    out += archivePath_;
    adt::Thread::describe(out);
  }

 protected:
  void run() override {
    bool failed = false;
    adt::String failure;
    try {
      unzip(archivePath_, directory_);
      const adt::String program = directory_ + "/" + kAgentExecutable;
      if (platform::pathExists(program) && !platform::makeExecutable(program))
        adt::throwIOError(platform::lastError(), "\"" + program + "\"");
    } catch (const std::exception& e) {
      failed = true;
      failure = e.what();
      adt::log(adt::LOG_ERR,
               "unpacking " + archivePath_ + " into " + directory_ + " failed: " + failure);
    }
    try {
      makeDirectories(directory_);
      const adt::String marker =
          directory_ + "/" + (failed ? kUnpackFailMarker : kUnpackDoneMarker);
      adt::writeFileAtomically(marker, nullptr, 0);
    } catch (const std::exception& e) {
      // Without a marker the next start of the manager unpacks the archive again.
      adt::log(adt::LOG_ERR, adt::String("unpack status of ") + directory_ + ": " + e.what());
    }
    std::lock_guard<std::mutex> hold(status_->lock);
    status_->failed = failed;
    status_->failure = failure;
    status_->done = true;
  }

 private:
  const adt::String archivePath_;
  const adt::String directory_;
  const std::shared_ptr<DeployStatus> status_;
};

Deploying::Deploying(adt::String archivePath, adt::String directory,
                     std::shared_ptr<DeployStatus> status)
    : status_(status),
      impl_(
          std::make_unique<Impl>(std::move(archivePath), std::move(directory), std::move(status))) {
  impl_->start();
}

Deploying::~Deploying() = default;

bool Deploying::check() {
  if (!impl_) return true;
  {
    std::lock_guard<std::mutex> hold(status_->lock);
    if (!status_->done) return false;
  }
  impl_->join();
  impl_.reset();
  return true;
}

}  // namespace updates
