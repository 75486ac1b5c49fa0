#include "updates/file_tree.h"

#include "adt/exception.h"
#include "adt/file.h"
#include "platform/error.h"
#include "platform/file.h"

namespace updates {

adt::String parentPath(const adt::String& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == adt::String::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void makeDirectories(const adt::String& path) {
  if (path.empty() || platform::isDirectory(path)) return;
  const adt::String parent = parentPath(path);
  if (parent != path) makeDirectories(parent);
  adt::createDirectory(path);
}

void removeTree(const adt::String& path) {
  // unlink() removes files and links of every kind but never a directory, so trying it first
  // keeps a link to a directory from being entered.
  if (adt::deleteFile(path)) return;
  const int code = platform::lastError();
  if (!platform::isDirectory(path)) {
    if (!platform::pathExists(path)) return;
    adt::throwIOError(code, "\"" + path + "\"");
  }
  adt::DirectoryIterator it(path);
  adt::String name;
  while (it.next(name) != adt::DirectoryIterator::kEnd) removeTree(path + "/" + name);
  adt::removeDirectory(path);
}

}  // namespace updates
