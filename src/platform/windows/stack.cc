// Call stacks: RtlCaptureStackBackTrace, and DbgHelp for the names (module and, where the
// module carries symbols DbgHelp reads, the function).
#include "platform/stack.h"

#include "platform/windows/win.h"

#include <dbghelp.h>

#include <cstdio>
#include <mutex>

namespace platform {

StackTrace captureStack(int skip) {
  StackTrace t;
  t.count = RtlCaptureStackBackTrace(static_cast<DWORD>(skip < 0 ? 0 : skip),
                                     StackTrace::kMaxFrames, t.frames, nullptr);
  return t;
}

std::vector<std::string> symbolize(const StackTrace& trace) {
  // DbgHelp is single-threaded.
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  static const bool ready = [] {
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
    return SymInitialize(GetCurrentProcess(), nullptr, TRUE) != 0;
  }();
  std::vector<std::string> lines;
  for (int i = 0; i < trace.count; ++i) {
    const DWORD64 address = reinterpret_cast<DWORD64>(trace.frames[i]);
    std::string module = "?";
    HMODULE m = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(trace.frames[i]), &m)) {
      wchar_t path[MAX_PATH];
      const DWORD n = GetModuleFileNameW(m, path, MAX_PATH);
      if (n) module = win::slashPath(path, n);
    }
    char text[1024];
    alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + 512];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = 511;
    DWORD64 offset = 0;
    if (ready && SymFromAddr(GetCurrentProcess(), address, &offset, symbol)) {
      std::snprintf(text, sizeof text, "%s(%s+0x%llx) [0x%llx]", module.c_str(), symbol->Name,
                    static_cast<unsigned long long>(offset),
                    static_cast<unsigned long long>(address));
    } else {
      const unsigned long long base = reinterpret_cast<unsigned long long>(m);
      std::snprintf(text, sizeof text, "%s(+0x%llx) [0x%llx]", module.c_str(),
                    m ? static_cast<unsigned long long>(address) - base : 0ull,
                    static_cast<unsigned long long>(address));
    }
    lines.emplace_back(text);
  }
  return lines;
}

}  // namespace platform
