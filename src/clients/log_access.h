// Which files the log requests may read or list: those inside the manager's log directory and
// inside the log directories of the agents running now, with every "..", "\" and symbolic link
// resolved first. Nothing else below the home (the password store, the settings) is served.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "adt/text.h"

namespace clients {

class ClientHost;

// The directories a client may read logs from (absolute, no trailing "/").
std::vector<std::string> allowedLogDirectories(ClientHost& host);

// The file a client names relative to the manager's home ("log/am.log", "log\\x.log"), as an
// absolute path inside one of `allowed`. Throws adt::Exception "Абсолютные пути запрещены" for
// an absolute name and for any name that resolves outside them. A file that does not exist
// (yet) passes when its directory is allowed; opening it then reports the file error.
std::string resolveLogFile(const std::string& home, const adt::String& name,
                           const std::vector<std::string>& allowed);

// True when `path` (absolute, normalised) is `dir` itself or below it.
bool insideDirectory(const std::string& path, const std::string& dir);

// One entry of a log listing.
struct LogFileEntry {
  adt::String name;
  uint64_t size = 0;
};

// The log files of `directory` whose names are `prefix` followed either at once or after
// "-YYYY-MM-DD" by ".log", ".err" or ".warn", sorted by name; at most kMaxListed.
constexpr size_t kMaxListed = 1000;
std::vector<LogFileEntry> listLogFiles(const std::string& directory, const adt::String& prefix);

// True when `name` is a log name of the listing for `prefix` (see listLogFiles).
bool isLogName(const adt::String& name, const adt::String& prefix);

}  // namespace clients
