// Update archives: the bytes as an uploaded file, unpacked into a fresh directory the way an
// update is (everything, or only its ".updateinfo"), then removed again. Nothing may land
// outside the destination.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "adt/exception.h"
#include "fuzz_support.h"
#include "updates/update_info.h"
#include "updates/zip_reader.h"

namespace {

std::string* root = nullptr;

void removeRoot() {
  std::error_code ec;
  if (root) std::filesystem::remove_all(*root, ec);
}

// Files and directories under `dir`, counted.
size_t entriesUnder(const std::string& dir) {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  std::string tmpl = (std::filesystem::temp_directory_path() / "am-fuzz-zip-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) fuzz::broken("no temporary directory");
  root = new std::string(tmpl);
  std::atexit(removeRoot);
  std::filesystem::create_directories(*root + "/home/out");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string archive = *root + "/upload.zip";
  const std::string home = *root + "/home";
  const std::string out = home + "/out";
  std::ofstream(archive, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  // The caps of one unpacking are the real ones but for the total size, kept small here so
  // that a bomb costs little time (its check is the same).
  updates::UnzipLimits limits;
  limits.maxTotalBytes = 8u << 20;
  updates::ZipFilter filter;
  if (size % 2 == 1) {
    filter = [](const adt::String& name) { return name == updates::kUpdateInfoName; };
  }
  try {
    updates::unzip(archive, out, filter, limits);
  } catch (const adt::Exception&) {
    // A refused archive leaves nothing behind.
    if (entriesUnder(out) != 0) fuzz::broken("a refused archive left files behind");
  }
  // Nothing beside the destination.
  if (entriesUnder(home) != entriesUnder(out) + 1) fuzz::broken("a file landed outside");
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(out, ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
  return 0;
}
