// Operating-system processes: starting agents, watching and ending them, reading their times,
// memory and command lines, and the leave marker that a restarting manager holds.
//
// Translation only: no time-outs, retries or messages are decided here. Failures are reported
// by result; the code is then platform::lastError() and its text platform::systemErrorText().
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Splits one command-line string into arguments. Blanks (space, tab) separate arguments outside
// double quotes; a double quote opens or closes a group and is removed ("" gives an empty
// argument); \" is a literal double quote. Backslashes are literal unless they precede a double
// quote: then each pair gives one backslash, and an odd one left over makes the quote literal
// (so a quoted argument may end in a backslash: "C:\dir\\" is C:\dir\). An unclosed group runs
// to the end.
std::vector<std::string> splitCommandLine(const std::string& line);

// The inverse of splitCommandLine: arguments joined by single blanks, each one that is empty or
// holds a blank, tab or double quote written in double quotes with the escapes above.
std::string joinCommandLine(const std::vector<std::string>& args);

// The command line of a process from the raw bytes of its argument list as the system keeps it:
// each argument ended by a NUL (joined as joinCommandLine does); a text without any NUL (a
// process that rewrote its title) is taken as it is. False for an empty list.
bool commandLineFromArgumentBytes(std::string raw, std::string& out);

// What to start and how.
struct SpawnOptions {
  // args[0] is the program: a path, or a bare name looked up in PATH.
  std::vector<std::string> args;
  // Working directory of the child; empty: the caller's.
  std::string directory;
  // Becomes the child's standard output and standard error; -1: /dev/null. Standard input is
  // always /dev/null.
  int outputHandle = -1;
  // Added to (or replacing) the inherited environment, e.g. {"AM_AGENT_PORT", "5002"}.
  std::vector<std::pair<std::string, std::string>> environment;
  // Listening sockets handed to the child as handles 3, 4, ... in this order, announced with
  // LISTEN_FDS (their number) and LISTEN_PID (the child's pid). Without any, LISTEN_FDS,
  // LISTEN_PID and LISTEN_FDNAMES inherited from this process are removed from the child's
  // environment. Windows inherits none of them: there the socket goes over later, by the
  // duplication record of socketRecordFor (net.h).
  std::vector<int> inheritedSockets;
};

// How a process ended.
struct ExitStatus {
  bool known = false;     // false: ended, but how is unknown (not our child, or reaped elsewhere)
  bool signaled = false;  // ended by a signal
  int code = 0;           // exit code, or the signal number when signaled
};

// The conventional name of a signal ("SIGKILL"), or "SIG<number>" when it has none.
std::string signalName(int signal);

struct ProcessTimes;
struct ProcessMemory;

// One process: a child we started or another process we attached to. Owns its handle (the
// child's pid until reaped, or a pidfd for an attached process). Not copyable; movable. One
// thread at a time.
//
// A child is reaped by the first hasEnded() that finds it gone. A child whose object is released
// while it still runs (an agent left running for the next manager) is handed to a process-wide
// list and reaped by a later spawn or reapAbandonedChildren(), so no child stays a zombie.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;

  // Starts a child in its own session with every handle of this process closed except the ones
  // named in `options`. False when the child could not be started, including when the program
  // is missing or cannot run or the directory cannot be entered: the child's failure code is
  // then lastError().
  bool spawn(const SpawnOptions& options);

  // Attaches to a running process that is not our child (taken over from a previous manager).
  // False (ESRCH) when there is no such process.
  bool attach(uint32_t pid);

  bool valid() const { return pid_ > 0; }
  uint32_t pid() const { return static_cast<uint32_t>(pid_); }
  bool isChild() const { return child_; }
  // A handle that becomes readable once the process has ended, for a PipeWatch; -1 when the
  // system gives none (then only hasEnded() tells). It lives as long as this object.
  int exitHandle() const { return pidfd_; }

  // The zero-time wait: true once the process has ended. A stopped process has not ended.
  bool hasEnded();
  // How it ended; meaningful once hasEnded() is true. A process ended by terminate() reads as
  // exit code 1 (what a forced end reports to the manager); any other ending signal as
  // `signaled` with that signal.
  ExitStatus exitStatus() const { return status_; }

  // Forced end (SIGKILL). False (ESRCH) when the process has already ended and been reaped.
  bool terminate();
  // Asks the process to end (SIGTERM).
  bool requestStop();
  // Halts every thread of the process (SIGSTOP); it stays in memory. resume() continues it.
  bool suspend();
  bool resume();

  // Its processor times and memory now, as readProcessTimes() and readProcessMemory() give
  // them. The files they come from stay open from the first call to the release, so a
  // periodic sample costs two reads; they name this process only, also once it has gone.
  bool sample(ProcessTimes& times, ProcessMemory& memory);

  // Lets go of the process without ending it (see the class comment for children).
  void release();

 private:
  bool sendSignal(int signal);
  void closeSampleFiles();

  int pid_ = 0;
  int pidfd_ = -1;
  int statFd_ = -1, statusFd_ = -1;  // what sample() reads (POSIX)
  bool child_ = false;
  bool ended_ = false;
  bool terminated_ = false;
  ExitStatus status_;
};

// Reaps children whose Process objects were released while they ran and that have ended since.
void reapAbandonedChildren();

// True when some child of this process has ended and waits to be collected (nothing is
// collected here), or when that cannot be told; false when none has. One call for all
// children: a supervision pass asks it once instead of waiting on every child.
bool anyChildEnded();

// CPU times of a process, from /proc/<pid>/stat.
struct ProcessTimes {
  uint64_t userMs = 0;
  uint64_t kernelMs = 0;
  // Start of the process in milliseconds since the Unix epoch (boot time plus the start offset;
  // the boot time is known to the second).
  uint64_t startUnixMs = 0;
};
bool readProcessTimes(uint32_t pid, ProcessTimes& out);

// Memory counters of a process, from /proc/<pid>/status, in KiB. workingSet is the resident
// set (VmRSS), peakWorkingSet its high-water mark (VmHWM), pageFile the swapped-out part
// (VmSwap). A process without user memory (a kernel thread) reads as zeros.
struct ProcessMemory {
  uint64_t workingSetKiB = 0;
  uint64_t peakWorkingSetKiB = 0;
  uint64_t pageFileKiB = 0;
};
bool readProcessMemory(uint32_t pid, ProcessMemory& out);

// Ids of all processes visible in /proc, in no particular order.
bool enumerateProcesses(std::vector<uint32_t>& out);

// Another process's command line: its arguments joined as joinCommandLine does, so that a value
// that was quoted at launch comes back quoted. False when it cannot be read (no such process,
// no permission, or a process without arguments such as a kernel thread or a zombie).
bool readProcessCommandLine(uint32_t pid, std::string& out);

// The file another process runs (the target of /proc/<pid>/exe). False when it cannot be read.
bool readProcessExecutable(uint32_t pid, std::string& out);

// True when every UDP socket bound to `port` from which a datagram can leave as 127.0.0.1 is
// among the process's descriptors (and there is at least one): the way to tell that a datagram
// from that port came from this process and from nobody else.
bool processOwnsUdpPort(uint32_t pid, uint16_t port);

// Processor time of the whole machine since boot, summed over all processors, from /proc/stat.
// idleMs counts idle and I/O-wait time, busyMs everything else.
struct SystemTimes {
  uint64_t idleMs = 0;
  uint64_t busyMs = 0;
  uint32_t processors = 0;  // processors online
};
bool readSystemTimes(SystemTimes& out);

// Gives the file mode 0755 (an unpacked program must be executable).
bool makeExecutable(const std::string& path);

// The leave marker: the abstract local socket "@vantor/am/<key>/leave", listening while its
// holder lives. It carries no data; its existence is the signal, and it vanishes with its holder
// however that ends. A second holder of the same key fails (EADDRINUSE). Abstract names belong to
// the network namespace: holder and checker must share one.
class LeaveMarker {
 public:
  LeaveMarker() = default;
  ~LeaveMarker();
  LeaveMarker(const LeaveMarker&) = delete;
  LeaveMarker& operator=(const LeaveMarker&) = delete;

  bool create(uint64_t key);
  bool exists() const { return handle_ >= 0; }
  // The listening socket (close-on-exec); -1 when none.
  int handle() const { return handle_; }
  void close();

 private:
  int handle_ = -1;
};

// A held leave marker, or null when it could not be made (lastError() has the code).
std::unique_ptr<LeaveMarker> createLeaveMarker(uint64_t key);

// True when some process holds the leave marker of `key`.
bool leaveMarkerExists(uint64_t key);

}  // namespace platform
