// Shared pieces of the client session and authentication tests: a fake host, a fake clock, a
// dispatcher running on its own thread with a loopback listener that creates real Client
// objects, and a log recorder.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "adt/dispatcher.h"
#include "adt/file.h"
#include "adt/log.h"
#include "adt/socket.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "clients/login_throttle.h"
#include "clients/password_hash.h"
#include "clients/password_store.h"
#include "loopback_listener.h"
#include "platform/clock.h"

namespace clients::testing {

inline const uint32_t kLoopback = platform::hostToNet32(0x7F000001);

// Waits until `done` holds, polling; false after `limitMs`.
template <typename F>
bool waitFor(F done, int limitMs = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A clock that moves only when told to.
class FakeClock final : public platform::Clock {
 public:
  uint64_t nowMs() override { return now.load(); }
  platform::LocalTime localNow() override { return {}; }
  std::atomic<uint64_t> now{1000000};
};

// Every log line, for tests that look for one.
class LogRecorder {
 public:
  static void install() {
    clear();
    adt::setLogSink(&sink);
  }
  static void clear() {
    std::lock_guard<std::mutex> lock(mutex());
    lines().clear();
  }
  static bool contains(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex());
    for (const auto& [level, line] : lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The first line containing `text`, with its level; level -1 when there is none.
  static std::pair<int, std::string> find(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex());
    for (const auto& entry : lines()) {
      if (entry.second.find(text) != std::string::npos) return entry;
    }
    return {-1, ""};
  }

 private:
  static void sink(int level, const char* message) {
    std::lock_guard<std::mutex> lock(mutex());
    lines().emplace_back(level, message);
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::pair<int, std::string>>& lines() {
    static std::vector<std::pair<int, std::string>> l;
    return l;
  }
};

// The server side as the clients see it. Touched by the dispatcher thread; tests change it
// before clients connect or through LoopServer::call.
class FakeHost final : public ClientHost {
 public:
  // `storePath`: where the password store saves ("" for a store that cannot save).
  explicit FakeHost(adt::String storePath = "") : store(std::move(storePath)) {}

  platform::Clock& clock() override { return fakeClock; }
  adt::String homeDirectory() const override { return home; }
  const config::CommonSettings& settings() const override { return common; }
  const std::vector<config::UserConf>& configuredUsers() const override { return users; }
  std::optional<adt::String> defaultAdmin() const override { return admin; }
  PasswordStore& passwordStore() override { return store; }
  LoginThrottle& loginThrottle() override { return throttle; }
  uint32_t programVersion() const override { return adt::makeVersion(5, 2, 430); }
  platform::NegotiateProvider* negotiate() override { return provider; }
  void recordOperation(const char* name) override {
    std::lock_guard<std::mutex> lock(operationsMutex);
    operations.emplace_back(name);
  }
  const CommandTable& commands() const override { return table ? *table : standardCommands(); }
  agents::AgentList& agents() override { return agentList; }
  updates::UpdateStore* updateStore() override { return updateStorePtr; }
  // The session tests send no mail; the mail request is tested against a real mail server.
  void sendMail(const adt::String&, const adt::String&, notify::SmtpCallBack* callback) override {
    callback->onError("no mail in this host");
  }

  bool recorded(const std::string& name) {
    std::lock_guard<std::mutex> lock(operationsMutex);
    for (const std::string& op : operations) {
      if (op == name) return true;
    }
    return false;
  }

  FakeClock fakeClock;
  adt::String home = "/nonexistent-home";  // request 73 reads below it
  config::CommonSettings common;
  std::vector<config::UserConf> users;
  std::optional<adt::String> admin;
  PasswordStore store;
  LoginThrottle throttle;
  updates::UpdateStore* updateStorePtr = nullptr;  // not owned
  platform::NegotiateProvider* provider = nullptr;
  const CommandTable* table = nullptr;
  agents::AgentList agentList;
  std::mutex operationsMutex;
  std::vector<std::string> operations;
};

// Accepts loopback connections and makes a Client for each.
using TestClientListener = testsupport::LoopbackListener<Client, ClientHost>;

// A dispatcher driven by its own thread, with the listener registered. Work on the clients
// goes through call(), which runs between two dispatcher steps.
class LoopServer {
 public:
  explicit LoopServer(ClientHost& host) {
    auto* listener = new TestClientListener(host);
    port = listener->port;
    dispatcher_.add(listener);
    thread_ = std::thread([this] { run(); });
  }
  ~LoopServer() {
    stop_ = true;
    thread_.join();
  }

  // Runs `fn` on the dispatcher thread and waits for it.
  template <typename F>
  auto call(F fn) -> decltype(fn()) {
    using R = decltype(fn());
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(fn));
    std::future<R> result = task->get_future();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back([task] { (*task)(); });
    }
    return result.get();
  }

  // Visits the clients on the dispatcher thread.
  void forEachClient(const std::function<void(Client&)>& fn) {
    call([&] {
      dispatcher_.forEach([&](adt::Channel& c) {
        if (auto* client = dynamic_cast<Client*>(&c)) fn(*client);
      });
      return 0;
    });
  }

  size_t clientCount() {
    size_t n = 0;
    forEachClient([&](Client&) { ++n; });
    return n;
  }

  // Waits until `n` more dispatcher steps have run.
  bool waitSteps(uint64_t n) {
    const uint64_t target = steps_.load() + n;
    return waitFor([&] { return steps_.load() >= target; });
  }

  uint16_t port = 0;

 private:
  void run() {
    while (!stop_) {
      dispatcher_.process();
      ++steps_;
      std::deque<std::function<void()>> tasks;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks.swap(tasks_);
      }
      for (auto& task : tasks) task();
    }
  }

  adt::ChannelDispatcher dispatcher_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> steps_{0};
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

// The eight characters as a salt or challenge.
inline Salt salt(const char* eight) {
  Salt s;
  std::copy(eight, eight + 8, s.begin());
  return s;
}

// Lower-case hex, as the password store writes it.
inline std::string hex(const uint8_t* p, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += adt::format("%02x", p[i]);
  return out;
}
template <size_t N>
std::string hex(const std::array<uint8_t, N>& a) {
  return hex(a.data(), N);
}

// Eight uppercase hex digits.
inline bool isNonce(const Salt& s) {
  for (uint8_t c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = (std::filesystem::temp_directory_path() /
             ("am-clients-test-" + std::to_string(rd()) + "-" + std::to_string(rd())))
                .string();
    std::filesystem::create_directory(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      out.push_back(e.path().filename());
    return out;
  }

 private:
  std::string path_;
};

inline void put(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string get(const std::string& path) {
  const adt::Bytes b = adt::readWholeFile(path);
  return std::string(b.begin(), b.end());
}

}  // namespace clients::testing
