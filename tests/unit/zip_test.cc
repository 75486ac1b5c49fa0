#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "adt/exception.h"
#include "child.h"
#include "data.h"
#include "updates/zip_reader.h"
#include "zip_writer.h"

namespace updates {
namespace {

namespace fs = std::filesystem;
using testsupport::ZipEntry;

class ZipTest : public ::testing::Test {
 protected:
  ZipTest() : dest_(temp_.file("out")) { fs::create_directory(dest_); }

  // Writes the archive and unpacks it; the error text, or "" on success.
  std::string unpack(const std::vector<ZipEntry>& entries, const ZipFilter& filter = {},
                     bool centralDirectory = true) {
    return unpackBytes(testsupport::zipArchive(entries, centralDirectory), filter);
  }

  std::string unpackBytes(const std::string& bytes, const ZipFilter& filter = {}) {
    testsupport::writeFile(archive_, bytes);
    try {
      unzip(archive_, dest_, filter);
    } catch (const adt::Exception& e) {
      return e.text();
    }
    return "";
  }

  std::string unpackLimited(const std::vector<ZipEntry>& entries, const UnzipLimits& limits) {
    testsupport::writeFile(archive_, testsupport::zipArchive(entries));
    try {
      unzip(archive_, dest_, {}, limits);
    } catch (const adt::Exception& e) {
      return e.text();
    }
    return "";
  }

  std::string out(const std::string& name) const {
    return testsupport::readFile(dest_ + "/" + name);
  }
  bool has(const std::string& name) const { return fs::exists(dest_ + "/" + name); }

  // Every path below `dir`, relative to it.
  static std::set<std::string> tree(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
      names.insert(fs::relative(e.path(), dir).string());
    return names;
  }

  testsupport::TempDir temp_;
  std::string dest_;
  std::string archive_ = temp_.file("a.zip");
};

TEST_F(ZipTest, ExtractsStoredAndDeflatedEntriesByteForByte) {
  // Larger than one 64 KiB block, so the block loops and the running CRC are exercised.
  const std::string big = testsupport::patternText(300000, 7);
  ZipEntry stored{"bin/stored.bin", big, 0};
  stored.extra = std::string(9, 'x');  // skipped
  ZipEntry deflated{"lib/deep/deflated.txt", big + big, 8};
  ZipEntry empty{"empty.txt", "", 8};
  ZipEntry dir{"docs/", "", 0};
  EXPECT_EQ(unpack({stored, deflated, empty, dir}), "");
  EXPECT_EQ(out("bin/stored.bin"), big);
  EXPECT_EQ(out("lib/deep/deflated.txt"), big + big);
  EXPECT_TRUE(has("empty.txt"));
  EXPECT_EQ(out("empty.txt"), "");
  EXPECT_TRUE(fs::is_directory(dest_ + "/docs"));
}

TEST_F(ZipTest, OverwritesExistingFilesAndCreatesTheDestination) {
  testsupport::writeFile(dest_ + "/a.txt", "old content that is longer");
  EXPECT_EQ(unpack({{"a.txt", "new", 8}}), "");
  EXPECT_EQ(out("a.txt"), "new");

  dest_ = temp_.file("fresh/nested");
  EXPECT_EQ(unpack({{"b.txt", "b", 0}}), "");
  EXPECT_EQ(out("b.txt"), "b");
}

TEST_F(ZipTest, FilterSkipsRejectedEntriesButStillWalksThemAll) {
  std::vector<std::string> seen;
  ZipFilter onlyInfo = [&seen](const adt::String& name) {
    seen.push_back(name);
    return name == ".updateinfo";
  };
  EXPECT_EQ(
      unpack({{"a.txt", "aaa", 8}, {"dir/b.bin", "bbb", 0}, {".updateinfo", "x=1", 8}}, onlyInfo),
      "");
  EXPECT_EQ((std::vector<std::string>{"a.txt", "dir/b.bin", ".updateinfo"}), seen);
  EXPECT_EQ(tree(dest_), (std::set<std::string>{".updateinfo"}));

  // All rejected: nothing is created, and the walk reaches the central directory.
  EXPECT_EQ(
      unpack({{"a.txt", "aaa", 8}, {"b.txt", "b", 0}}, [](const adt::String&) { return false; }),
      "");
  EXPECT_EQ(tree(dest_), (std::set<std::string>{".updateinfo"}));

  // A rejected entry is skipped by its size, so a broken entry after it is still found.
  ZipEntry broken{"c.txt", "c", 8};
  broken.flags = 8;
  EXPECT_EQ(
      unpack({{"a.txt", "aaa", 8}, broken}, [](const adt::String& n) { return n != "a.txt"; }),
      "lfh.flags=8 <> 0");
}

TEST_F(ZipTest, HeaderChecks) {
  ZipEntry descriptor{"a.txt", "data", 8};
  descriptor.flags = 8;  // sizes in a data descriptor after the data
  EXPECT_EQ(unpack({descriptor}), "lfh.flags=8 <> 0");
  EXPECT_FALSE(has("a.txt"));

  ZipEntry zip64{"a.txt", "data", 8};
  zip64.versionNeeded = 45;
  EXPECT_EQ(unpack({zip64}), "unsupported lfh.version=45");

  // The high byte names the system that made the archive; only the low byte counts.
  ZipEntry unixMade{"u.txt", "data", 8};
  unixMade.versionNeeded = 0x0314;
  EXPECT_EQ(unpack({unixMade}), "");

  EXPECT_EQ(unpack({{std::string(260, 'n'), "x", 0}}), "file name is too long");
  const std::string longest = std::string(200, 'n') + "/" + std::string(58, 'm');  // 259
  EXPECT_EQ(unpack({{longest, "x", 0}}), "");
  EXPECT_EQ(out(longest), "x");

  const std::string notAnArchive = "\xEF\xBE\xAD\xDE" + std::string(40, '\0');
  EXPECT_EQ(unpackBytes(notAnArchive), "lfh.signature=deadbeef <> 67324752");
}

TEST_F(ZipTest, EntryKindChecks) {
  ZipEntry deflatedDir{"d/", "", 8};
  EXPECT_EQ(unpack({deflatedDir}), "lfh.compression_method=8 <> 0");

  ZipEntry sizedDir{"d/", "", 0};
  sizedDir.uncompressedSize = 5;
  EXPECT_EQ(unpack({sizedDir}), "lfh.size_uncompressed=5 <> 0");

  ZipEntry dataDir{"d/", "", 0};
  dataDir.rawData = "abc";
  EXPECT_EQ(unpack({dataDir}), "lfh.size_compressed=3 <> 0");

  // A file entry whose name is an existing directory counts as a directory entry.
  fs::create_directory(dest_ + "/exists");
  EXPECT_EQ(unpack({{"exists", "data", 0}}), "lfh.size_uncompressed=4 <> 0");

  ZipEntry bzip{"a.txt", "data", 12};
  bzip.rawData = "data";
  EXPECT_EQ(unpack({bzip}), "lfh.compression_method=12 <> 8");
  EXPECT_FALSE(has("a.txt"));
}

TEST_F(ZipTest, NamesLeadingOutsideAreRefusedBeforeAnythingIsWritten) {
  const std::set<std::string> before = tree(temp_.path());
  for (const std::string name : {"../x", "a/../../x", "..\\x", "a\\..\\..\\x", "/etc/x", "\\x",
                                 "C:\\x", "C:x", "c:/x", "", "./../x", "a/b/../../../x"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(unpack({{"first.txt", "1", 0}, {name, "evil", 0}}), "bad file name");
    EXPECT_FALSE(has("first.txt"));  // a refused archive leaves nothing behind
  }
  std::set<std::string> after = tree(temp_.path());
  after.erase("a.zip");
  std::set<std::string> expected = before;
  expected.erase("a.zip");
  EXPECT_EQ(after, expected);

  // ".." that stays inside the destination is a plain path.
  EXPECT_EQ(unpack({{"a/../b.txt", "b", 0}}), "");
  EXPECT_EQ(out("b.txt"), "b");
}

TEST_F(ZipTest, CorruptDataFailsAndLeavesNoPartialFile) {
  ZipEntry storedBadCrc{"s.bin", "stored data", 0};
  storedBadCrc.crc = testsupport::zipCrc("stored data") ^ 1;
  EXPECT_EQ(unpack({{"ok.txt", "fine", 8}, storedBadCrc}), "file corrupted");
  EXPECT_FALSE(has("ok.txt"));  // nothing of a failed archive stays
  EXPECT_FALSE(has("s.bin"));

  ZipEntry deflatedBadCrc{"d.bin", testsupport::patternText(5000), 8};
  deflatedBadCrc.crc = 0;
  EXPECT_EQ(unpack({deflatedBadCrc}), "file corrupted");
  EXPECT_FALSE(has("d.bin"));

  // The right checksum but less data than the header announces.
  ZipEntry shortData{"short.bin", "abc", 8};
  shortData.uncompressedSize = 10;
  EXPECT_EQ(unpack({shortData}), "file corrupted");
  EXPECT_FALSE(has("short.bin"));

  ZipEntry garbage{"g.bin", "x", 8};
  garbage.rawData = std::string("\xFF\xFF\xFF\xFF\xFF\xFF", 6);
  EXPECT_EQ(unpack({garbage}), "zlib error:-3");
  EXPECT_FALSE(has("g.bin"));
}

TEST_F(ZipTest, DeflateStreamMustEndWithTheCompressedData) {
  const std::string text = testsupport::patternText(20000, 3);
  const std::string stream = testsupport::deflateRaw(text);

  ZipEntry cut{"cut.bin", text, 8};
  cut.rawData = stream.substr(0, stream.size() / 2);
  EXPECT_EQ(unpack({cut}), "unexpected end of compressed data");

  ZipEntry trailing{"trailing.bin", text, 8};
  trailing.rawData = stream + "tail";
  EXPECT_EQ(unpack({trailing}), "unexpected end of uncompressed stream");
}

TEST_F(ZipTest, TruncatedArchivesFail) {
  const std::string whole =
      testsupport::zipArchive({{"a.txt", testsupport::patternText(4000), 8}, {"b.txt", "bbbb", 0}});
  const size_t firstEnd = 30 + 5 + testsupport::deflateRaw(testsupport::patternText(4000)).size();
  EXPECT_EQ(unpackBytes(""), "unexpected eof");
  EXPECT_EQ(unpackBytes(whole.substr(0, 2)), "unexpected eof");
  EXPECT_EQ(unpackBytes(whole.substr(0, 20)), "unexpected eof");             // inside the header
  EXPECT_EQ(unpackBytes(whole.substr(0, 32)), "unexpected eof");             // inside the name
  EXPECT_EQ(unpackBytes(whole.substr(0, 100)), "unexpected eof");            // inside the data
  EXPECT_EQ(unpackBytes(whole.substr(0, firstEnd + 38)), "unexpected eof");  // second data
  // Entries without the central directory: the archive was cut at an entry boundary.
  EXPECT_EQ(unpack({{"a.txt", "a", 0}}, {}, false), "unexpected eof");
  // A skipped entry whose data runs past the end.
  EXPECT_EQ(unpackBytes(whole.substr(0, 100), [](const adt::String&) { return false; }),
            "unexpected eof");
}

TEST_F(ZipTest, RefusesDataBeyondTheAnnouncedSize) {
  // 8 MiB of zeros deflate to a few KiB: a header that announces 1000 bytes must not let it out.
  ZipEntry bomb{"bomb.bin", std::string(8 << 20, '\0'), 8};
  bomb.uncompressedSize = 1000;
  EXPECT_EQ(unpack({bomb}), "uncompressed data exceeds lfh.size_uncompressed=1000");
  EXPECT_FALSE(has("bomb.bin"));

  ZipEntry stored{"stored.bin", "0123456789", 0};
  stored.uncompressedSize = 4;
  EXPECT_EQ(unpack({stored}), "uncompressed data exceeds lfh.size_uncompressed=4");
  EXPECT_FALSE(has("stored.bin"));
}

TEST_F(ZipTest, MissingArchiveNamesTheFile) {
  try {
    unzip(temp_.file("missing.zip"), dest_);
    FAIL() << "no exception";
  } catch (const adt::IOException& e) {
    EXPECT_EQ(e.text().rfind("\"" + temp_.file("missing.zip") + "\": ", 0), 0u) << e.text();
  }
}

TEST_F(ZipTest, TotalSizeAndEntryCapsRefuseTheArchiveBeforeAnythingIsWritten) {
  // Small entries that each keep to their own header, but add up past the total: a bomb.
  const std::string zeros(4096, '\0');
  const std::vector<ZipEntry> bomb = {{"a.bin", zeros}, {"sub/b.bin", zeros}, {"c.bin", zeros}};
  UnzipLimits limits;
  limits.maxTotalBytes = 3 * 4096 - 1;
  EXPECT_EQ(unpackLimited(bomb, limits), "archive too large: 12288 bytes uncompressed, at most 12287");
  EXPECT_FALSE(has("a.bin"));
  EXPECT_FALSE(has("sub"));  // not even a directory
  limits.maxTotalBytes = 3 * 4096;  // at the cap: accepted
  EXPECT_EQ(unpackLimited(bomb, limits), "");
  EXPECT_EQ(out("sub/b.bin"), zeros);

  fs::remove_all(dest_);
  fs::create_directories(dest_);
  limits.maxEntries = 2;
  EXPECT_EQ(unpackLimited(bomb, limits), "too many entries: more than 2");
  EXPECT_FALSE(has("a.bin"));
  limits.maxEntries = 3;
  EXPECT_EQ(unpackLimited(bomb, limits), "");
}

TEST_F(ZipTest, AFailureLaterInTheArchiveRemovesWhatItCreated) {
  ZipEntry corrupt{"deep/er/c.txt", "data", 0};
  corrupt.crc = 1;
  EXPECT_EQ(unpack({{"a.txt", "a", 8}, {"deep/b.txt", "b", 8}, corrupt}), "file corrupted");
  EXPECT_FALSE(has("a.txt"));
  EXPECT_FALSE(has("deep"));
  EXPECT_TRUE(fs::exists(dest_));  // the destination itself was there before
}

}  // namespace
}  // namespace updates
