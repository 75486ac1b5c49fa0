#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#include "platform/stack.h"

namespace platform {

StackTrace captureStack(int skip) {
  StackTrace trace;
  void* raw[StackTrace::kMaxFrames + 8];
  int n = backtrace(raw, StackTrace::kMaxFrames + 8);
  for (int i = skip; i < n && trace.count < StackTrace::kMaxFrames; ++i) {
    trace.frames[trace.count++] = raw[i];
  }
  return trace;
}

std::vector<std::string> symbolize(const StackTrace& trace) {
  std::vector<std::string> lines;
  lines.reserve(trace.count);
  for (int i = 0; i < trace.count; ++i) {
    void* addr = trace.frames[i];
    Dl_info info{};
    char buf[1024];
    if (dladdr(addr, &info) && info.dli_fname) {
      const char* module = info.dli_fname;
      if (const char* slash = __builtin_strrchr(module, '/')) module = slash + 1;
      if (info.dli_sname) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        const char* name = status == 0 && demangled ? demangled : info.dli_sname;
        std::snprintf(buf, sizeof buf, "%s(%s+0x%lx) [%p]", module, name,
                      static_cast<unsigned long>(static_cast<char*>(addr) -
                                                 static_cast<char*>(info.dli_saddr)),
                      addr);
        std::free(demangled);
      } else {
        std::snprintf(buf, sizeof buf, "%s(+0x%lx) [%p]", module,
                      static_cast<unsigned long>(static_cast<char*>(addr) -
                                                 static_cast<char*>(info.dli_fbase)),
                      addr);
      }
    } else {
      std::snprintf(buf, sizeof buf, "[%p]", addr);
    }
    lines.emplace_back(buf);
  }
  return lines;
}

}  // namespace platform
