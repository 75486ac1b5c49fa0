#include "clients/log_access.h"

#include <algorithm>

#include "adt/exception.h"
#include "adt/file.h"
#include "clients/admin_host.h"
#include "clients/client_host.h"
#include "platform/real_path.h"

namespace clients {
namespace {

[[noreturn]] void refuse() { throw adt::Exception("Абсолютные пути запрещены"); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::vector<std::string> allowedLogDirectories(ClientHost& host) {
  std::vector<std::string> out;
  if (AdminHost* admin = host.administration()) {
    out.push_back(admin->logDirectory());
    for (std::string& dir : admin->agentLogDirectories()) out.push_back(std::move(dir));
  } else {
    out.push_back(adt::longPath(host.homeDirectory() + "/log"));
  }
  return out;
}

bool insideDirectory(const std::string& path, const std::string& dir) {
  if (dir.empty()) return false;
  if (dir == "/") return path.starts_with("/");
  return path == dir || path.starts_with(dir + "/");
}

std::string resolveLogFile(const std::string& home, const adt::String& name,
                           const std::vector<std::string>& allowed) {
  if (name.size() >= 2 && (name[0] == '\\' || name[0] == '/' || name[1] == ':')) refuse();
  if (name.empty()) refuse();
  adt::String relative = name;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  if (relative.front() == '/' || relative.find('\0') != std::string::npos) refuse();
  const std::string path = adt::longPath(home + "/" + relative);
  // By name first, then by what the name really is once links are followed.
  const auto within = [&allowed](const std::string& p, bool resolveDirs) {
    for (const std::string& dir : allowed) {
      std::string base = dir;
      if (resolveDirs && !platform::realPath(dir, base)) continue;
      if (p != base && insideDirectory(p, base)) return true;
    }
    return false;
  };
  if (!within(path, false)) refuse();
  std::string real;
  if (platform::realPath(path, real) && !within(real, true)) refuse();
  return path;
}

bool isLogName(const adt::String& name, const adt::String& prefix) {
  if (!name.starts_with(prefix)) return false;
  std::string_view rest(name);
  rest.remove_prefix(prefix.size());
  // "-YYYY-MM-DD" may come between the prefix and the extension.
  if (rest.size() > 11 && rest[0] == '-' && rest[5] == '-' && rest[8] == '-') {
    bool digits = true;
    for (size_t i : {1, 2, 3, 4, 6, 7, 9, 10}) digits = digits && isDigit(rest[i]);
    if (digits) rest.remove_prefix(11);
  }
  return rest == ".log" || rest == ".err" || rest == ".warn";
}

std::vector<LogFileEntry> listLogFiles(const std::string& directory, const adt::String& prefix) {
  std::vector<LogFileEntry> out;
  adt::DirectoryIterator it(directory);
  adt::String name;
  for (auto kind = it.next(name); kind != adt::DirectoryIterator::kEnd; kind = it.next(name)) {
    if (kind != adt::DirectoryIterator::kFile || !isLogName(name, prefix)) continue;
    adt::File file;
    if (!file.open(directory + "/" + name, adt::kFileRead | adt::kShareReadWrite | adt::kOpenExisting)) {
      continue;
    }
    out.push_back({name, file.size()});
    if (out.size() >= kMaxListed) break;
  }
  std::sort(out.begin(), out.end(),
            [](const LogFileEntry& a, const LogFileEntry& b) { return a.name < b.name; });
  return out;
}

}  // namespace clients
