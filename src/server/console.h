// Console mode: the server runs in the foreground; a reader thread hands typed lines to the
// main loop through a locked queue, so reading standard input never blocks the server.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <istream>
#include <string>

#include "adt/danger_mutex.h"
#include "adt/text.h"
#include "adt/thread.h"

namespace server {

// Lines typed at the console, in order. Shared by the reader thread and the main thread; every
// access is under the "CommandQueue" lock, held for the list operation only.
class CmdQueue {
 public:
  // Lines waiting at most; a reader that finds the queue full waits.
  static constexpr size_t kMaxLines = 64;

  CmdQueue() : lock_("CommandQueue") {}
  // False (and nothing queued) when kMaxLines are waiting.
  bool offer(adt::String line);
  // The oldest line, or false when none is waiting.
  bool poll(adt::String& line);

 private:
  adt::DangerMutex lock_;
  std::deque<adt::String> lines_;
};

// One line of `in` without its line end ("\n" or "\r\n"); characters past maxLength are read and
// dropped. False at the end of input when nothing was read.
bool readConsoleLine(std::istream& in, std::string& line, size_t maxLength);

// Reads standard input line by line (at most 255 characters are kept of a line) and queues
// each line; ends at the end of input, on a read error, or after queueing the quit word "q".
// Never joined: it may sit in a blocking read until the process ends.
class AsyncStdIn final : public adt::Thread {
 public:
  static constexpr size_t kMaxLineLength = 255;
  static constexpr uint32_t kFullQueueWaitMs = 20;

  explicit AsyncStdIn(CmdQueue& queue) : queue_(queue) {}

 protected:
  void run() override;

 private:
  CmdQueue& queue_;
  const adt::String quit_ = "q";
};

// The text of the command list ("Команды:..."), also the reply to "?".
const char* consoleCommandList();

// Runs console mode to the end ("q"): returns 0. Start-up failures leave by exception.
int runConsole(const std::string& settingsPath);

}  // namespace server
