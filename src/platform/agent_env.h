// What an agent process needs from the system beyond sockets and files: its output pipe, the
// descriptors it inherited, and termination signals turned into something a poll loop can
// wait for. Used by agent programs (the demo agent); the manager does not call these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/net.h"

namespace platform {

// Opens an existing FIFO (" --am-pipe <name>" names <defaultPipeRoot()>/<name>, see pipe.h)
// for writing without waiting for a reader: fails (kNoFile, code in lastError()) when nobody
// has it open for reading. Writes on the handle never block.
FileHandle openPipeWriterNoWait(const std::string& path);
// Writes to a handle from openPipeWriterNoWait. A write of up to 4096 bytes goes in whole or not at
// all. Returns the bytes taken, 0 when the pipe is full, -1 on failure (lastError()).
int64_t writePipeNoWait(FileHandle h, const void* data, size_t n);

// The process's standard output.
FileHandle standardOutput();

// The numbers of the process's open descriptors, ascending.
std::vector<int> openDescriptors();

// True when h is a listening stream socket (for instance one inherited from the parent).
bool isListeningSocket(SocketHandle h);
// Keeps the handle from passing on to processes started later. False on failure.
bool setNotInherited(int handle);

// The listening socket that a hand-over record from the manager names (socketRecordFor,
// kSocketRecordSize bytes), no longer passed on to processes started later; kNoSocket, with
// the reason in `why`, when the record names none. POSIX: the descriptor in its first four
// bytes, which must be one of `inherited` (those open at the start), above 2, and a listening
// socket. Windows: a new socket made from the system's duplication record.
SocketHandle socketFromRecord(const uint8_t* record, const std::vector<int>& inherited,
                              std::string& why);

// From now on SIGTERM and SIGINT do not end the process: each is recorded and makes
// terminationWakeHandle() readable. Broken-pipe signals are ignored from now on. Call once.
// False when the wake handle cannot be created.
bool catchTerminationSignals();
// A handle to poll for reading (socketPoll); kNoSocket before catchTerminationSignals.
SocketHandle terminationWakeHandle();
// Number of termination signals received since the last call; empties the wake handle.
int takeTerminationSignals();

}  // namespace platform
