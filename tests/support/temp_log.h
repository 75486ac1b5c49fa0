// Test support: log files in a fresh temporary directory.
#pragma once
#include <string>

#include "child.h"

namespace testsupport {

// Points the log files (adt::setLogBase) at "<fresh temporary directory>/am" for its lifetime
// and starts them as a fresh process would (the start line is written again). On destruction
// the log base is cleared before the directory is removed. One at a time; the log base is
// process-wide.
class TempLogFiles {
 public:
  TempLogFiles();
  ~TempLogFiles();
  TempLogFiles(const TempLogFiles&) = delete;
  TempLogFiles& operator=(const TempLogFiles&) = delete;

  const std::string& dir() const { return dir_.path(); }
  // The log base: the path of the log files without their extension.
  const std::string& base() const { return base_; }
  // The content of "<base><suffix>", e.g. read(".err"); "" when there is no such file.
  std::string read(const std::string& suffix) const { return readFile(base_ + suffix); }

 private:
  TempDir dir_;
  std::string base_;
};

}  // namespace testsupport
