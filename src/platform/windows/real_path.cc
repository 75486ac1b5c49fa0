#include "platform/real_path.h"

#include "platform/file.h"

namespace platform {

bool realPath(const std::string& path, std::string& out) { return resolvedPath(path, out); }

}  // namespace platform
