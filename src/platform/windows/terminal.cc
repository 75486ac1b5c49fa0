#include "platform/terminal.h"

#include <cstdio>
#include <cstdlib>

#include "platform/windows/win.h"

namespace platform {

bool readSecretLine(const std::string& prompt, std::string& out) {
  out.clear();
  HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  HANDLE con = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  DWORD mode = 0;
  const bool console = GetConsoleMode(in, &mode) != 0;
  if (console) SetConsoleMode(in, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT);
  if (con != INVALID_HANDLE_VALUE && !prompt.empty()) {
    const std::wstring w = win::widen(prompt);
    DWORD n = 0;
    WriteConsoleW(con, w.data(), static_cast<DWORD>(w.size()), &n, nullptr);
  }
  std::wstring line;
  bool ok = false;
  for (;;) {
    wchar_t c = 0;
    DWORD n = 0;
    if (!ReadConsoleW(in, &c, 1, &n, nullptr) || n == 0) break;
    if (c == L'\n') {
      ok = true;
      break;
    }
    if (c != L'\r') line.push_back(c);
  }
  const DWORD saved = GetLastError();
  if (console) SetConsoleMode(in, mode);
  if (con != INVALID_HANDLE_VALUE) {
    DWORD n = 0;
    WriteConsoleW(con, L"\r\n", 2, &n, nullptr);
    CloseHandle(con);
  }
  CloseHandle(in);
  out = win::narrow(line);
  SetLastError(saved);
  return ok;
}

int runEditor(const std::string& path) {
  const char* editor = std::getenv("VISUAL");
  if (!editor || !*editor) editor = std::getenv("EDITOR");
  if (!editor || !*editor) editor = "notepad";
  std::wstring line = win::widen(std::string(editor) + " \"" + path + "\"");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    return -1;
  }
  CloseHandle(pi.hThread);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  const bool known = GetExitCodeProcess(pi.hProcess, &code) != 0;
  CloseHandle(pi.hProcess);
  return known ? static_cast<int>(code) : -1;
}

bool readInputLine(std::string& out) {
  out.clear();
  for (;;) {
    const int c = std::fgetc(stdin);
    if (c == EOF) return !out.empty();
    if (c == '\n') break;
    out += static_cast<char>(c);
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return true;
}

}  // namespace platform
