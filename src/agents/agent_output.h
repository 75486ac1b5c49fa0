// What an agent process writes to its output: read from the pipe on every supervision pass,
// appended to the agent's output log file, and its last part kept in memory for the line and
// the notification that report the end of the process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace agents {

// Bounds of the output capture.
struct OutputLimits {
  // Bytes taken from the pipe in one pass: a writer that never pauses cannot hold the main
  // loop; the rest waits in the pipe for the next pass.
  size_t perPass = 1u << 20;
  // The in-memory tail reported when the process ends.
  size_t tail = 64u << 10;
  // The file is cut when it reaches this size, keeping its last `fileKept` bytes below the
  // line "Log above is cutted", as the manager's own category logs are.
  uint64_t fileCap = 10u << 20;
  uint64_t fileKept = 1u << 20;
};

// The output of one agent process. Owned by its AgentProcess; main thread only. The bytes stay
// as the agent wrote them (Windows-1251) in the file and the tail.
class AgentOutput {
 public:
  // `filePath` empty: the output is only kept in the tail (no file wanted, or none possible).
  explicit AgentOutput(std::string filePath, OutputLimits limits = {});
  ~AgentOutput();
  AgentOutput(const AgentOutput&) = delete;
  AgentOutput& operator=(const AgentOutput&) = delete;

  // Appends bytes read from the pipe: to the file (cutting it at its cap) and to the tail.
  // A file that cannot be opened or written is given up for this process (logged once); the
  // tail is kept regardless.
  void append(const std::string& bytes);

  // The last `limits.tail` bytes written since the last takeTail(); the tail is emptied.
  std::string takeTail();
  const std::string& tail() const { return tail_; }
  const std::string& filePath() const { return path_; }
  const OutputLimits& limits() const { return limits_; }

 private:
  bool openFile();
  void cutFile();
  // Logs the last error and stops writing the file.
  void giveUpFile();

  std::string path_;
  OutputLimits limits_;
  platform::FileHandle file_ = platform::kNoFile;
  bool fileFailed_ = false;
  uint64_t fileSize_ = 0;
  std::string tail_;
};

// The file name part for an agent's own files: its id, or "nh-" + CRC-64/WE of its name when it
// has none, as one safe path component.
std::string agentFileComponent(const std::string& id, const std::string& name);

}  // namespace agents
