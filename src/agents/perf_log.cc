#include "agents/perf_log.h"

#include <mutex>

#include "adt/log.h"
#include "platform/error.h"
#include "platform/file.h"

namespace agents {

void appendPerformanceLog(const adt::String& base, const platform::LocalTime& when,
                          const adt::String& text) {
  if (base.empty()) return;
  static std::mutex mutex;  // one writer at a time keeps the lines whole
  const std::string line =
      adt::format("%04d/%02d/%02d %02d:%02d:%02d:%03d ", when.year, when.month, when.day, when.hour,
                  when.minute, when.second, when.millisecond) +
      adt::toCp1251(text) + "\r\n";
  const std::string path = base + ".perf.log";
  std::lock_guard<std::mutex> lock(mutex);
  const platform::FileHandle h =
      platform::openFile(path, platform::kAccessWrite, platform::kOpenAlways);
  bool written = false;
  int error = 0;
  if (h != platform::kNoFile) {
    written = platform::seekFile(h, 0, platform::kSeekEnd) >= 0 &&
              platform::writeFile(h, line.data(), line.size()) == static_cast<int64_t>(line.size());
    if (!written) error = platform::lastError();
    platform::closeFile(h);
  } else {
    error = platform::lastError();
  }
  if (!written) {
    adt::log(adt::LOG_ERR, "appendPerformanceLog(" + path + "): error " + std::to_string(error));
  }
}

}  // namespace agents
