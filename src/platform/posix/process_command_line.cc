// Command-line splitting and joining: plain text work, the same on every system.
#include "platform/process.h"

namespace platform {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> splitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::string current;
  bool started = false;  // an argument is open, possibly still empty ("")
  bool quoted = false;
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == '\\') {
      size_t n = 0;
      while (i < line.size() && line[i] == '\\') ++n, ++i;
      started = true;
      if (i < line.size() && line[i] == '"') {
        current.append(n / 2, '\\');
        if (n % 2 == 1) {
          current += '"';
          ++i;
        }
        // With an even count the quote is handled as a group mark on the next turn.
      } else {
        current.append(n, '\\');
      }
      continue;
    }
    if (c == '"') {
      quoted = !quoted;
      started = true;
    } else if (isBlank(c) && !quoted) {
      if (started) args.push_back(std::move(current));
      current.clear();
      started = false;
    } else {
      current += c;
      started = true;
    }
    ++i;
  }
  if (started) args.push_back(std::move(current));
  return args;
}

std::string joinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  bool first = true;
  for (const std::string& arg : args) {
    if (!first) line += ' ';
    first = false;
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '"';
    size_t backslashes = 0;
    for (const char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      if (c == '"') {
        line.append(2 * backslashes + 1, '\\');
      } else {
        line.append(backslashes, '\\');
      }
      backslashes = 0;
      line += c;
    }
    // Doubled so that they do not escape the closing quote.
    line.append(2 * backslashes, '\\');
    line += '"';
  }
  return line;
}

bool commandLineFromArgumentBytes(std::string raw, std::string& out) {
  if (raw.empty()) return false;
  // Each argument ends with a NUL, so an empty last argument shows as a second NUL at the end.
  // A process that rewrote its title may have left one blank-separated text: taken as it is.
  if (raw.back() == '\0') raw.pop_back();
  if (raw.find('\0') == std::string::npos) {
    out = raw;
    return true;
  }
  std::vector<std::string> args;
  size_t start = 0;
  while (true) {
    const size_t end = raw.find('\0', start);
    args.push_back(raw.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  out = joinCommandLine(args);
  return true;
}

}  // namespace platform
