#include "platform/real_path.h"

#include <climits>
#include <cstdlib>

namespace platform {

bool realPath(const std::string& path, std::string& out) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return false;
  out = resolved;
  std::free(resolved);
  return true;
}

}  // namespace platform
