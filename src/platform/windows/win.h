// Shared by the Windows backend files; not part of the platform interface. Strings above the
// layer are UTF-8; the system is called through its wide-character entry points.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace platform::win {

// The interfaces carry handles as int: kernel handles and sockets fit in 32 bits on every
// Windows (the system keeps them there for 32-bit interoperability), and -1 is
// INVALID_HANDLE_VALUE either way.
inline HANDLE toHandle(int h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }
inline int fromHandle(HANDLE h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }
inline SOCKET toSocket(int h) { return h < 0 ? INVALID_SOCKET : static_cast<SOCKET>(h); }
inline int fromSocket(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

std::wstring widen(const std::string& utf8);
std::string narrow(const wchar_t* wide, size_t size);
inline std::string narrow(const std::wstring& wide) { return narrow(wide.data(), wide.size()); }

// Backslashes for the system; "/" is the separator above the layer.
std::wstring widePath(const std::string& path);
// A path from the system as the layer hands it up: UTF-8 with "/" as the separator.
std::string slashPath(const wchar_t* wide, size_t size);

// Winsock started once for the process (WSAStartup 2.2). 0 or the code.
int startWinsock();

// FILETIME (100 ns since 1601) to milliseconds.
inline uint64_t fileTimeMs(const FILETIME& t) {
  return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000u;
}

// A broken-down time as the layer hands it up (weekday 1 = Monday ... 7 = Sunday).
LocalTime fromSystemTime(const SYSTEMTIME& s);

// The system name of a pipe that an agent opens as "<defaultPipeRoot()>/<name>".
std::wstring pipeWriterPath(const std::string& path);

// "not available on Windows: <what>" as the error of an interface this backend lacks; sets
// ERROR_NOT_SUPPORTED as the last error.
std::string unavailable(const char* what);

}  // namespace platform::win
