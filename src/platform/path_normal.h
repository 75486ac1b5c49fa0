// Inside the platform layer only: the lexical part of making a path absolute, shared by both
// backends.
#pragma once
#include <string>

namespace platform {

// The "/"-separated path with empty and "." parts dropped and each ".." taking away the part
// before it (never above the root), as "/a/b"; empty when nothing is left (the root).
std::string normalSlashPath(const std::string& path);

}  // namespace platform
