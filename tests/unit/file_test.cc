#include "adt/file.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <utility>

#include "adt/exception.h"
#include "child.h"
#include "platform/self.h"

namespace adt {
namespace {

namespace fs = std::filesystem;

static_assert((kFileRead | kShareReadWrite | kOpenExisting) == 49);

// A fresh directory per test, removed afterwards.
class FileTest : public ::testing::Test {
 protected:
  String path(const String& name) const { return temp_.file(name); }

  void put(const String& name, const std::string& content) const {
    testsupport::writeFile(path(name), content);
  }
  std::string get(const String& name) const {
    const Bytes b = readWholeFile(path(name));
    return std::string(b.begin(), b.end());
  }

  // The message of the IOException that `f` throws; fails the test when it throws none.
  template <typename F>
  static std::string ioMessage(F f) {
    try {
      f();
    } catch (const IOException& e) {
      return e.text();
    }
    ADD_FAILURE() << "no IOException";
    return {};
  }

  const testsupport::TempDir temp_;
  const String dir_ = temp_.path();
};

TEST_F(FileTest, CopyRefusesExistingTargetCopyOverwriteReplaces) {
  put("a", "alpha");
  put("b", "beta");
  const std::string msg = ioMessage([&] { copy(path("a"), path("b")); });
  EXPECT_EQ(msg.rfind("Copy(" + path("a") + "," + path("b") + "): ", 0), 0u) << msg;
  EXPECT_GT(msg.size(), ("Copy(" + path("a") + "," + path("b") + "): ").size());
  EXPECT_EQ(get("b"), "beta");

  copyOverwrite(path("a"), path("b"));
  EXPECT_EQ(get("b"), "alpha");
  copy(path("a"), path("c"));
  EXPECT_EQ(get("c"), "alpha");

  const std::string missing = ioMessage([&] { copyOverwrite(path("none"), path("d")); });
  EXPECT_EQ(missing.rfind("CopyOverwrite(" + path("none") + "," + path("d") + "): ", 0), 0u);
  EXPECT_FALSE(exists(path("d")));
}

TEST_F(FileTest, CopyOverwriteOntoItselfKeepsTheContent) {
  put("a", "precious");
  EXPECT_THROW(copyOverwrite(path("a"), path("a")), IOException);
  EXPECT_THROW(copyOverwrite(path("a"), dir_ + "/./a"), IOException);
  EXPECT_EQ(get("a"), "precious");
}

TEST_F(FileTest, CopyKeepsPermissionsAndLargeContent) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  put("big", big);
  fs::permissions(path("big"), fs::perms::owner_all | fs::perms::group_read);
  copy(path("big"), path("copy"));
  EXPECT_EQ(get("copy"), big);
  EXPECT_EQ(fs::status(path("copy")).permissions(), fs::perms::owner_all | fs::perms::group_read);
}

TEST_F(FileTest, RenameVersusRenameOverwrite) {
  put("a", "alpha");
  put("b", "beta");
  const std::string msg = ioMessage([&] { rename(path("a"), path("b")); });
  EXPECT_EQ(msg.rfind("Rename(" + path("a") + "," + path("b") + "): ", 0), 0u) << msg;
  EXPECT_EQ(get("a"), "alpha");
  EXPECT_EQ(get("b"), "beta");

  renameOverwrite(path("a"), path("b"));
  EXPECT_FALSE(exists(path("a")));
  EXPECT_EQ(get("b"), "alpha");

  rename(path("b"), path("c"));
  EXPECT_FALSE(exists(path("b")));
  EXPECT_EQ(get("c"), "alpha");

  createDirectory(path("d1"));
  rename(path("d1"), path("d2"));
  EXPECT_TRUE(fs::is_directory(path("d2")));
  createDirectory(path("d3"));
  EXPECT_THROW(rename(path("d2"), path("d3")), IOException);

  const std::string missing = ioMessage([&] { renameOverwrite(path("x"), path("y")); });
  EXPECT_EQ(missing.rfind("RenameOverwrite(" + path("x") + "," + path("y") + "): ", 0), 0u);
}

TEST_F(FileTest, DirectoriesCreateRemoveExists) {
  createDirectory(path("d"));
  createDirectory(path("d"));  // already there: fine
  EXPECT_TRUE(fs::is_directory(path("d")));

  const std::string msg = ioMessage([&] { createDirectory(path("no/such")); });
  EXPECT_EQ(msg.rfind("\"" + path("no/such") + "\": ", 0), 0u) << msg;
  put("f", "x");
  EXPECT_THROW(createDirectory(path("f")), IOException);

  put("d/inner", "x");
  try {
    removeDirectory(path("d"));
    ADD_FAILURE() << "a non-empty directory was removed";
  } catch (const LastError& e) {
    EXPECT_EQ(e.text().rfind("RemoveDirectoryA => ", 0), 0u) << e.text();
    EXPECT_NE(e.code(), 0);
  }
  EXPECT_TRUE(deleteFile(path("d/inner")));
  EXPECT_FALSE(deleteFile(path("d/inner")));
  removeDirectory(path("d"));
  EXPECT_FALSE(exists(path("d")));

  put("report-1.zip", "z");
  EXPECT_TRUE(exists(path("report-1.zip")));
  EXPECT_TRUE(exists(path("*.zip")));
  EXPECT_TRUE(exists(path("report-?.zip")));
  EXPECT_FALSE(exists(path("report-??.zip")));
  EXPECT_FALSE(exists(path("*.txt")));
  EXPECT_FALSE(exists(path("missing/*")));
}

TEST_F(FileTest, DirectoryIteratorKindsAndEnd) {
  {
    DirectoryIterator empty(dir_);
    EXPECT_TRUE(empty.isOpen());
    String name = "untouched";
    EXPECT_EQ(empty.next(name), DirectoryIterator::kEnd);
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(empty.next(name), DirectoryIterator::kEnd);
  }
  createDirectory(path("sub"));
  put("one.txt", "1");
  put("two.txt", "2");
  std::set<std::pair<std::string, int>> seen;
  DirectoryIterator it(dir_ + "/");
  String name;
  for (int kind; (kind = it.next(name)) != DirectoryIterator::kEnd;) seen.emplace(name, kind);
  const std::set<std::pair<std::string, int>> expected = {{"sub", DirectoryIterator::kDirectory},
                                                          {"one.txt", DirectoryIterator::kFile},
                                                          {"two.txt", DirectoryIterator::kFile}};
  EXPECT_EQ(seen, expected);

  DirectoryIterator missing(path("none"));
  EXPECT_FALSE(missing.isOpen());
  EXPECT_EQ(missing.next(name), DirectoryIterator::kEnd);
}

TEST_F(FileTest, OpenModes) {
  const std::string msg = ioMessage([&] { File f(path("missing"), kFileRead | kOpenExisting); });
  EXPECT_EQ(msg.rfind("\"" + path("missing") + "\": ", 0), 0u) << msg;
  EXPECT_GT(msg.size(), path("missing").size() + 4);

  File f;
  EXPECT_FALSE(f.open(path("missing"), 49));
  EXPECT_FALSE(f.isOpen());

  put("a", "content");
  EXPECT_THROW(File(path("a"), kFileWrite | kCreateNew), IOException);
  {
    File keep(path("a"), kFileReadWrite | kOpenAlways);
    EXPECT_EQ(keep.size(), 7u);
  }
  {
    File fresh(path("a"), kFileWrite | kCreateAlways);
    EXPECT_EQ(fresh.size(), 0u);
  }
  File made(path("new"), kFileWrite | kOpenAlways);
  EXPECT_TRUE(made.isOpen());
  EXPECT_EQ(made.path(), path("new"));
  EXPECT_THROW(File(dir_, kFileRead | kOpenExisting), IOException);  // a directory

  // A FIFO where a file was expected is refused at once, for reading and for writing, instead
  // of holding the caller until its other end is opened.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_THROW(File(path("fifo"), kFileRead | kOpenExisting), IOException);
  EXPECT_THROW(File(path("fifo"), kFileReadWrite | kOpenAlways), IOException);
  EXPECT_THROW(File(path("fifo"), kFileWrite | kOpenExisting), IOException);
}

TEST_F(FileTest, WriteSeekSizeTruncateRoundTrip) {
  File f(path("data"), kFileReadWrite | kShareRead | kCreateNew);
  const std::string text = "hello world";
  f.write(text.data(), text.size());
  EXPECT_EQ(f.size(), 11u);
  EXPECT_EQ(f.position(), 11u);

  f.seek(6);
  char buf[32] = {};
  EXPECT_EQ(f.read(buf, sizeof buf), 5u);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(f.read(buf, sizeof buf), 0u);  // end of file

  f.seek(2);
  f.seekRelative(3);
  EXPECT_EQ(f.position(), 5u);
  f.truncate();
  EXPECT_EQ(f.size(), 5u);
  f.seekEnd();
  f.write("!", 1);
  f.seekRelative(-6);
  EXPECT_EQ(f.read(buf, sizeof buf), 6u);
  EXPECT_EQ(std::string(buf, 6), "hello!");

  // Positioning past the end and writing leaves a zero-filled gap.
  f.seek(8);
  f.write("x", 1);
  f.flush();
  f.close();
  EXPECT_EQ(get("data"), std::string("hello!\0\0x", 9));

  File in(path("data"), 49);
  EXPECT_EQ(in.skip(100), 9u);
}

TEST_F(FileTest, ClosedFileBehaviour) {
  File f;
  EXPECT_EQ(f.size(), 0u);
  EXPECT_EQ(f.position(), 0u);
  EXPECT_EQ(ioMessage([&] { f.seek(0); }), "Файл не открыт");
  EXPECT_EQ(ioMessage([&] { f.truncate(); }), "Файл не открыт");
  EXPECT_NO_THROW(f.seekRelative(5));
  EXPECT_NO_THROW(f.seekEnd());
  EXPECT_NO_THROW(f.flush());
  char c;
  const std::string readMsg = ioMessage([&] { f.read(&c, 1); });
  EXPECT_EQ(readMsg.rfind("\"\": ", 0), 0u) << readMsg;
  EXPECT_GT(readMsg.size(), 4u);
  EXPECT_THROW(f.write("x", 1), IOException);

  put("a", "abc");
  ASSERT_TRUE(f.open(path("a"), 49));
  EXPECT_EQ(f.size(), 3u);
  f.close();
  f.close();  // twice is harmless
  EXPECT_EQ(f.size(), 0u);
  EXPECT_EQ(ioMessage([&] { f.seek(1); }), "Файл не открыт");
}

TEST_F(FileTest, WriteFailureCarriesTheSystemText) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  File full("/dev/full", kFileWrite | kOpenExisting);
  const std::string msg = ioMessage([&] { full.write("abc", 3); });
  // The error names the file it is about.
  EXPECT_EQ(msg.rfind("\"/dev/full\": ", 0), 0u) << msg;
  EXPECT_GT(msg.size(), 4u);
}

TEST_F(FileTest, WholeFileHelpers) {
  writeFileAtomically(path("s.ini"), Bytes{'a', 'b', 'c'});
  EXPECT_EQ(get("s.ini"), "abc");
  const std::string second = "second version, longer than the first";
  writeFileAtomically(path("s.ini"), second.data(), second.size());
  EXPECT_EQ(get("s.ini"), second);
  writeFileAtomically(path("empty"), nullptr, 0);
  EXPECT_TRUE(readWholeFile(path("empty")).empty());

  writeFileAtomically(path("secret"), Bytes{'k'}, true);
  EXPECT_EQ(
      fs::status(path("secret")).permissions() & (fs::perms::group_all | fs::perms::others_all),
      fs::perms::none);

  // A target that cannot be written: the error names the temporary file, nothing is left.
  EXPECT_THROW(writeFileAtomically(path("no/dir/file"), Bytes{'x'}), IOException);
  // The target is a directory: the rename fails and the temporary file is removed.
  createDirectory(path("busy"));
  put("busy/inside", "x");
  EXPECT_THROW(writeFileAtomically(path("busy"), Bytes{'x'}), IOException);

  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
  const std::set<std::string> expected = {"s.ini", "empty", "secret", "busy"};
  EXPECT_EQ(names, expected);

  const std::string msg = ioMessage([&] { readWholeFile(path("none")); });
  EXPECT_EQ(msg.rfind("\"" + path("none") + "\": ", 0), 0u) << msg;
}

TEST(LongPath, AbsoluteAndNormalised) {
  EXPECT_EQ(longPath("/opt/am/./log/../am.ini"), "/opt/am/am.ini");
  EXPECT_EQ(longPath("/opt//am/"), "/opt/am");
  const String rel = longPath("x/y");
  EXPECT_EQ(rel.front(), '/');
  EXPECT_EQ(rel, longPath(fs::current_path().string() + "/x/y"));
}

TEST(SystemException, FaultNames) {
  EXPECT_EQ(SystemException::faultName(fault::kAccessViolation, false, 0x40ABCD),
            "Access Violation(read of address 0x0040ABCD)");
  EXPECT_EQ(SystemException::faultName(fault::kAccessViolation, true, 0x7FFF12345678ull),
            "Access Violation(write of address 0x7FFF12345678)");
  EXPECT_EQ(SystemException::faultName(fault::kFltDivideByZero), "Divide by zero (float)");
  EXPECT_EQ(SystemException::faultName(fault::kIntDivideByZero), "Divide by zero (int)");
  EXPECT_EQ(SystemException::faultName(fault::kStackOverflow), "Stack overflow");
  EXPECT_EQ(SystemException::faultName(fault::kIntOverflow), "EXCEPTION_INT_OVERFLOW");
  EXPECT_EQ(SystemException::faultName(fault::kSingleStep), "EXCEPTION_SINGLE_STEP");
  EXPECT_EQ(SystemException::faultName(0xE06D7363), "System exception [error code:  3765269347]");
  const SystemException e(fault::kIllegalInstruction, false, 0);
  EXPECT_EQ(e.text(), "EXCEPTION_ILLEGAL_INSTRUCTION");
  EXPECT_EQ(e.code(), fault::kIllegalInstruction);
}

TEST_F(FileTest, AtomicWritesNeverUseAFilePlantedUnderTheirTemporaryName) {
  // Every temporary name this thread can pick is taken by a link to a file that the planter
  // wants written: the write is refused and the link's target stays as it was.
  put("victim", "untouched");
  const std::string target = path("am.sec");
  for (uint32_t n = 0; n < 2000; ++n) {
    fs::create_symlink(path("victim"), adt::format("%s.%u-%u-%u.tmp", target.c_str(),
                                                   static_cast<unsigned>(platform::currentProcessId()),
                                                   static_cast<unsigned>(platform::currentThreadId()), n));
  }
  EXPECT_THROW(writeFileAtomically(target, Bytes{'s', 'e', 'c'}, true), IOException);
  EXPECT_EQ(get("victim"), "untouched");
  EXPECT_FALSE(fs::exists(target));
  for (const auto& entry : fs::directory_iterator(temp_.path())) {
    if (entry.path().filename().string().starts_with("am.sec.")) fs::remove(entry.path());
  }
  // Without the links the secret is written for its owner alone.
  writeFileAtomically(target, Bytes{'s', 'e', 'c'}, true);
  EXPECT_EQ(get("am.sec"), "sec");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace adt
