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

}  // namespace platform
