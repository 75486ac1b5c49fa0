// The path a file really has: absolute, "." and ".." resolved and every symbolic link followed.
#pragma once
#include <string>

namespace platform {

// False when the path (or a directory on it) does not exist or cannot be resolved.
bool realPath(const std::string& path, std::string& out);

}  // namespace platform
