#include "notify/host_lookup.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "adt/exception.h"
#include "adt/socket.h"
#include "platform/net.h"

namespace notify {
namespace {

std::atomic<int> running{0};

}  // namespace

struct HostLookup::Result {
  mutable std::mutex lock;
  bool done = false;
  uint32_t address = 0;
  adt::String error;
};

HostLookup::HostLookup(const adt::String& host) : result_(std::make_shared<Result>()) {
  if (adt::Socket::isDottedQuad(host)) {
    try {
      result_->address = adt::Socket::resolve(host);
    } catch (const std::exception& e) {
      result_->error = e.what();
    }
    result_->done = true;
    return;
  }
  if (running.fetch_add(1) >= kMaxRunning) {
    running.fetch_sub(1);
    result_->error = "слишком много одновременных запросов имени сервера: " + host;
    result_->done = true;
    return;
  }
  std::shared_ptr<Result> shared = result_;
  try {
    std::thread([shared, host] {
      uint32_t address = 0;
      const int code = platform::lookupIPv4(host, &address);
      {
        std::lock_guard<std::mutex> guard(shared->lock);
        if (code == 0) {
          shared->address = address;
        } else {
          shared->error = adt::SocketException("gethostbyname(" + host + ")", code).what();
        }
        shared->done = true;
      }
      running.fetch_sub(1);
    }).detach();
  } catch (const std::exception& e) {
    running.fetch_sub(1);
    result_->error = e.what();
    result_->done = true;
  }
}

bool HostLookup::done() const {
  std::lock_guard<std::mutex> guard(result_->lock);
  return result_->done;
}

uint32_t HostLookup::address() const {
  std::lock_guard<std::mutex> guard(result_->lock);
  return result_->address;
}

adt::String HostLookup::error() const {
  std::lock_guard<std::mutex> guard(result_->lock);
  return result_->error;
}

}  // namespace notify
