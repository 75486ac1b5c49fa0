#include "platform/error.h"

#include "platform/windows/win.h"

namespace platform {

int lastError() { return static_cast<int>(GetLastError()); }

std::string systemErrorText(int code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(code), 0,
                                 reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n == 0 || !text) return "error " + std::to_string(code);
  std::string out = win::narrow(text, n);
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' ||
                          out.back() == '.')) {
    out.pop_back();
  }
  return out;
}

bool isAlreadyExists(int code) { return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS; }

namespace win {

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string narrow(const wchar_t* wide, size_t size) {
  if (size == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(size), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(size), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring widePath(const std::string& path) {
  std::wstring w = widen(path);
  for (wchar_t& c : w) {
    if (c == L'/') c = L'\\';
  }
  return w;
}

std::string slashPath(const wchar_t* wide, size_t size) {
  std::string out = narrow(wide, size);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

int startWinsock() {
  static const int result = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return result;
}

std::string unavailable(const char* what) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return std::string("not available on Windows: ") + what;
}

}  // namespace win
}  // namespace platform
