#include "updates/update_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "adt/exception.h"
#include "adt/log.h"
#include "child.h"
#include "data.h"
#include "log_recorder.h"
#include "updates/upload.h"
#include "zip_writer.h"

namespace updates {
namespace {

namespace fs = std::filesystem;
using testsupport::ZipEntry;

constexpr uint32_t v5_2_430 = adt::makeVersion(5, 2, 430);
const char* const kDist430 = "dorvi-5.2.430-windows-x86_64.zip";

// ---- The store ----

class UpdateStoreTest : public ::testing::Test {
 protected:
  std::string home() const { return temp_.path(); }
  std::string agents() const { return home() + "/updates/agents"; }
  std::string runDir(const std::string& version) const { return home() + "/run/" + version; }

  // A distribution with the agent program and a nested file.
  static std::string distribution(const std::string& tag = "v1") {
    return testsupport::zipArchive({ZipEntry("dorvi", "#!/bin/sh\necho " + tag + "\n", 8),
                                    ZipEntry("lib/", "", 0),
                                    ZipEntry("lib/core.jar", testsupport::patternText(70000), 8)});
  }

  void put(const std::string& relative, const std::string& bytes) const {
    fs::create_directories(fs::path(home() + "/updates/" + relative).parent_path());
    testsupport::writeFile(home() + "/updates/" + relative, bytes);
  }

  // Polls (joining finished threads) until the version has left the unpacking state.
  static AgentVersion::State settle(UpdateStore& store, const std::shared_ptr<AgentVersion>& v) {
    EXPECT_TRUE(testsupport::waitUntil([&] {
      store.poll();
      return v->state() != AgentVersion::kUnpacking && !store.unpacking();
    }));
    return v->state();
  }

  static std::string error(const std::function<void()>& f) {
    try {
      f();
    } catch (const adt::Exception& e) {
      return e.text();
    }
    return "";
  }

  testsupport::TempDir temp_;
};

TEST_F(UpdateStoreTest, RescanFindsDistributionsAndUnpacksThem) {
  put(std::string("agents/") + kDist430, distribution());
  put("agents/old/dorvi-5.1.600.zip", distribution("old"));
  put("agents/dorvi-5.2.431-linux-x64.zip", distribution());
  put("agents/dorvi-5_2_432.zip", distribution());
  put("agents/dorvi-5.2.433.zip.bad", distribution());
  put("agents/notes.txt", "x");

  UpdateStore store(home());
  EXPECT_EQ(store.generation(), 0u);
  store.rescan();
  EXPECT_EQ(store.generation(), 1u);
  ASSERT_EQ(store.versions().size(), 2u);
  const auto old = store.versions()[0];
  const auto current = store.versions()[1];
  EXPECT_EQ(old->versionNumber(), adt::makeVersion(5, 1, 600));
  EXPECT_EQ(old->archivePath(), agents() + "/old/dorvi-5.1.600.zip");
  EXPECT_EQ(current->versionNumber(), v5_2_430);
  EXPECT_EQ(current->archivePath(), agents() + "/" + kDist430);
  EXPECT_EQ(current->directory(), runDir("5.2.430"));
  EXPECT_EQ(current->executablePath(), runDir("5.2.430") + "/dorvi");

  EXPECT_EQ(settle(store, current), AgentVersion::kReady);
  EXPECT_EQ(settle(store, old), AgentVersion::kReady);
  EXPECT_TRUE(fs::exists(runDir("5.2.430") + "/.unpackstatus-done"));
  EXPECT_FALSE(fs::exists(runDir("5.2.430") + "/.unpackstatus-fail"));
  EXPECT_EQ(testsupport::readFile(runDir("5.2.430") + "/lib/core.jar"),
            testsupport::patternText(70000));
  EXPECT_EQ(testsupport::readFile(runDir("5.1.600") + "/dorvi"), "#!/bin/sh\necho old\n");
  const fs::perms perms = fs::status(current->executablePath()).permissions();
  EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none);

  // A second rescan keeps the records (and what holders of them see) and starts nothing.
  store.rescan();
  EXPECT_EQ(store.generation(), 2u);
  EXPECT_EQ(store.versions()[1], current);
  EXPECT_FALSE(store.unpacking());
}

TEST_F(UpdateStoreTest, CorruptArchiveIsAVisibleFailure) {
  std::string broken = distribution();
  broken[broken.size() / 2] ^= 0x55;  // inside the deflated jar
  put("agents/dorvi-5.2.500.zip", broken);
  put(std::string("agents/") + kDist430, distribution());
  testsupport::LogRecorder log;
  {
    UpdateStore store(home());
    store.rescan();
    ASSERT_EQ(store.versions().size(), 2u);
    const auto bad = store.versions()[1];
    EXPECT_EQ(settle(store, bad), AgentVersion::kFailed);
    EXPECT_NE(bad->failure(), "");
    EXPECT_EQ(settle(store, store.versions()[0]), AgentVersion::kReady);
    EXPECT_TRUE(fs::exists(runDir("5.2.500") + "/.unpackstatus-fail"));
    EXPECT_FALSE(fs::exists(runDir("5.2.500") + "/.unpackstatus-done"));
    EXPECT_TRUE(log.contains(
        "unpacking " + agents() + "/dorvi-5.2.500.zip into " + runDir("5.2.500") + " failed: ",
        adt::LOG_ERR));

    // The failed version is never chosen; the good one is.
    EXPECT_EQ(store.select(0, 0xFFFFFFFF)->versionNumber(), v5_2_430);
    EXPECT_EQ(store.select(adt::makeVersion(5, 2, 431), 0xFFFFFFFF), nullptr);

    const auto listing = store.list("agent", true);
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0].name, kDist430);
    EXPECT_EQ(listing[0].status, ListEntry::kNoStatus);
    EXPECT_EQ(listing[1].name, "dorvi-5.2.500.zip");
    EXPECT_EQ(listing[1].status, ListEntry::kUnpackFailed);
    EXPECT_EQ(listing[1].statusText, "Ошибка распаковки файла");
  }
  // A restarted manager takes both states from the markers and unpacks nothing again.
  UpdateStore again(home());
  again.rescan();
  EXPECT_FALSE(again.unpacking());
  EXPECT_EQ(again.versions()[0]->state(), AgentVersion::kReady);
  EXPECT_EQ(again.versions()[1]->state(), AgentVersion::kFailed);
}

TEST_F(UpdateStoreTest, UnpackingCutOffIsRedone) {
  put(std::string("agents/") + kDist430, distribution());
  fs::create_directories(runDir("5.2.430"));
  testsupport::writeFile(runDir("5.2.430") + "/stale.txt", "left by an interrupted unpacking");
  UpdateStore store(home());
  store.rescan();
  EXPECT_EQ(settle(store, store.versions()[0]), AgentVersion::kReady);
  EXPECT_FALSE(fs::exists(runDir("5.2.430") + "/stale.txt"));
  EXPECT_TRUE(fs::exists(runDir("5.2.430") + "/lib/core.jar"));
}

TEST_F(UpdateStoreTest, StoppedWhileUnpackingRecoversOnTheNextStart) {
  std::vector<ZipEntry> many;
  for (int i = 0; i < 40; ++i)
    many.emplace_back("part" + std::to_string(i), testsupport::patternText(200000, i), 8);
  many.emplace_back("dorvi", "program", 0);
  put(std::string("agents/") + kDist430, testsupport::zipArchive(many));
  {
    UpdateStore store(home());
    store.rescan();
    EXPECT_TRUE(testsupport::waitUntil([&] { return fs::exists(runDir("5.2.430") + "/part0"); }));
  }  // stops the thread, wherever it was
  UpdateStore store(home());
  store.rescan();
  EXPECT_EQ(settle(store, store.versions()[0]), AgentVersion::kReady);
  EXPECT_EQ(testsupport::readFile(runDir("5.2.430") + "/part39"),
            testsupport::patternText(200000, 39));
}

TEST_F(UpdateStoreTest, SelectTakesTheHighestVersionInRange) {
  for (const char* name :
       {"dorvi-5.1.600.zip", "dorvi-5.2.4.zip", "dorvi-5.2.430.zip", "dorvi-6.0.1.zip"})
    put(std::string("agents/") + name, distribution());
  UpdateStore store(home());
  store.rescan();
  for (const auto& v : store.versions()) settle(store, v);
  EXPECT_EQ(store.select(0, 0xFFFFFFFF)->versionNumber(), adt::makeVersion(6, 0, 1));
  EXPECT_EQ(store.select(adt::makeVersion(5, 2, 0), adt::makeVersion(5, 2, 65535))->versionNumber(),
            v5_2_430);
  EXPECT_EQ(store.select(0, adt::makeVersion(5, 2, 429))->versionNumber(),
            adt::makeVersion(5, 2, 4));
  EXPECT_EQ(store.select(adt::makeVersion(5, 1, 600), adt::makeVersion(5, 1, 600))->versionNumber(),
            adt::makeVersion(5, 1, 600));
  EXPECT_EQ(store.select(adt::makeVersion(7, 0, 0), 0xFFFFFFFF), nullptr);
}

TEST_F(UpdateStoreTest, UploadAppearsOnlyWhenComplete) {
  UpdateStore store(home());
  const std::string bytes = distribution();
  auto upload = store.beginUpload(std::string("agent/") + kDist430);
  EXPECT_EQ(upload->target(), agents() + "/" + kDist430);
  for (size_t at = 0; at < bytes.size(); at += 1000)
    upload->write(bytes.data() + at, std::min<size_t>(1000, bytes.size() - at));
  EXPECT_TRUE(fs::exists(upload->temporaryPath()));
  EXPECT_TRUE(upload->temporaryPath().ends_with(".uploading"));
  store.rescan();
  EXPECT_TRUE(store.versions().empty());  // ".uploading" is no distribution
  const uint32_t before = store.generation();
  upload->finish();
  upload.reset();
  EXPECT_GT(store.generation(), before);
  EXPECT_FALSE(fs::exists(agents() + "/" + kDist430 + ".uploading"));
  EXPECT_EQ(testsupport::readFile(agents() + "/" + kDist430), bytes);
  ASSERT_EQ(store.versions().size(), 1u);
  EXPECT_EQ(store.versions()[0]->versionNumber(), v5_2_430);
  EXPECT_EQ(settle(store, store.versions()[0]), AgentVersion::kReady);
  EXPECT_TRUE(fs::exists(runDir("5.2.430") + "/.unpackstatus-done"));

  EXPECT_EQ(error([&] { store.beginUpload("agents/readme.txt"); }), "неверный тип файла");
  // Uploading onto an existing archive is refused, and its temporary file goes.
  auto again = store.beginUpload(std::string("agents/") + kDist430);
  again->write("x", 1);
  EXPECT_EQ(error([&] { again->finish(); }).rfind("Rename(", 0), 0u);
  again.reset();
  EXPECT_FALSE(fs::exists(agents() + "/" + kDist430 + ".uploading"));
  EXPECT_EQ(testsupport::readFile(agents() + "/" + kDist430), bytes);
}

TEST_F(UpdateStoreTest, ReplacedArchiveIsUnpackedAgain) {
  std::string broken = distribution();
  broken[broken.size() / 2] ^= 0x55;
  put(std::string("agents/") + kDist430, broken);
  UpdateStore store(home());
  store.rescan();
  // An agent keeps the record it chose, without running from it.
  const std::shared_ptr<AgentVersion> chosen = store.versions()[0];
  EXPECT_EQ(settle(store, chosen), AgentVersion::kFailed);

  store.remove(std::string("agents/") + kDist430);
  auto upload = store.beginUpload(std::string("agents/") + kDist430);
  const std::string good = distribution("fixed");
  upload->write(good.data(), good.size());
  upload->finish();
  ASSERT_EQ(store.versions().size(), 1u);
  EXPECT_NE(store.versions()[0], chosen);
  EXPECT_EQ(settle(store, store.versions()[0]), AgentVersion::kReady);
  EXPECT_FALSE(fs::exists(runDir("5.2.430") + "/.unpackstatus-fail"));
  EXPECT_EQ(testsupport::readFile(runDir("5.2.430") + "/dorvi"), "#!/bin/sh\necho fixed\n");
}

TEST_F(UpdateStoreTest, AbandonedUploadIsDeleted) {
  testsupport::LogRecorder log;
  UpdateStore store(home());
  auto upload = store.beginUpload("client/new/client-1.0.zip");
  upload->write("partial", 7);
  const std::string temporary = upload->temporaryPath();
  EXPECT_TRUE(temporary.starts_with(home() + "/updates/clients/new/client-1.0.zip."));
  EXPECT_TRUE(fs::exists(temporary));
  upload.reset();
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_FALSE(fs::exists(home() + "/updates/clients/new/client-1.0.zip"));
  EXPECT_TRUE(log.contains("deleting incomplete file: " + temporary));
}

TEST_F(UpdateStoreTest, ASecondUploadToTheSameTargetIsRefusedUntilTheFirstEnds) {
  UpdateStore store(home());
  auto first = store.beginUpload("agent/x.zip");
  first->write("first", 5);
  try {
    store.beginUpload("agents/x.zip");
    ADD_FAILURE() << "a second upload to the same target was accepted";
  } catch (const adt::Exception& e) {
    EXPECT_EQ(e.text(), "Файл \"" + agents() + "/x.zip\" уже загружается");
  }
  // Another target is free, and uses a file of its own.
  auto other = store.beginUpload("agent/y.zip");
  EXPECT_NE(other->temporaryPath(), first->temporaryPath());
  first->finish();
  first.reset();
  EXPECT_EQ(testsupport::readFile(agents() + "/x.zip"), "first");
  // Once it has ended the target may be uploaded again (the rename then finds it taken).
  auto again = store.beginUpload("agent/x.zip");
  again->write("second", 6);
  EXPECT_THROW(again->finish(), adt::IOException);
  EXPECT_EQ(testsupport::readFile(agents() + "/x.zip"), "first");
}

TEST_F(UpdateStoreTest, AnUploadPastTheSizeCapIsRefusedAndLeavesNoFile) {
  UpdateStore store(home());
  auto upload = store.beginUpload("agent/big.zip");
  const std::string temporary = upload->temporaryPath();
  upload->write("0123456789", 10);
  // The count is checked before anything is written, so the bytes past the cap are never read.
  const char one = 'x';
  try {
    upload->write(&one, Upload::kMaxBytes - 9);
    ADD_FAILURE() << "an upload past the cap was accepted";
  } catch (const adt::Exception& e) {
    EXPECT_EQ(e.text(), "Размер файла обновления превышает 1073741824 байт");
  }
  EXPECT_EQ(upload->written(), 10u);
  upload.reset();
  EXPECT_FALSE(fs::exists(temporary));
}

TEST_F(UpdateStoreTest, DeleteIsRefusedWhileAnAgentRunsFromTheVersion) {
  put(std::string("agents/") + kDist430, distribution());
  UpdateStore store(home());
  store.rescan();
  settle(store, store.versions()[0]);
  const std::string path = std::string("agents/") + kDist430;
  {
    VersionInUse running(store.select(0, 0xFFFFFFFF));
    EXPECT_EQ(error([&] { store.remove(path); }),
              "Обновление \"" + path + "\" используется одним из агентов");
    EXPECT_TRUE(fs::exists(agents() + "/" + kDist430));

    // Marked bad while running: the record leaves the list, but its directory stays while the
    // agent runs from it.
    store.markBad(path);
    EXPECT_TRUE(fs::exists(agents() + "/" + kDist430 + ".bad"));
    EXPECT_TRUE(store.versions().empty());
    store.cleanUp();
    EXPECT_TRUE(fs::exists(runDir("5.2.430") + "/dorvi"));
    // Back again: still the record the agent runs from, so deleting is still refused.
    store.unmarkBad(path + ".bad");
    ASSERT_EQ(store.versions().size(), 1u);
    EXPECT_EQ(store.versions()[0], running.version());
    EXPECT_NE(error([&] { store.remove(path); }), "");
  }
  const uint32_t before = store.generation();
  EXPECT_EQ(error([&] { store.remove(path); }), "");
  EXPECT_FALSE(fs::exists(agents() + "/" + kDist430));
  EXPECT_TRUE(store.versions().empty());
  EXPECT_GT(store.generation(), before);
  store.cleanUp();
  EXPECT_FALSE(fs::exists(runDir("5.2.430")));
}

TEST_F(UpdateStoreTest, MarkBadAndBack) {
  put("clients/x.zip", "x");
  UpdateStore store(home());
  store.markBad("client/x.zip");
  EXPECT_TRUE(fs::exists(home() + "/updates/clients/x.zip.bad"));
  EXPECT_FALSE(fs::exists(home() + "/updates/clients/x.zip"));
  store.markBad("client/x.zip.bad");  // already marked: left alone
  EXPECT_TRUE(fs::exists(home() + "/updates/clients/x.zip.bad"));
  store.unmarkBad("clients\\x.zip.bad");
  EXPECT_TRUE(fs::exists(home() + "/updates/clients/x.zip"));
  store.unmarkBad("clients/x.zip");  // not marked: left alone
  EXPECT_TRUE(fs::exists(home() + "/updates/clients/x.zip"));
  EXPECT_EQ(error([&] { store.markBad("clients/missing.zip"); }).rfind("Rename(", 0), 0u);
}

TEST_F(UpdateStoreTest, CleanUpRemovesOnlyUnlistedVersionDirectories) {
  put(std::string("agents/") + kDist430, distribution());
  for (const char* dir : {"5.2.430", "5.2.300", "9.9.9", "1.2", "tools", ".apply"})
    fs::create_directories(runDir(dir) + "/sub");
  testsupport::writeFile(runDir("5.2.430") + "/.unpackstatus-done", "");
  UpdateStore store(home());
  store.rescan();
  store.cleanUp();
  EXPECT_TRUE(fs::exists(runDir("5.2.430")));
  EXPECT_FALSE(fs::exists(runDir("5.2.300")));
  EXPECT_FALSE(fs::exists(runDir("9.9.9")));
  EXPECT_TRUE(fs::exists(runDir("1.2")));  // too short to be a version directory
  EXPECT_TRUE(fs::exists(runDir("tools")));
  EXPECT_TRUE(fs::exists(runDir(".apply")));

  // A link inside a removed tree is removed, not followed.
  fs::create_directories(runDir("5.2.301"));
  fs::create_directories(home() + "/precious");
  testsupport::writeFile(home() + "/precious/keep.txt", "keep");
  fs::create_directory_symlink(home() + "/precious", runDir("5.2.301") + "/link");
  store.cleanUp();
  EXPECT_FALSE(fs::exists(runDir("5.2.301")));
  EXPECT_EQ(testsupport::readFile(home() + "/precious/keep.txt"), "keep");
}

TEST_F(UpdateStoreTest, PathsStayInsideTheUpdatesDirectory) {
  UpdateStore store(home());
  const std::string updates = home() + "/updates";
  EXPECT_EQ(store.resolve("agent/x.zip"), updates + "/agents/x.zip");
  EXPECT_EQ(store.resolve("/client\\sub\\y.zip"), updates + "/clients/sub/y.zip");
  EXPECT_EQ(store.resolve("agents/old/../x.zip"), updates + "/agents/x.zip");
  EXPECT_EQ(store.resolve("am"), updates + "/am");
  EXPECT_EQ(store.resolve("agentsX/a"), updates + "/agentsX/a");

  fs::create_directories(home() + "/outside");
  testsupport::writeFile(home() + "/secret.zip", "secret");
  for (const std::string path : {"..", "../secret.zip", "agents/../../secret.zip", "..\\secret.zip",
                                 "agent\\..\\..\\secret.zip", "C:\\secret.zip", "c:secret.zip",
                                 "../updates-other/x.zip", "../outside/evil.zip"}) {
    SCOPED_TRACE(path);
    const std::string refused = "Недопустимый путь: \"" + path + "\"";
    EXPECT_EQ(error([&] { store.resolve(path); }), refused);
    EXPECT_EQ(error([&] { store.list(path, true); }), refused);
    EXPECT_EQ(error([&] { store.remove(path); }), refused);
    EXPECT_EQ(error([&] { store.markBad(path); }), refused);
    EXPECT_EQ(error([&] { store.unmarkBad(path); }), refused);
    if (path.size() > 4 && path.substr(path.size() - 4) == ".zip") {
      EXPECT_EQ(error([&] { store.beginUpload(path); }), refused);
    }
  }
  EXPECT_EQ(testsupport::readFile(home() + "/secret.zip"), "secret");
  EXPECT_TRUE(fs::is_empty(home() + "/outside"));
}

TEST_F(UpdateStoreTest, ListingWithDetails) {
  put(std::string("agents/") + kDist430, distribution());
  put("agents/dorvi-5.2.431-linux-x64.zip", "x");
  fs::create_directories(agents() + "/older");
  put("am/dorvi-5.2.103.zip", "x");
  put("am/dorvi-5.2.500.zip", "x");
  put("am/am-update.zip", "x");
  UpdateStore store(home());
  store.rescan();
  settle(store, store.versions()[0]);

  const auto root = store.list("/", true);
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root[0].name, "agent");
  EXPECT_EQ(root[1].name, "client");
  EXPECT_EQ(root[2].name, "am");
  for (const auto& e : root) EXPECT_TRUE(e.directory);
  EXPECT_TRUE(UpdateStore::isRoot(""));

  const auto agentList = store.list("agents", true);
  ASSERT_EQ(agentList.size(), 3u);
  EXPECT_EQ(agentList[0].name, kDist430);
  EXPECT_FALSE(agentList[0].directory);
  EXPECT_EQ(agentList[0].status, ListEntry::kNoStatus);
  EXPECT_GT(agentList[0].modified, 40000.0);  // a date after 2009 as fractional days
  EXPECT_EQ(agentList[1].name, "dorvi-5.2.431-linux-x64.zip");
  EXPECT_EQ(agentList[1].status, ListEntry::kUnusable);
  EXPECT_EQ(agentList[2].name, "older");
  EXPECT_TRUE(agentList[2].directory);

  const auto amList = store.list("am", true);
  ASSERT_EQ(amList.size(), 3u);
  EXPECT_EQ(amList[0].name, "am-update.zip");
  EXPECT_EQ(amList[0].status, ListEntry::kUnusable);
  EXPECT_EQ(amList[1].name, "dorvi-5.2.103.zip");
  EXPECT_EQ(amList[1].status, ListEntry::kUnusable);
  EXPECT_EQ(amList[2].name, "dorvi-5.2.500.zip");
  EXPECT_EQ(amList[2].status, ListEntry::kNoStatus);

  // Without details nothing is judged.
  for (const auto& e : store.list("am", false)) EXPECT_EQ(e.status, ListEntry::kNoStatus);
  EXPECT_TRUE(store.list("clients", true).empty());
}

class ManagerUpdateTest : public UpdateStoreTest {
 protected:
  ManagerUpdateTest() {
    testsupport::writeFile(home() + "/am", "old program");
    testsupport::writeFile(home() + "/am.ini", "old settings");
  }
  static std::string update(const std::string& info) {
    std::vector<ZipEntry> entries{ZipEntry("am", "new program", 8),
                                  ZipEntry("am.ini", "new settings", 8),
                                  ZipEntry("web/page.html", "<html>", 0)};
    if (!info.empty()) entries.emplace_back(".updateinfo", info, 8);
    return testsupport::zipArchive(entries);
  }
  static constexpr uint32_t kRunning = adt::makeVersion(5, 2, 430);
};

TEST_F(ManagerUpdateTest, RefusedUpdatesChangeNothing) {
  put("am/dorvi-5.2.500.zip", update("updater=5.3.1\n"));
  put("am/dorvi-5.2.501.zip", update("updater=5.3\n"));
  put("am/dorvi-5.2.100.zip", update(""));
  put("am/am-5.2.500.zip", update(""));
  put(std::string("agents/") + kDist430, update(""));
  UpdateStore store(home());
  EXPECT_EQ(error([&] { store.applyManagerUpdate(std::string("agent/") + kDist430, kRunning, 0); }),
            "Apply on non-am update");
  EXPECT_EQ(error([&] { store.applyManagerUpdate("am/am-5.2.500.zip", kRunning, 0); }),
            "Файл обновления \"am-5.2.500.zip\" не совместим с текущей версией ПО");
  EXPECT_EQ(error([&] { store.applyManagerUpdate("am/dorvi-5.2.100.zip", kRunning, 0); }),
            "Обновления на версии ниже 5.2.104 не поддерживаются");
  EXPECT_EQ(error([&] { store.applyManagerUpdate("am/dorvi-5.2.500.zip", kRunning, 0); }),
            "Для установки этого обновления требуется am >= 5.3.1");
  EXPECT_EQ(error([&] { store.applyManagerUpdate("am/dorvi-5.2.501.zip", kRunning, 0); }),
            "Для установки этого обновления требуется am >= 5.3");
  // No ".updateinfo": the default bound applies.
  put("am/dorvi-5.2.502.zip", update(""));
  EXPECT_EQ(error([&] {
              store.applyManagerUpdate("am/dorvi-5.2.502.zip", kRunning, adt::makeVersion(6, 0, 0));
            }),
            "Для установки этого обновления требуется am >= 6.0");
  EXPECT_EQ(testsupport::readFile(home() + "/am"), "old program");
  EXPECT_EQ(testsupport::readFile(home() + "/am.ini"), "old settings");
  EXPECT_FALSE(fs::exists(home() + "/am.bak"));
  EXPECT_FALSE(fs::exists(home() + "/web"));
}

TEST_F(ManagerUpdateTest, InstallsTheListedFilesAndKeepsABackup) {
  testsupport::LogRecorder log;
  put("am/dorvi-5.2.500.zip", update("updater=5.2.400\nextract=am, web/page.html\n"));
  UpdateStore store(home());
  store.applyManagerUpdate("am/dorvi-5.2.500.zip", kRunning, 0);
  EXPECT_EQ(testsupport::readFile(home() + "/am"), "new program");
  EXPECT_EQ(testsupport::readFile(home() + "/am.bak"), "old program");
  EXPECT_EQ(testsupport::readFile(home() + "/web/page.html"), "<html>");
  EXPECT_EQ(testsupport::readFile(home() + "/am.ini"), "old settings");  // not listed
  EXPECT_TRUE(log.contains("switching am to backup", adt::LOG_INFO));
  EXPECT_TRUE(log.contains("unpacking " + home() + "/updates/am/dorvi-5.2.500.zip into " + home()));

  // Once per run: a second update does not overwrite the backup of the original program.
  put("am/dorvi-5.2.501.zip", update(""));
  store.applyManagerUpdate("am/dorvi-5.2.501.zip", kRunning, 0);
  EXPECT_EQ(testsupport::readFile(home() + "/am.bak"), "old program");
  EXPECT_EQ(testsupport::readFile(home() + "/am.ini"), "new settings");
  EXPECT_EQ(log.count("switching am to backup"), 1u);
}

}  // namespace
}  // namespace updates
