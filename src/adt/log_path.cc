#include "adt/log_path.h"

#include <algorithm>
#include <cstring>

#include "adt/exception.h"
#include "platform/error.h"
#include "platform/file.h"

namespace adt {
namespace {

String slashes(String path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

String directoryOf(const String& path) {
  const size_t slash = path.rfind('/');
  if (slash == String::npos) return ".";
  return slash == 0 ? String("/") : path.substr(0, slash);
}

// The path without the extension of its last component (if that has one).
String withoutExtension(const String& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == String::npos || (slash != String::npos && dot < slash)) return path;
  if (dot == (slash == String::npos ? 0 : slash + 1)) return path;  // ".name" has no extension
  return path.substr(0, dot);
}

String fromLogOption(String p, const String& exeDir) {
  p = slashes(std::move(p));
  if (p.size() < 2 || p[0] != '/') p = exeDir + "/" + p;
  p = platform::absolutePath(p);
  if (p.size() > 4 && p.compare(p.size() - 4, 4, ".log") == 0) {
    p.resize(p.size() - 4);
  } else {
    // Any other three- or four-character extension goes too ("am.txt", "am.html"), but never
    // a dot inside a directory name.
    for (size_t len : {4u, 5u}) {
      if (p.size() >= len && p[p.size() - len] == '.' &&
          p.find('/', p.size() - len) == String::npos) {
        p.resize(p.size() - len);
        break;
      }
    }
  }
  const String dir = directoryOf(p);
  if (!platform::createDirectory(dir)) {
    const int code = platform::lastError();
    throw IOException(systemErrorMessage("\"" + dir + "\"", code));
  }
  return p;
}

}  // namespace

String resolveLogBase(int argc, const char* const* argv, const String& executablePath) {
  const String exe = platform::absolutePath(slashes(executablePath));
  const String exeDir = directoryOf(exe);
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] && std::strcmp(argv[i], "--log") == 0 && argv[i + 1]) {
      return fromLogOption(argv[i + 1], exeDir);
    }
  }
  const String name = withoutExtension(exe.substr(exe.rfind('/') + 1));
  const String logDir = exeDir == "/" ? String("/log") : exeDir + "/log";
  if (platform::createDirectory(logDir)) return logDir + "/" + name;
  return withoutExtension(exe);
}

}  // namespace adt
