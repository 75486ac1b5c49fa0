// Test support: a home directory for the real am, as the end-to-end tests use it: a copy of
// build/am, settings with free ports, am running in console mode, and the agents it started.
#pragma once
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "child.h"

namespace testsupport {

// A fresh home holding a copy of build/am (`amPath`). Owns the console child; the destructor
// stops am with "q" and kills any agent it named that may still run, so a failing test leaves
// no process behind. Used from the test's thread only.
class AmHome {
 public:
  explicit AmHome(const std::string& amPath);
  ~AmHome();
  AmHome(const AmHome&) = delete;
  AmHome& operator=(const AmHome&) = delete;

  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }
  std::string exe() const { return dir_.file("am"); }
  // False when the copy of am failed.
  bool ready() const { return ready_; }

  // Writes am.ini in Windows-1251: [common] with client_port and agent_port, then
  // `extraCommon` (lines of [common]), then `sections` (agents, users, ...).
  void writeIni(const std::string& sections, const std::string& extraCommon = "");

  // Runs the copy of am with `args` in the home directory to its end.
  RunResult run(const std::vector<std::string>& args) const;

  // Starts `am --console` (working directory inherited) without waiting for anything.
  Child& launchConsole();
  // Starts `am --console` and waits for its prompt; false when it did not appear in time.
  bool startConsole(std::chrono::milliseconds limit = std::chrono::seconds(30));
  bool started() const { return am_ != nullptr; }
  // The running console; started() must hold.
  Child& console() { return *am_; }
  // Pids of the agents named "(pid:N)" in the console output so far.
  std::vector<int> agentPids();
  // Sends "q" unless am already ended and waits up to 60 s; true once am has exited.
  bool stop();

  int clientPort = 0;
  int agentPort = 0;
  // "NAME=value" entries for am's environment (replacing inherited ones), set before launch.
  std::vector<std::string> env;

 private:
  TempDir dir_;
  bool ready_ = false;
  std::unique_ptr<Child> am_;
};

// True while a process with this pid exists.
bool processAlive(int pid);
// Socket inodes ("socket:[123]") among a process's open descriptors.
std::set<std::string> socketsOf(int pid);

}  // namespace testsupport
