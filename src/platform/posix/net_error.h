// Shared by the POSIX socket sources: errno values in the Winsock numbering of net.h.
#pragma once

namespace platform {

// The Winsock number with the same meaning as the errno value; 0 stays 0, a code without a
// counterpart is passed on unchanged.
int netErrorFromSystem(int code);

}  // namespace platform
