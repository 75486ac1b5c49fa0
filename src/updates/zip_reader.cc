#include "updates/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "adt/checkpoint.h"
#include "adt/exception.h"
#include "adt/file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "updates/file_tree.h"

namespace updates {
namespace {

constexpr size_t kBlock = 65536;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

[[noreturn]] void fail(const adt::String& text) { throw adt::Exception(text); }

// The fields of one local file header that the reader uses.
struct LocalHeader {
  uint16_t version = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint16_t nameLength = 0;
  uint16_t extraLength = 0;
};

// The archive, read sequentially. Read failures carry the archive's name.
class ArchiveInput {
 public:
  explicit ArchiveInput(const adt::String& path) : path_(path) {
    handle_ = platform::openFile(path, platform::kAccessRead, platform::kOpenExisting);
    if (handle_ == platform::kNoFile) failRead();
  }
  ~ArchiveInput() { platform::closeFile(handle_); }
  ArchiveInput(const ArchiveInput&) = delete;
  ArchiveInput& operator=(const ArchiveInput&) = delete;

  // Exactly n bytes, or "unexpected eof".
  void readExact(void* dst, size_t n) {
    auto* p = static_cast<uint8_t*>(dst);
    while (n > 0) {
      const int64_t got = platform::readFile(handle_, p, n);
      if (got < 0) failRead();
      if (got == 0) fail("unexpected eof");
      p += got;
      n -= static_cast<size_t>(got);
    }
  }

  // Moves forward; a position past the end shows up as "unexpected eof" at the next read.
  void skip(uint64_t n) {
    if (n == 0) return;
    if (platform::seekFile(handle_, static_cast<int64_t>(n), platform::kSeekCurrent) < 0)
      failRead();
  }

 private:
  [[noreturn]] void failRead() { adt::throwIOError(platform::lastError(), "\"" + path_ + "\""); }

  adt::String path_;
  platform::FileHandle handle_ = platform::kNoFile;
};

// Where an entry goes, or "bad file name". Both "/" and "\" count as separators, so "..\x"
// cannot pass as a plain name; a drive prefix or any other ":" is refused outright.
adt::String entryTarget(const adt::String& destination, const adt::String& name) {
  if (name.empty() || name.find('\0') != adt::String::npos || name.find(':') != adt::String::npos)
    fail("bad file name");
  adt::String relative = name;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  if (relative[0] == '/') fail("bad file name");
  const adt::String target = adt::longPath(destination + "/" + relative);
  if (target != destination && target.compare(0, destination.size() + 1, destination + "/") != 0)
    fail("bad file name");
  return target;
}

// Feeds the data of one entry to its file, checking the size against the header's on the way.
class EntryWriter {
 public:
  EntryWriter(const adt::String& path, const LocalHeader& header)
      : file_(path, adt::kFileWrite | adt::kShareRead | adt::kCreateAlways), header_(header) {}

  void put(const uint8_t* data, size_t n) {
    if (n == 0) return;
    if (n > header_.uncompressedSize - written_)
      fail(adt::format("uncompressed data exceeds lfh.size_uncompressed=%u",
                       header_.uncompressedSize));
    crc_ = crc32(crc_, data, static_cast<uInt>(n));
    written_ += static_cast<uint32_t>(n);
    file_.write(data, n);
  }

  // A short file fails like a wrong checksum: the data is not what the header describes.
  void finish() {
    file_.close();
    if (crc_ != header_.crc || written_ != header_.uncompressedSize) fail("file corrupted");
  }

 private:
  adt::File file_;
  const LocalHeader& header_;
  uLong crc_ = crc32(0, nullptr, 0);
  uint32_t written_ = 0;
};

void copyStored(ArchiveInput& in, const LocalHeader& header, EntryWriter& out) {
  std::vector<uint8_t> block(kBlock);
  uint32_t remaining = header.compressedSize;
  while (remaining > 0) {
    const size_t n = std::min<size_t>(remaining, kBlock);
    in.readExact(block.data(), n);
    remaining -= static_cast<uint32_t>(n);
    out.put(block.data(), n);
    adt::checkpointCurrentThread();
  }
}

struct InflateState {
  z_stream z{};
  bool initialised = false;
  ~InflateState() {
    if (initialised) inflateEnd(&z);
  }
};

// Raw deflate data (no zlib or gzip wrapper) that must end exactly with the compressed bytes.
void inflateEntry(ArchiveInput& in, const LocalHeader& header, EntryWriter& out) {
  InflateState state;
  z_stream& z = state.z;
  const int init = inflateInit2(&z, -MAX_WBITS);
  if (init != Z_OK) fail(adt::format("zlib error:%d", init));
  state.initialised = true;
  std::vector<uint8_t> input(kBlock), output(kBlock);
  uint32_t remaining = header.compressedSize;
  for (;;) {
    if (z.avail_in == 0) {
      if (remaining == 0) fail("unexpected end of compressed data");
      const size_t n = std::min<size_t>(remaining, kBlock);
      in.readExact(input.data(), n);
      remaining -= static_cast<uint32_t>(n);
      z.next_in = input.data();
      z.avail_in = static_cast<uInt>(n);
    }
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(kBlock);
    const int rc = inflate(&z, Z_NO_FLUSH);
    // No progress with input left would repeat for ever; with no input left, refill.
    if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && z.avail_in == 0))
      fail(adt::format("zlib error:%d", rc));
    out.put(output.data(), kBlock - z.avail_out);
    adt::checkpointCurrentThread();
    if (rc == Z_STREAM_END) break;
  }
  if (z.avail_in != 0 || remaining != 0) fail("unexpected end of uncompressed stream");
}

// What one unpacking created, removed again when it fails.
class Created {
 public:
  ~Created() {
    if (kept_) return;
    for (auto it = paths_.rbegin(); it != paths_.rend(); ++it) {
      if (!adt::deleteFile(it->first) && it->second) platform::removeDirectory(it->first);
    }
  }
  void keep() { kept_ = true; }
  // Creates the missing directories of `path` (parents first), recording each.
  void directories(const adt::String& path) {
    if (path.empty() || platform::isDirectory(path)) return;
    const adt::String parent = parentPath(path);
    if (parent != path) directories(parent);
    adt::createDirectory(path);
    paths_.emplace_back(path, true);
  }
  void file(const adt::String& path) {
    if (!platform::pathExists(path)) paths_.emplace_back(path, false);
  }

 private:
  std::vector<std::pair<adt::String, bool>> paths_;  // path, is a directory
  bool kept_ = false;
};

void extractEntry(ArchiveInput& in, const LocalHeader& header, const adt::String& name,
                  const adt::String& destination, Created& created) {
  const adt::String target = entryTarget(destination, name);
  const char last = name.back();
  const bool directoryEntry = last == '/' || last == '\\';
  created.directories(directoryEntry ? target : parentPath(target));
  if (directoryEntry || platform::isDirectory(target)) {
    if (header.method != zip::kMethodStored)
      fail(adt::format("lfh.compression_method=%u <> 0", header.method));
    if (header.uncompressedSize != 0)
      fail(adt::format("lfh.size_uncompressed=%u <> 0", header.uncompressedSize));
    if (header.compressedSize != 0)
      fail(adt::format("lfh.size_compressed=%u <> 0", header.compressedSize));
    return;
  }
  if (header.method != zip::kMethodStored && header.method != zip::kMethodDeflated)
    fail(adt::format("lfh.compression_method=%u <> 8", header.method));
  created.file(target);
  try {
    EntryWriter out(target, header);
    if (header.method == zip::kMethodStored) {
      copyStored(in, header, out);
    } else {
      inflateEntry(in, header, out);
    }
    out.finish();
  } catch (...) {
    // Nothing half-written is left behind under a name the next step might trust.
    adt::deleteFile(target);
    throw;
  }
}

LocalHeader readHeaderRest(ArchiveInput& in) {
  uint8_t raw[zip::kLocalHeaderSize - 4];
  in.readExact(raw, sizeof raw);
  LocalHeader h;
  h.version = le16(raw + 0);
  h.flags = le16(raw + 2);
  h.method = le16(raw + 4);
  h.crc = le32(raw + 10);
  h.compressedSize = le32(raw + 14);
  h.uncompressedSize = le32(raw + 18);
  h.nameLength = le16(raw + 22);
  h.extraLength = le16(raw + 24);
  return h;
}

void checkHeader(const LocalHeader& h) {
  if ((h.version & 0xFF) > zip::kMaxVersionNeeded)
    fail(adt::format("unsupported lfh.version=%u", h.version & 0xFFu));
  if (h.flags != 0) fail(adt::format("lfh.flags=%u <> 0", h.flags));
  if (h.nameLength > zip::kMaxNameLength) fail("file name is too long");
}

// The walk before the extraction: checks every header and adds up what the entries declare,
// without inflating anything.
void checkArchive(const adt::String& archive, const adt::String& destination,
                  const UnzipLimits& limits) {
  ArchiveInput in(archive);
  uint64_t total = 0;
  uint32_t entries = 0;
  uint8_t word[4];
  in.readExact(word, sizeof word);
  for (;;) {
    const uint32_t signature = le32(word);
    if (signature == zip::kCentralDirectorySignature) break;
    if (signature != zip::kLocalHeaderSignature)
      fail(adt::format("lfh.signature=%08x <> %u", signature, zip::kLocalHeaderSignature));
    const LocalHeader header = readHeaderRest(in);
    checkHeader(header);
    if (++entries > limits.maxEntries)
      fail(adt::format("too many entries: more than %u", limits.maxEntries));
    adt::String name(header.nameLength, '\0');
    in.readExact(name.data(), name.size());
    in.skip(header.extraLength);
    {
      // Every entry counts, so that the filter is asked once per entry, during the extraction.
      total += header.uncompressedSize;
      if (total > limits.maxTotalBytes)
        fail(adt::format("archive too large: %llu bytes uncompressed, at most %llu",
                         static_cast<unsigned long long>(total),
                         static_cast<unsigned long long>(limits.maxTotalBytes)));
    }
    in.skip(header.compressedSize);
    in.readExact(word, sizeof word);
  }
  // The free space of the nearest existing directory on the way to the destination.
  adt::String existing = destination;
  while (!platform::isDirectory(existing) && parentPath(existing) != existing)
    existing = parentPath(existing);
  const int64_t free = platform::freeDiskSpace(existing);
  if (free >= 0 && total > static_cast<uint64_t>(free))
    fail(adt::format("not enough disk space for %s: %llu bytes needed, %lld free", archive.c_str(),
                     static_cast<unsigned long long>(total), static_cast<long long>(free)));
}

}  // namespace

void unzip(const adt::String& archivePath, const adt::String& destinationDir,
           const ZipFilter& filter, const UnzipLimits& limits) {
  const adt::String archive = adt::longPath(archivePath);
  const adt::String destination = adt::longPath(destinationDir);
  checkArchive(archive, destination, limits);
  ArchiveInput in(archive);
  Created created;
  uint8_t word[4];
  in.readExact(word, sizeof word);
  for (;;) {
    const uint32_t signature = le32(word);
    if (signature == zip::kCentralDirectorySignature) break;
    // Checked before the rest is read, so that a file which is no archive at all says so.
    if (signature != zip::kLocalHeaderSignature)
      fail(adt::format("lfh.signature=%08x <> %u", signature, zip::kLocalHeaderSignature));
    const LocalHeader header = readHeaderRest(in);
    checkHeader(header);
    adt::String name(header.nameLength, '\0');
    in.readExact(name.data(), name.size());
    in.skip(header.extraLength);
    if (!filter || filter(name)) {
      extractEntry(in, header, name, destination, created);
    } else {
      in.skip(header.compressedSize);
    }
    in.readExact(word, sizeof word);
  }
  created.keep();
}

}  // namespace updates
