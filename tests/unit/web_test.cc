// The web front: request handling and every response form over real loopback connections,
// with the dispatcher driven by the test thread and a fake host; the JSON list and its
// filters; the embedded resources; the bounds on slow, idle and oversized requests.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "loopback_listener.h"
#include "adt/dispatcher.h"
#include "adt/json.h"
#include "adt/log.h"
#include "adt/socket.h"
#include "log_recorder.h"
#include "platform/net.h"
#include "web/agent_list.h"
#include "web/http_am_client.h"
#include "web/resources.h"
#include "web/web_host.h"

namespace web {
namespace {

// The listener template of the server builds connections this way.
static_assert(std::is_constructible_v<HttpAMClient, WebHost&, adt::SocketHandle>);
static_assert(std::string_view(HttpAMClient::kClassName) == "HttpAMClient");

const uint32_t kLoopback = platform::hostToNet32(0x7F000001);

const std::string kHead =
    "HTTP/1.1 200 OK\r\n"
    "X-UA-Compatible: IE=edge,chrome=1\r\n"
    "Cache-Control: no-cache\r\n"
    "Server: AM v5.2.430\r\n"
    "\r\n";
const std::string kJsonHead =
    "HTTP/1.1 200 OK\r\n"
    "X-UA-Compatible: IE=edge,chrome=1\r\n"
    "Cache-Control: no-cache\r\n"
    "Content-Type: application/json;charset=UTF-8\r\n"
    "Server: AM v5.2.430\r\n"
    "\r\n";

std::string resourceText(const char* name) {
  const Resource* r = findResource(name);
  return r ? std::string(r->bytes()) : std::string();
}

class FakeClock final : public platform::Clock {
 public:
  uint64_t nowMs() override { return now.load(); }
  platform::LocalTime localNow() override { return {}; }
  std::atomic<uint64_t> now{1000000};
};

class FakeHost final : public WebHost {
 public:
  platform::Clock& clock() override { return fakeClock; }
  const config::CommonSettings& settings() const override { return common; }
  adt::String homeDirectory() const override { return home; }
  uint32_t programVersion() const override { return adt::makeVersion(5, 2, 430); }
  std::vector<AgentSummary> agents() const override { return list; }

  FakeClock fakeClock;
  config::CommonSettings common;
  adt::String home;
  std::vector<AgentSummary> list;
};

AgentSummary agent(const char* name, uint16_t port, std::vector<adt::String> apps) {
  AgentSummary a;
  a.name = name;
  a.httpPort = port;
  a.application = std::move(apps);
  return a;
}

using TestListener = testsupport::LoopbackListener<HttpAMClient, WebHost>;

// The browser's end of one connection; reads without waiting.
class Peer {
 public:
  explicit Peer(uint16_t port) {
    socket_.create(adt::Socket::STREAM);
    socket_.connect(kLoopback, port);  // completes in the backlog, before any accept
    socket_.setNonBlocking(true);
  }
  void send(const std::string& bytes) { socket_.sendAll(bytes.data(), bytes.size()); }
  // Takes what has arrived; notes the server's close.
  void poll() {
    char buf[65536];
    while (!closed) {
      platform::NetResult r = platform::socketRecv(socket_.handle(), buf, sizeof buf);
      if (!r.ok()) {
        if (r.error != platform::kNetWouldBlock) closed = true;  // reset
        return;
      }
      if (r.value == 0) {
        closed = true;
        return;
      }
      received.append(buf, static_cast<size_t>(r.value));
    }
  }

  std::string received;
  bool closed = false;

 private:
  adt::Socket socket_;
};

// A fresh home directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path = (std::filesystem::temp_directory_path() /
            ("am-web-test-" + std::to_string(rd()) + "-" + std::to_string(rd())))
               .string();
    std::filesystem::create_directories(path + "/icons");
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  void put(const std::string& name, const std::string& content) const {
    std::ofstream(path + "/" + name, std::ios::binary) << content;
  }
  std::string path;
};

class WebTest : public ::testing::Test {
 protected:
  WebTest() {
    host.home = home.path;
    auto* listener = new TestListener(host);
    port = listener->port;
    dispatcher.add(listener);
  }

  // Runs dispatcher steps until `done` holds; false after 20 s or `maxSteps` steps.
  template <typename F>
  bool pumpUntil(F done, int maxSteps = 400) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < maxSteps && std::chrono::steady_clock::now() < end; ++i) {
      if (done()) return true;
      dispatcher.process();
    }
    return done();
  }
  void pumpSteps(int n) {
    for (int i = 0; i < n; ++i) dispatcher.process();
  }
  // Sends the request on a new connection and waits for the server to close it.
  std::string exchange(const std::string& request) {
    Peer peer(port);
    peer.send(request);
    EXPECT_TRUE(pumpUntil([&] {
      peer.poll();
      return peer.closed;
    })) << request;
    return peer.received;
  }
  std::string get(const std::string& path) { return exchange("GET " + path + " HTTP/1.1\r\n\r\n"); }
  size_t connections() {
    size_t n = 0;
    dispatcher.forEach([&](adt::Channel& c) { n += dynamic_cast<HttpAMClient*>(&c) != nullptr; });
    return n;
  }

  TempDir home;
  FakeHost host;
  adt::ChannelDispatcher dispatcher;
  uint16_t port = 0;
};

TEST(WebResources, NamesFollowTheRequestPathRule) {
  EXPECT_EQ(resourceName(""), "_");
  EXPECT_EQ(resourceName("wait.gif"), "_WAIT_GIF");
  EXPECT_EQ(resourceName("icons/orvo"), "_ICONS_ORVO");
  EXPECT_EQ(resourceName("Icons/Orvo.Png"), "_ICONS_ORVO_PNG");
  EXPECT_EQ(resourceName("папка/x"), "_папка_X");  // only ASCII letters change case

  ASSERT_NE(findResource("_"), nullptr);
  ASSERT_NE(findResource("_WAIT_GIF"), nullptr);
  ASSERT_NE(findResource("_ICONS_ORVO"), nullptr);
  EXPECT_EQ(findResource("_wait_gif"), nullptr);
  EXPECT_EQ(findResource("_NOTHING"), nullptr);
  for (const Resource& r : resources()) EXPECT_GT(r.size, 0u) << r.name;
}

TEST(WebResources, ImagesAreWellFormed) {
  // The GIF: signature, an 8x8 logical screen and image, the trailer.
  const std::string gif = resourceText("_WAIT_GIF");
  ASSERT_GE(gif.size(), 30u);
  EXPECT_EQ(gif.substr(0, 6), "GIF89a");
  auto le16 = [&](size_t at) { return uint8_t(gif[at]) | uint8_t(gif[at + 1]) << 8; };
  EXPECT_EQ(le16(6), 8);
  EXPECT_EQ(le16(8), 8);
  EXPECT_EQ(gif.back(), '\x3B');

  // The PNG: signature, every chunk's CRC, a 48x48 RGBA header, image data that inflates to
  // 48 rows of a filter byte and 48 four-byte pixels, and the end chunk last.
  const std::string png = resourceText("_ICONS_ORVO");
  ASSERT_GE(png.size(), 8u);
  ASSERT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  auto be32 = [&](size_t at) {
    return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
           uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
  };
  std::string idat, last;
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const uint32_t length = be32(at);
    ASSERT_LE(at + 12 + length, png.size());
    const std::string kind = png.substr(at + 4, 4);
    const auto* typed = reinterpret_cast<const Bytef*>(png.data() + at + 4);
    EXPECT_EQ(crc32(0, typed, 4 + length), be32(at + 8 + length)) << kind;
    if (kind == "IHDR") {
      EXPECT_EQ(be32(at + 8), 48u);
      EXPECT_EQ(be32(at + 12), 48u);
      EXPECT_EQ(png[at + 16], 8);  // bit depth
      EXPECT_EQ(png[at + 17], 6);  // RGBA
    }
    if (kind == "IDAT") idat += png.substr(at + 8, length);
    last = kind;
    at += 12 + length;
  }
  EXPECT_EQ(at, png.size());
  EXPECT_EQ(last, "IEND");
  std::vector<Bytef> pixels(48 * (1 + 48 * 4) + 1);
  uLongf size = pixels.size();
  ASSERT_EQ(
      uncompress(pixels.data(), &size, reinterpret_cast<const Bytef*>(idat.data()), idat.size()),
      Z_OK);
  EXPECT_EQ(size, 48u * (1 + 48 * 4));

  const std::string page = resourceText("_");
  EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(page.find("<title>ОРВО</title>"), std::string::npos);
}

TEST(WebList, FilterIsTheTextAfterTheSeparator) {
  auto filter = [](const char* rest) {
    const ListFilter f = parseListFilter(rest);
    return f.anyApplication ? std::string("*") : f.application;
  };
  EXPECT_EQ(filter(""), "web");
  EXPECT_EQ(filter("/"), "web");
  EXPECT_EQ(filter("/web"), "web");
  EXPECT_EQ(filter("?web"), "web");
  EXPECT_EQ(filter("Xweb"), "web");
  EXPECT_EQ(filter("/crm"), "crm");
  EXPECT_EQ(filter("/_"), "*");
  EXPECT_EQ(filter("/_anything"), "*");
  EXPECT_EQ(filter("/a_b"), "a_b");
}

TEST(WebList, StringsAreValidJsonWhateverTheyHold) {
  auto json = [](std::string_view text) {
    adt::String out;
    adt::appendJsonString(out, text);
    return out;
  };
  EXPECT_EQ(json(""), "\"\"");
  EXPECT_EQ(json("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  EXPECT_EQ(json("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(json(std::string_view("\0\x01\x1f\x7f", 4)), "\"\\u0000\\u0001\\u001f\x7f\"");
  EXPECT_EQ(json("Агент №1 — «тест»"), "\"Агент №1 — «тест»\"");
  // No raw control character survives, whichever it is.
  for (int c = 0; c < 0x20; ++c) {
    const adt::String out = json(std::string(1, static_cast<char>(c)));
    for (char o : out) EXPECT_GE(static_cast<unsigned char>(o), 0x20) << c;
  }
}

TEST_F(WebTest, FailuresAreOneStatusLineThenClose) {
  home.put("am.ini", "[common]\r\nmail.password=secret\r\n");
  EXPECT_EQ(exchange("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"),
            "HTTP/1.1 405 Method not allowed\r\n");
  EXPECT_EQ(get("/nothing.html"), "HTTP/1.1 404 Not found\r\n");
  EXPECT_EQ(exchange("get / HTTP/1.1\r\n"), "HTTP/1.1 405 Method not allowed\r\n");
  EXPECT_EQ(get("/icons/../../x"), "HTTP/1.1 403 Absolute paths forbidden\r\n");
  EXPECT_EQ(get("/icons/..%2F..%2Fx"), "HTTP/1.1 403 Absolute paths forbidden\r\n");
  // The settings file and the password store beside the icons are not served.
  EXPECT_EQ(get("/icons/../am.ini"), "HTTP/1.1 403 Absolute paths forbidden\r\n");
  EXPECT_EQ(get("/icons/x/../../am.ini"), "HTTP/1.1 403 Absolute paths forbidden\r\n");
  // A folder whose name merely starts like the icons folder is outside it.
  std::filesystem::create_directory(home.path + "/icons2");
  home.put("icons2/x", "x");
  EXPECT_EQ(get("/icons/../icons2/x"), "HTTP/1.1 403 Absolute paths forbidden\r\n");
}

TEST_F(WebTest, EmbeddedFilesComeWithTheSuccessHeaders) {
  // The GIF without any Content-Type; the page at "/"; the default icon when no file exists.
  EXPECT_EQ(get("/wait.gif"), kHead + resourceText("_WAIT_GIF"));
  EXPECT_EQ(get("/"), kHead + resourceText("_"));
  EXPECT_EQ(get("/icons/orvo"), kHead + resourceText("_ICONS_ORVO"));
  EXPECT_EQ(get("/WAIT.GIF"), kHead + resourceText("_WAIT_GIF"));
  // A bare request line without a version, ended by LF alone.
  EXPECT_EQ(exchange("GET /wait.gif\n"), kHead + resourceText("_WAIT_GIF"));
  EXPECT_EQ(exchange("GET /wait.gif\r\n"), kHead + resourceText("_WAIT_GIF"));

  // The request line may come in pieces.
  {
    Peer peer(port);
    for (const char* piece : {"GE", "T /wa", "it.gif HTTP/1.", "1\r", "\nHost: a\r\n\r\n"}) {
      peer.send(piece);
      pumpSteps(2);
      peer.poll();
    }
    ASSERT_TRUE(pumpUntil([&] {
      peer.poll();
      return peer.closed;
    }));
    EXPECT_EQ(peer.received, kHead + resourceText("_WAIT_GIF"));
  }

  // Every connection is gone once answered and closed by its peer.
  EXPECT_TRUE(pumpUntil([&] { return connections() == 0; }));
}

TEST_F(WebTest, IconFilesComeFromTheIconsFolder) {
  const std::string binary("\x89PNG\r\n\0\x01\n\xff", 10);
  home.put("icons/dor.png", binary);
  home.put("icons/orvo", "own default");
  std::filesystem::create_directory(home.path + "/icons/sub");
  home.put("icons/Иконка.png", "cyrillic");

  EXPECT_EQ(get("/icons/dor.png"), kHead + binary);
  EXPECT_EQ(get("/icons/orvo"), kHead + "own default");  // the file wins over the resource
  EXPECT_EQ(get("/icons/./sub/../dor.png"), kHead + binary);
  EXPECT_EQ(get("/icons/%D0%98%D0%BA%D0%BE%D0%BD%D0%BA%D0%B0.png"), kHead + "cyrillic");
  EXPECT_EQ(get("/icons/missing.png"), "HTTP/1.1 404 Not found\r\n");
  EXPECT_EQ(get("/icons/sub"), "HTTP/1.1 404 Not found\r\n");  // a folder is no file
  EXPECT_EQ(get("/icons/"), "HTTP/1.1 404 Not found\r\n");

  // A symbolic link is followed only as far as the icons folder: one that leads to the
  // password store beside it, or anywhere else outside, is refused and logged; one to another
  // icon is served.
  testsupport::LogRecorder log;
  { std::ofstream(home.path + "/am.sec") << "admin=secret"; }
  std::filesystem::create_symlink(home.path + "/am.sec", home.path + "/icons/secret.png");
  std::filesystem::create_symlink("/proc/self/mem", home.path + "/icons/unreadable");
  std::filesystem::create_symlink("dor.png", home.path + "/icons/alias.png");
  EXPECT_EQ(get("/icons/secret.png"), "HTTP/1.1 403 Absolute paths forbidden\r\n");
  EXPECT_EQ(get("/icons/unreadable"), "HTTP/1.1 403 Absolute paths forbidden\r\n");
  EXPECT_TRUE(log.contains("icon outside the icons folder refused: icons/secret.png",
                           adt::LOG_WARN));
  EXPECT_EQ(get("/icons/alias.png"), kHead + binary);
}

class WebListTest : public WebTest {
 protected:
  WebListTest() {
    AgentSummary web1 = agent("Web1", 8001, {"web"});
    web1.description = "Первый";
    web1.icon = "icons/a.png";
    web1.workerProcesses = 2;
    web1.heavyProcesses = 1;
    AgentSummary worker = web1;  // an extra worker record of Web1
    worker.workerId = 2;
    AgentSummary masked = agent("Masked", 8004, {"web"});
    masked.masks.parse("10.*", config::kMaskAllow);
    AgentSummary banned = agent("Banned", 8005, {"web"});
    banned.masks.parse("127.0.0.1", config::kMaskBan);
    AgentSummary allowed = agent("Allowed", 8006, {"crm", "web"});
    allowed.masks.parse("127.0.0.*", config::kMaskAllow);
    host.list = {web1,
                 agent("NoPort", 0, {"web"}),
                 agent("Other", 8003, {"crm", "Web"}),
                 masked,
                 banned,
                 allowed,
                 worker,
                 agent("Склад", 8007, {"веб"})};
  }

  static constexpr const char* kWeb1 =
      "{\"name\":\"Web1\",\"desc\":\"Первый\",\"icon\":\"icons/a.png\",\"worker_processes\":2,"
      "\"heavy_processes\":1,\"port\":8001}";
  static constexpr const char* kOther =
      "{\"name\":\"Other\",\"worker_processes\":1,\"heavy_processes\":0,\"port\":8003}";
  static constexpr const char* kAllowed =
      "{\"name\":\"Allowed\",\"worker_processes\":1,\"heavy_processes\":0,\"port\":8006}";
  static constexpr const char* kStore =
      "{\"name\":\"Склад\",\"worker_processes\":1,\"heavy_processes\":0,\"port\":8007}";

  std::string list(std::initializer_list<const char*> objects) {
    std::string body = "{\"agents\":[";
    for (const char* o : objects) body += std::string(body.back() == '[' ? "" : ",") + o;
    return kJsonHead + body + "]}";
  }
};

TEST_F(WebListTest, DefaultIsTheWebApplication) {
  const std::string expected = list({kWeb1, kAllowed});
  for (const char* path : {"/list", "/list/", "/list/web", "/list?web", "/listXweb"}) {
    EXPECT_EQ(get(path), expected) << path;
  }
}

TEST_F(WebListTest, OtherApplicationsAndEveryAgent) {
  // Application names compare exactly ("Web" is not "web"); a percent-encoded name is decoded.
  EXPECT_EQ(get("/list/crm"), list({kOther, kAllowed}));
  EXPECT_EQ(get("/list/Web"), list({kOther}));
  EXPECT_EQ(get("/list/%D0%B2%D0%B5%D0%B1"), list({kStore}));
  EXPECT_EQ(get("/list/none"), list({}));
  // Every agent with a web port whose address masks admit 127.0.0.1, in configuration order.
  EXPECT_EQ(get("/list/_"), list({kWeb1, kOther, kAllowed, kStore}));
  EXPECT_EQ(get("/list/_x"), list({kWeb1, kOther, kAllowed, kStore}));
}

TEST_F(WebListTest, TextIsEscapedAndWelcomeComesLast) {
  host.common.welcome = "Добро \"пожаловать\" в C:\\AM\n\tстрока\x01";
  AgentSummary odd = agent("Кабинет \"Q\\1\"", 8100, {"web"});
  odd.description = "Строка 1\r\nСтрока 2";
  host.list = {odd};
  EXPECT_EQ(get("/list"),
            kJsonHead +
                "{\"agents\":[{\"name\":\"Кабинет \\\"Q\\\\1\\\"\",\"desc\":\"Строка 1\\r\\nСтрока "
                "2\",\"worker_processes\":1,\"heavy_processes\":0,\"port\":8100}],"
                "\"wlcm\":\"Добро \\\"пожаловать\\\" в C:\\\\AM\\n\\tстрока\\u0001\"}");
  host.list.clear();
  host.common.welcome.clear();
  EXPECT_EQ(get("/list"), kJsonHead + "{\"agents\":[]}");
}

TEST_F(WebTest, RequestLineIsBounded) {
  // Exactly the limit before the LF is still a request.
  std::string line = "GET /";
  line += std::string(HttpAMClient::kMaxRequestLine - line.size() - 10, 'a');
  line += " HTTP/1.1\r";
  ASSERT_EQ(line.size(), HttpAMClient::kMaxRequestLine);
  EXPECT_EQ(exchange(line + "\n"), "HTTP/1.1 404 Not found\r\n");

  // One byte more is refused at once, without waiting for the LF.
  Peer peer(port);
  peer.send("GET /" + std::string(HttpAMClient::kMaxRequestLine - 4, 'a'));
  ASSERT_TRUE(pumpUntil([&] {
    peer.poll();
    return peer.closed;
  }));
  EXPECT_EQ(peer.received, "HTTP/1.1 414 URI Too Long\r\n");
}

TEST_F(WebTest, ConnectionWithoutRequestLineIsDropped) {
  Peer silent(port);
  Peer slow(port);
  ASSERT_TRUE(pumpUntil([&] { return connections() == 2; }));
  slow.send("GET /wait");
  pumpSteps(3);
  host.fakeClock.now += HttpAMClient::kRequestLimitMs - 1;
  pumpSteps(3);
  silent.poll();
  slow.poll();
  EXPECT_FALSE(silent.closed);
  EXPECT_FALSE(slow.closed);
  EXPECT_EQ(connections(), 2u);

  host.fakeClock.now += 1;
  ASSERT_TRUE(pumpUntil([&] {
    silent.poll();
    slow.poll();
    return silent.closed && slow.closed;
  }));
  EXPECT_EQ(silent.received, "");
  EXPECT_EQ(slow.received, "");
  EXPECT_EQ(connections(), 0u);
}

TEST_F(WebTest, AnsweredPeerThatNeverClosesIsDropped) {
  // The answer is taken but the peer keeps its end open: the server waits for it to close,
  // but not for ever.
  Peer peer(port);
  peer.send("GET /wait.gif HTTP/1.1\r\n\r\n");
  const std::string expected = kHead + resourceText("_WAIT_GIF");
  ASSERT_TRUE(pumpUntil([&] {
    peer.poll();
    return peer.received == expected && peer.closed;  // EOF: our sending side is shut down
  }));
  pumpSteps(5);
  EXPECT_EQ(connections(), 1u);
  host.fakeClock.now += HttpAMClient::kIdleLimitMs - 1;
  pumpSteps(3);
  EXPECT_EQ(connections(), 1u);
  host.fakeClock.now += 1;
  EXPECT_TRUE(pumpUntil([&] { return connections() == 0; }));
}

TEST_F(WebTest, SlowAndIdleConnectionsDoNotHoldUpOthers) {
  // More idle connections than one dispatcher step watches, and one that trickles its
  // request line a few bytes at a time.
  std::vector<std::unique_ptr<Peer>> idle;
  for (int i = 0; i < 70; ++i) idle.push_back(std::make_unique<Peer>(port));
  ASSERT_TRUE(pumpUntil([&] { return connections() == 70; }, 1000));
  Peer slow(port);
  ASSERT_TRUE(pumpUntil([&] { return connections() == 71; }));
  slow.send("GET /li");
  pumpSteps(2);

  {
    Peer browser(port);
    browser.send("GET /wait.gif HTTP/1.1\r\n\r\n");
    int steps = 0;
    ASSERT_TRUE(pumpUntil([&] {
      ++steps;
      if (steps % 3 == 0) slow.send("s");
      browser.poll();
      return browser.closed;
    }));
    EXPECT_EQ(browser.received, kHead + resourceText("_WAIT_GIF"));
    EXPECT_LE(steps, 40);
  }
  ASSERT_TRUE(pumpUntil([&] { return connections() == 71; }));

  slow.poll();
  EXPECT_FALSE(slow.closed);
  EXPECT_EQ(slow.received, "");
  EXPECT_EQ(connections(), 71u);

  // They all go once their time is up.
  host.fakeClock.now += HttpAMClient::kRequestLimitMs;
  EXPECT_TRUE(pumpUntil([&] { return connections() == 0; }, 1000));

  // The connections describe themselves by the class name.
  Peer last(port);
  ASSERT_TRUE(pumpUntil([&] { return connections() == 1; }));
  dispatcher.forEach([](adt::Channel& c) {
    if (auto* client = dynamic_cast<HttpAMClient*>(&c)) {
      adt::String text;
      client->describe(text);
      EXPECT_EQ(text, "HttpAMClient");
    }
  });
}

TEST(WebPath, PercentEscapesAreDecoded) {
  EXPECT_EQ(decodePath("/a%20b%2Fc"), "/a b/c");
  EXPECT_EQ(decodePath("/%d0%b2"), "/в");
  EXPECT_EQ(decodePath("/%zz%4"), "/%zz%4");  // malformed: as written
  EXPECT_EQ(decodePath("/x%00y"), "/x%00y");  // never a NUL inside a path
  EXPECT_EQ(decodePath("%"), "%");
}

}  // namespace
}  // namespace web
