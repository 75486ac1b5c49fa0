// Pipes that carry an agent's console output to the manager: the anonymous pipe (the child's
// standard output and error) and the named pipe, a FIFO in a private directory that the agent
// opens by name and that can outlive the manager that made it.
//
// The manager's ends are non-blocking: reads take what is there now and never wait. Failures
// are reported by result; the code is then platform::lastError().
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Outcome of draining a pipe's read end.
enum class PipeRead {
  kWouldBlock,  // everything buffered was taken; a writer is still connected
  kEnd,         // everything buffered was taken and no writer is connected
  kError,       // the read failed; lastError() has the code
};

// Appends to `out` what the pipe holds now, reading until it would block or reaches its end,
// but no more than `limit` bytes in one call (a writer that never pauses cannot keep the caller
// here for ever; kWouldBlock is then returned with the rest still buffered).
PipeRead drainPipe(int readHandle, std::string& out, size_t limit = 16u << 20);

// Waits up to `timeoutMs` (negative: without limit) for the read end to have data or reach its
// end. True when it has; false on time-out or failure.
bool waitPipeReadable(int readHandle, int timeoutMs);

// Which of many pipe read ends have something to read (data, or their end), found with one call
// for all of them: supervision looks at every agent's output pipe in every pass, and reading
// each one to find it empty would cost a call per agent per pass. Level-triggered: an end with
// something unread stays reported. One thread.
class PipeWatch {
 public:
  PipeWatch();
  ~PipeWatch();
  PipeWatch(const PipeWatch&) = delete;
  PipeWatch& operator=(const PipeWatch&) = delete;

  // Watches a read end, or a process's exit handle (Process::exitHandle(): ready once it has
  // ended); false when it cannot be watched (it then always counts as ready).
  bool add(int readHandle);
  // Must come before the read end is closed.
  void remove(int readHandle);
  // Looks at every watched end at once. False when the look failed: every end then counts as
  // ready until a look succeeds.
  bool look();
  // Whether the read end may have something, as of the last look: also true for an end not
  // watched, and before the first successful look.
  bool mayBeReady(int readHandle) const;
  size_t size() const { return count_; }

 private:
  int handle_ = -1;
  struct Watched {
    uint64_t added = 0;   // successful looks made before it was added
    uint64_t seen = 0;    // the look that last saw it ready
    bool waited = false;  // a handle waited on (an exit handle) rather than a pipe read end
    bool on = false;      // watched now
  };
  // Where the watched ends' records are, of the kind each system's handles call for: a table
  // indexed by the descriptor on POSIX (descriptors are small numbers, bounded by the descriptor
  // limit; every pass asks about every agent's ends), a map by handle on Windows.
  struct Table;
  Watched* find(int readHandle);
  const Watched* find(int readHandle) const {
    return const_cast<PipeWatch*>(this)->find(readHandle);
  }
  std::unique_ptr<Table> table_;
  size_t count_ = 0;
  uint64_t looks_ = 0;  // successful looks so far
  bool lastLookOk_ = false;
  std::vector<uint64_t> events_;  // the system's event records, reused
};

// An anonymous pipe for a child's output. Owns both ends until they are closed. The write end
// is handed to the child at spawn (it is close-on-exec here; the spawn duplicates it onto the
// child's standard output and error) and must then be closed by the owner, so that the end of
// the child shows as the end of the pipe. The read end is non-blocking. One thread.
class OutputPipe {
 public:
  OutputPipe() = default;
  ~OutputPipe();
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  // Makes a new pipe (closing any held one). `bufferBytes` > 0 asks for that much pipe buffer
  // (granted as far as the system allows; a refusal is not a failure). False on failure.
  bool create(size_t bufferBytes = 0);
  int readHandle() const { return read_; }
  int writeHandle() const { return write_; }
  void closeWriteEnd();
  void close();
  PipeRead drain(std::string& out, size_t limit = 16u << 20) {
    return drainPipe(read_, out, limit);
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

// Outcome of NamedPipe::create.
enum class PipeCreate {
  kCreated,
  kBusy,    // another live holder has this name; lastError() is EBUSY's code
  kFailed,  // lastError() has the code
};

// The fixed directory under which named pipes live when the caller passes no other.
std::string defaultPipeRoot();

// A named pipe: the FIFO `<root>/<name>`, held by one manager for reading.
//
// Ownership of a name is an exclusive advisory lock (flock) on the file `<root>/<name>.lock`,
// held for as long as the object holds the pipe. The lock belongs to the open file, so it ends
// with its holder, however that ends (a crashed manager frees its names); a second holder, in
// this process or another, finds the lock taken and gets kBusy. The lock file is never removed:
// removing it would let two holders lock two different files of the same name.
//
// With the lock taken, any FIFO left at the path is removed and a fresh one made, so that a
// writer still attached to an old one (an agent left running by a previous manager) can neither
// feed this pipe nor have its stale output read as this agent's. Closing removes the FIFO and
// then drops the lock.
//
// `root` is created on first use with mode 0700 and must be a real directory owned by this
// user (never a symbolic link): a shared temporary directory must not let another account
// plant or read agent output. `name` may contain '/': the directories between are created.
class NamedPipe {
 public:
  NamedPipe() = default;
  ~NamedPipe();
  NamedPipe(const NamedPipe&) = delete;
  NamedPipe& operator=(const NamedPipe&) = delete;

  // Makes and opens the pipe for reading (non-blocking). `bufferBytes` > 0 asks for that much
  // pipe buffer (granted as far as the system allows; a refusal is not a failure).
  PipeCreate create(const std::string& root, const std::string& name, size_t bufferBytes = 0);
  // Takes over the FIFO `<root>/<name>` that an agent left running by a previous manager still
  // writes into: the lock as for create, then the existing FIFO opened for reading, so the
  // agent's output reaches this holder. kFailed (ENOENT) when there is no such FIFO of ours.
  PipeCreate adopt(const std::string& root, const std::string& name, size_t bufferBytes = 0);
  // The next close leaves the FIFO in place for the next manager (its writer lives on).
  void keepOnClose() { keep_ = true; }
  bool isOpen() const { return read_ >= 0; }
  int readHandle() const { return read_; }
  // Full path of the FIFO; empty when none is held.
  const std::string& path() const { return path_; }
  // kEnd also while no writer has opened the pipe yet.
  PipeRead drain(std::string& out, size_t limit = 16u << 20) {
    return drainPipe(read_, out, limit);
  }
  void close();

 private:
  PipeCreate open(const std::string& root, const std::string& name, size_t bufferBytes, bool fresh);

  int read_ = -1;
  int lock_ = -1;
  bool keep_ = false;
  std::string path_;
};

// Opens the FIFO at `path` for writing, the way an agent does: blocking writes, close-on-exec.
// Fails (ENXIO) when no reader holds it open. Returns the handle or -1; close it with
// closePipeHandle.
int openNamedPipeWriter(const std::string& path);
void closePipeHandle(int handle);
// Writes all bytes (blocking). False on failure.
bool writePipe(int handle, const void* data, size_t size);

}  // namespace platform
