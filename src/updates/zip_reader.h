// A small sequential ZIP reader: walks the local file headers from the start of the archive and
// extracts the entries a filter accepts. It reads a narrow subset of the format on purpose:
// no encryption, no data descriptors, no ZIP64, only stored and deflated entries. The central
// directory is never read; reaching it ends the walk.
#pragma once
#include <cstdint>
#include <functional>

#include "adt/text.h"

namespace updates {

namespace zip {
constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kCentralDirectorySignature = 0x02014B50;
constexpr uint32_t kLocalHeaderSize = 30;  // signature included
constexpr uint32_t kMaxVersionNeeded = 20;
constexpr uint32_t kMaxNameLength = 259;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
}  // namespace zip

// Decides whether an entry (its name as stored, "/" separated) is extracted; rejected entries
// are skipped.
using ZipFilter = std::function<bool(const adt::String& entryName)>;

// Caps on one unpacking, whatever the entries' headers claim.
struct UnzipLimits {
  // Uncompressed bytes of all entries together.
  uint64_t maxTotalBytes = 1ull << 30;
  // Entries in the archive (extracted or skipped).
  uint32_t maxEntries = 65536;
};

// Extracts every entry of `archivePath` that `filter` accepts (all of them without a filter)
// into `destinationDir`, creating directories as needed and overwriting files. Throws
// adt::Exception at the first error, with the reader's message ("bad file name",
// "file corrupted", "lfh.flags=8 <> 0", ...); a failing read of the archive throws
// adt::IOException "\"<archive>\": <system text>".
//
// Before anything is written the local headers are walked: an archive whose entries declare
// more than limits.maxTotalBytes together ("archive too large: <n> bytes uncompressed,
// at most <cap>"), that holds more than limits.maxEntries entries ("too many entries: more
// than <cap>"), or whose entries would not fit in the free space of the destination's disk
// ("not enough disk space for <archive>: <n> bytes needed, <m> free") is refused at once. A
// failure later on removes every file and directory this call created, so a refused archive
// leaves nothing behind (files it overwrote keep their new content).
//
// An entry whose path would lead outside the destination (".." components, absolute names,
// drive prefixes, "\" separators used to hide either) is refused with "bad file name" before
// anything is written for it. An entry whose data inflates to more than its header's
// uncompressed size is refused as soon as the excess appears ("uncompressed data exceeds
// lfh.size_uncompressed=<size>"), so a small archive cannot fill the disk.
//
// Calls the current adt::Thread's checkpoint between data blocks, so a worker that unpacks can
// be stopped. Any thread; touches only the archive and the destination.
void unzip(const adt::String& archivePath, const adt::String& destinationDir,
           const ZipFilter& filter = {}, const UnzipLimits& limits = {});

}  // namespace updates
