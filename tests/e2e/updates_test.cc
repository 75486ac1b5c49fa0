// The update requests against a real manager: build/am in a temporary home, driven over the
// binary protocol by amclient as the default administrator (no user has read-write rights).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "adt/tagged_writer.h"
#include "amclient/amclient.h"
#include "child.h"
#include "platform/net.h"
#include "zip_writer.h"

namespace {

using namespace std::chrono_literals;
using amclient::Element;
using testsupport::Child;

const uint32_t kLocal = platform::hostToNet32(0x7F000001);
const std::string kDistribution = "dorvi-5.2.7-windows-x86_64.zip";

// One entry of a listing as the manager sent it.
struct Entry {
  std::string name;
  int kind = -1;       // element 2
  bool dated = false;  // element 6 present
  int status = 0;      // element 3
  std::string text;    // element 4
};

class Updates : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testsupport::run({"/bin/cp", AM_BUILD_DIR "/am", dir_.file("am")}).exitCode, 0);
    clientPort_ = testsupport::freePort();
    agent_ = testsupport::readFile(AM_BUILD_DIR "/demo-agent");
    ASSERT_FALSE(agent_.empty());
  }
  void TearDown() override {
    if (am_ && !am_->exited()) {
      am_->write("q\n");
      am_->waitExit(60s);
    }
    for (int pid : agentPids()) ::kill(pid, SIGKILL);
  }

  void start(const std::string& agents = "") {
    testsupport::writeFile(dir_.file("am.ini"),
                           "[common]\nclient_port=" + std::to_string(clientPort_) +
                               "\nagent_port=" + std::to_string(testsupport::freePort()) + "\n" +
                               agents);
    testsupport::writeFile(dir_.file("dor.conf"), "demo settings\n");
    am_ = std::make_unique<Child>(std::vector<std::string>{dir_.file("am"), "--console"});
    ASSERT_TRUE(am_->waitForOutput("\n> ", 30s)) << am_->output();
  }
  std::vector<int> agentPids() const {
    std::vector<int> pids;
    if (!am_) return pids;
    const std::string out = am_->output();
    static const std::regex re(R"(\(pid:(\d+)\))");
    for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it) {
      pids.push_back(std::stoi((*it)[1]));
    }
    return pids;
  }

  // A connection logged in as the default administrator.
  std::unique_ptr<amclient::Connection> open() {
    auto c = std::make_unique<amclient::Connection>(60000);
    c->connect(kLocal, static_cast<uint16_t>(clientPort_));
    c->readGreeting();
    c->sendHandshake();
    EXPECT_TRUE(c->login("", "").ok);
    return c;
  }
  amclient::Reply command(uint8_t tag, const std::string& path, std::vector<Element> params) {
    auto c = open();
    params.emplace_back(9, adt::Bytes{});
    c->sendCommand(tag, Element::text(0, path).value, params);
    return c->readUntilClosed();
  }
  amclient::Reply upload(const std::string& path, const std::string& content) {
    auto c = open();
    c->sendCommand(113, Element::text(0, path).value);
    for (size_t at = 0; at < content.size(); at += 65536) {
      c->send(Element::bytes(1, content.data() + at, std::min<size_t>(65536, content.size() - at)));
    }
    c->send(Element(9, {}));
    return c->readUntilClosed();
  }
  amclient::Reply modify(const std::string& path, int32_t what) {
    return command(114, path, {Element::integer(1, what)});
  }
  std::vector<Entry> list(const std::string& path, bool details, bool* rootEnd = nullptr) {
    std::vector<Element> params;
    if (details) params.push_back(Element::integer(1, 1));
    const amclient::Reply reply = command(112, path, params);
    EXPECT_FALSE(reply.failed) << reply.errorText;
    std::vector<Entry> out;
    if (rootEnd) *rootEnd = false;
    for (const Element& e : reply.elements) {
      if (e.tag == 1) {
        out.emplace_back();
        out.back().name = e.asText();
      }
      if (e.tag == 5 && rootEnd) *rootEnd = e.value == adt::Bytes{1};
      if (out.empty()) continue;
      if (e.tag == 2 && e.value.size() == 1) out.back().kind = e.value[0];
      if (e.tag == 6) out.back().dated = e.value.size() == sizeof(double);
      if (e.tag == 3 && e.value.size() == 1) out.back().status = e.value[0];
      if (e.tag == 4) out.back().text = e.asText();
    }
    return out;
  }
  static const Entry* find(const std::vector<Entry>& entries, const std::string& name) {
    for (const Entry& e : entries) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }
  // Runs build/amctl as the default administrator (empty name and password).
  testsupport::RunResult amctl(const std::vector<std::string>& args) {
    testsupport::writeFile(dir_.file("pw"), "\n");
    std::vector<std::string> argv = {
        AM_BUILD_DIR "/amctl", "--port",       std::to_string(clientPort_), "--user", "",
        "--password-file",     dir_.file("pw")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, "", 120s);
  }
  std::string distribution() const { return testsupport::zipArchive({{"dorvi", agent_}}); }

  testsupport::TempDir dir_;
  int clientPort_ = 0;
  std::string agent_;
  std::unique_ptr<Child> am_;
};

TEST_F(Updates, UploadListMarkAndDeleteWhileAnAgentRunsFromIt) {
  // Started by a client's login once the distribution is there (an automatic first start
  // would be tried, and fail, before the upload).
  start("[agent]\nid=d1\nname=Dist\nver=5.2\nclient_port=" +
        std::to_string(testsupport::freeTcpPort()) +
        "\nargs=--demo-version 5.2.7 --demo-telemetry-ms 500\n");
  bool rootEnd = false;
  const std::vector<Entry> root = list("/", false, &rootEnd);
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root[0].name, "agent");
  EXPECT_EQ(root[1].name, "client");
  EXPECT_EQ(root[2].name, "am");
  for (const Entry& e : root) EXPECT_EQ(e.kind, 1) << e.name;
  EXPECT_TRUE(rootEnd);

  // The upload puts the archive in place and rescans; the agent then starts from it.
  amclient::Reply reply = upload("agent/" + kDistribution, distribution());
  EXPECT_FALSE(reply.failed) << reply.errorText;
  EXPECT_EQ(testsupport::readFile(dir_.file("updates/agents/" + kDistribution)), distribution());
  EXPECT_FALSE(
      std::filesystem::exists(dir_.file("updates/agents/" + kDistribution + ".uploading")));
  EXPECT_FALSE(modify("", 5).failed);
  {
    auto c = std::make_unique<amclient::Connection>(90000);
    c->connect(kLocal, static_cast<uint16_t>(clientPort_));
    c->readGreeting();
    c->sendHandshake();
    c->sendCommand(14, Element::text(0, "Dist").value);
    reply = c->readUntilClosed();
    EXPECT_FALSE(reply.failed) << reply.errorText;
  }
  ASSERT_TRUE(am_->waitForOutput(") запущен (версия: 5.2.7)", 60s)) << am_->output();
  EXPECT_EQ(testsupport::readFile(dir_.file("run/5.2.7/dorvi")), agent_);

  // An archive whose name is no distribution is listed as unusable with details only.
  reply = upload("agents/dorvi-5_2_9.zip", distribution());
  EXPECT_FALSE(reply.failed) << reply.errorText;
  std::vector<Entry> agents = list("agent", true);
  const Entry* good = find(agents, kDistribution);
  ASSERT_NE(good, nullptr);
  EXPECT_EQ(good->kind, 0);
  EXPECT_TRUE(good->dated);
  EXPECT_EQ(good->status, 0);
  const Entry* odd = find(agents, "dorvi-5_2_9.zip");
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->status, 1);
  EXPECT_EQ(find(list("agents", false), "dorvi-5_2_9.zip")->status, 0);

  // The running agent's archive cannot be deleted; the other one can.
  reply = modify("agents/" + kDistribution, 0);
  ASSERT_TRUE(reply.failed);
  EXPECT_EQ(reply.errorText,
            "Обновление \"agents/" + kDistribution + "\" используется одним из агентов");
  EXPECT_TRUE(std::filesystem::exists(dir_.file("updates/agents/" + kDistribution)));
  EXPECT_FALSE(modify("agents/dorvi-5_2_9.zip", 0).failed);
  EXPECT_EQ(find(list("agents", false), "dorvi-5_2_9.zip"), nullptr);

  // Mark bad and back, on a client update.
  EXPECT_FALSE(upload("client/app-1.zip", "client bytes").failed);
  EXPECT_FALSE(modify("client/app-1.zip", 1).failed);
  std::vector<Entry> clients = list("client", false);
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].name, "app-1.zip.bad");
  EXPECT_FALSE(modify("client/app-1.zip.bad", 2).failed);
  clients = list("clients", false);
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].name, "app-1.zip");
  EXPECT_EQ(testsupport::readFile(dir_.file("updates/clients/app-1.zip")), "client bytes");

  // Paths that lead outside the store, wrong names and unknown commands are refused.
  reply = command(112, "../x", {});
  ASSERT_TRUE(reply.failed);
  EXPECT_NE(reply.errorText.find("Недопустимый путь"), std::string::npos) << reply.errorText;
  reply = upload("../x.zip", "x");
  ASSERT_TRUE(reply.failed);
  EXPECT_NE(reply.errorText.find("Недопустимый путь"), std::string::npos) << reply.errorText;
  EXPECT_FALSE(std::filesystem::exists(dir_.file("x.zip.uploading")));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("x.zip")));
  reply = modify("../am.ini", 0);
  ASSERT_TRUE(reply.failed);
  EXPECT_NE(reply.errorText.find("Недопустимый путь"), std::string::npos) << reply.errorText;
  EXPECT_TRUE(std::filesystem::exists(dir_.file("am.ini")));
  reply = upload("client/notes.txt", "x");
  ASSERT_TRUE(reply.failed);
  EXPECT_EQ(reply.errorText, "неверный тип файла");
  reply = modify("client/app-1.zip", 7);
  ASSERT_TRUE(reply.failed);
  EXPECT_EQ(reply.errorText, "unsupported command: 7");
}

// True while a temporary upload file is in `directory`.
bool uploading(const std::string& directory) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(directory, ec)) {
    if (e.path().filename().string().ends_with(".uploading")) return true;
  }
  return false;
}

TEST_F(Updates, RefusedAndInterruptedUploadsLeaveNoFile) {
  start("[user]\nname=viewer\npermissions=ro\n");
  const std::string target = dir_.file("updates/agents/" + kDistribution);
  {
    // A read-only user may list but not upload; nothing is created for the refused upload.
    auto c = std::make_unique<amclient::Connection>(60000);
    c->connect(kLocal, static_cast<uint16_t>(clientPort_));
    c->readGreeting();
    c->sendHandshake();
    ASSERT_TRUE(c->login("viewer", "").ok);
    c->sendCommand(113, Element::text(0, "agent/" + kDistribution).value,
                   {Element::bytes(1, "PK", 2), Element(9, {})});
    const amclient::Reply reply = c->readUntilClosed();
    ASSERT_TRUE(reply.failed);
    EXPECT_EQ(reply.errorCode, 0x1002);
    EXPECT_FALSE(uploading(dir_.file("updates/agents")));
    EXPECT_FALSE(std::filesystem::exists(target));
  }
  {
    auto c = open();
    c->sendCommand(113, Element::text(0, "agent/" + kDistribution).value);
    const std::string content = distribution();
    c->send(Element::bytes(1, content.data(), content.size() / 2));
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return uploading(dir_.file("updates/agents")); }, 60s));
    c->close();
  }
  EXPECT_TRUE(
      testsupport::waitUntil([&] { return !uploading(dir_.file("updates/agents")); }, 60s));
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_TRUE(am_->waitForOutput("deleting incomplete file: ", 60s)) << am_->output();
  EXPECT_TRUE(list("agents", false).empty());
  EXPECT_FALSE(std::filesystem::exists(dir_.file("run/5.2.7")));
}

TEST_F(Updates, ConcurrentUploadsToOnePathAreRefusedAndAZipBombLeavesNothing) {
  start();
  const std::string target = dir_.file("updates/agents/" + kDistribution);
  const std::string content = distribution();
  auto first = open();
  first->sendCommand(113, Element::text(0, "agent/" + kDistribution).value);
  first->send(Element::bytes(1, content.data(), content.size() / 2));
  ASSERT_TRUE(testsupport::waitUntil([&] { return uploading(dir_.file("updates/agents")); }, 60s));
  {
    // The second upload to the same path is told so; the first goes on undisturbed.
    auto second = open();
    second->sendCommand(113, Element::text(0, "agent/" + kDistribution).value,
                        {Element::bytes(1, "PK", 2), Element(9, {})});
    const amclient::Reply reply = second->readUntilClosed();
    ASSERT_TRUE(reply.failed);
    EXPECT_NE(reply.errorText.find("уже загружается"), std::string::npos) << reply.errorText;
  }
  first->send(Element::bytes(1, content.data() + content.size() / 2,
                             content.size() - content.size() / 2));
  first->send(Element(9, {}));
  first->readUntilClosed();
  ASSERT_TRUE(testsupport::waitUntil([&] { return std::filesystem::exists(target); }, 60s));
  EXPECT_EQ(testsupport::readFile(target), content);

  // A small archive whose entries add up to more than the unpacking cap: refused before anything
  // is written, recorded as failed, nothing of it left in its directory.
  const std::string zeros(64u << 20, '\0');
  const std::string packed = testsupport::deflateRaw(zeros);
  std::vector<testsupport::ZipEntry> entries;
  for (int i = 0; i < 17; ++i) {  // 17 x 64 MiB > 1 GiB
    testsupport::ZipEntry e("part" + std::to_string(i) + ".bin", "", 8);
    e.rawData = packed;
    e.crc = testsupport::zipCrc(zeros);
    e.compressedSize = static_cast<uint32_t>(packed.size());
    e.uncompressedSize = static_cast<uint32_t>(zeros.size());
    entries.push_back(e);
  }
  const std::string bomb = testsupport::zipArchive(entries);
  ASSERT_LT(bomb.size(), 2u << 20);
  const std::string bombName = "dorvi-5.2.9-windows-x86_64.zip";
  auto c = open();
  c->sendCommand(113, Element::text(0, "agent/" + bombName).value,
                 {Element::bytes(1, bomb.data(), bomb.size()), Element(9, {})});
  c->readUntilClosed();
  const std::string run = dir_.file("run/5.2.9");
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return std::filesystem::exists(run + "/.unpackstatus-fail"); }, 120s))
      << am_->output();
  EXPECT_TRUE(am_->waitForOutput("archive too large", 60s)) << am_->output();
  for (const auto& e : std::filesystem::directory_iterator(run)) {
    EXPECT_EQ(e.path().filename().string(), ".unpackstatus-fail");
  }
}

TEST_F(Updates, AmctlUploadsListsAndChangesFiles) {
  start();
  testsupport::writeFile(dir_.file("upload.zip"), "update bytes");
  testsupport::RunResult r = amctl({"updates", "upload", dir_.file("upload.zip"), "am/x.zip"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(testsupport::readFile(dir_.file("updates/am/x.zip")), "update bytes");
  // Not a compatible manager update: unusable in the detailed listing.
  r = amctl({"--json", "updates", "list", "am", "--details"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("\"name\":\"x.zip\""), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"status\":1"), std::string::npos) << r.output;
  r = amctl({"updates", "bad", "am/x.zip"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(std::filesystem::exists(dir_.file("updates/am/x.zip.bad")));
  r = amctl({"updates", "unbad", "am/x.zip.bad"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = amctl({"updates", "delete", "am/x.zip"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_FALSE(std::filesystem::exists(dir_.file("updates/am/x.zip")));
  EXPECT_EQ(amctl({"updates", "rescan"}).exitCode, 0);
  EXPECT_EQ(amctl({"updates", "unpack"}).exitCode, 0);
  // Refusals: the manager's text and the exit code of a refusal; wrong use is a usage error.
  r = amctl({"updates", "delete", "../am.ini"});
  EXPECT_EQ(r.exitCode, 8) << r.output;
  EXPECT_NE(r.output.find("Недопустимый путь"), std::string::npos) << r.output;
  EXPECT_TRUE(std::filesystem::exists(dir_.file("am.ini")));
  EXPECT_EQ(amctl({"updates", "frobnicate"}).exitCode, 1);
  EXPECT_EQ(amctl({"updates", "upload", dir_.file("missing.zip"), "am/y.zip"}).exitCode, 1);
}

}  // namespace
