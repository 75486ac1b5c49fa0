#include "platform/self.h"

#include "platform/windows/win.h"

namespace platform {

uint32_t currentProcessId() { return GetCurrentProcessId(); }

uint32_t currentThreadId() { return GetCurrentThreadId(); }

std::string executablePath() {
  std::wstring buf(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  if (n == 0 || n >= buf.size()) return std::string();
  return win::slashPath(buf.data(), n);
}

// Handles have no per-process limit of the descriptor kind; the figure is the system's
// documented per-process handle ceiling.
DescriptorLimit descriptorLimit() { return DescriptorLimit{16u << 20, 16u << 20}; }

DescriptorLimit raiseDescriptorLimit() { return descriptorLimit(); }

std::string machineName() {
  wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(buf, &n)) return std::string();
  return win::narrow(buf, n);
}

}  // namespace platform
