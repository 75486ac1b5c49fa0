// Test support: runs real programs as child processes with piped stdin/stdout and always
// reaps them. Tests may use the operating system directly; the product code may not.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A running child. Its stdout and stderr are read into output(); the destructor kills the
// child (SIGKILL) if it still runs and reaps it, so a failing test leaves no process behind.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& cwd = "",
        const std::vector<std::string>& extraEnv = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Writes to the child's stdin.
  void write(const std::string& text);
  void closeStdin();
  // Collects what the child printed so far (non-blocking) and returns all of it.
  const std::string& output();
  // Polls until the output contains `needle` or the time runs out.
  bool waitForOutput(const std::string& needle, std::chrono::milliseconds limit);
  // Polls until the child has exited or the time runs out; then exitCode() is valid.
  bool waitExit(std::chrono::milliseconds limit);
  bool exited() const { return exited_; }
  // Exit status (128 + signal when killed by a signal).
  int exitCode() const { return exitCode_; }
  void kill(int signal = 9);

 private:
  void drain();
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool exited_ = false;
  int exitCode_ = -1;
  std::string output_;
};

// Runs a program to its end (bounded), returning exit code and output.
struct RunResult {
  int exitCode = -1;
  std::string output;
};
RunResult run(const std::vector<std::string>& argv, const std::string& cwd = "",
              std::chrono::milliseconds limit = std::chrono::seconds(60));

// Polls `condition` every 5 ms until it holds or `limit` passes; true once it held. The
// default limit is generous: tests share a slow machine and must never rely on speed.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(30));

// A fresh temporary directory, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, then released).
int freeTcpPort();
// A port free for both TCP and UDP.
int freePort();

// The whole file as bytes; "" when it cannot be read.
std::string readFile(const std::string& path);
// Replaces the file's content (creating it) with exactly `content`.
void writeFile(const std::string& path, const std::string& content);

}  // namespace testsupport
