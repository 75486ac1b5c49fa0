// What both backends' processes share: moving the handle from one object to another.
#include <utility>

#include "platform/process.h"

namespace platform {

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = other.pid_;
    pidfd_ = other.pidfd_;
    statFd_ = other.statFd_;
    statusFd_ = other.statusFd_;
    child_ = other.child_;
    ended_ = other.ended_;
    terminated_ = other.terminated_;
    status_ = other.status_;
    other.pid_ = 0;
    other.pidfd_ = -1;
    other.statFd_ = other.statusFd_ = -1;
    other.child_ = false;
    other.ended_ = false;
    other.terminated_ = false;
    other.status_ = ExitStatus();
  }
  return *this;
}

}  // namespace platform
