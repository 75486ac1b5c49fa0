// Web connections on the manager's http_port: whatever a browser sends, in pieces of any size,
// answered through the real connection class (the list, icons, embedded resources, refusals).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "adt/buffer.h"
#include "adt/exception.h"
#include "adt/socket.h"
#include "fuzz_support.h"
#include "platform/net.h"
#include "web/http_am_client.h"

namespace {

const uint32_t kLoopback = platform::hostToNet32(0x7F000001);

// Received bytes reach a connection through its protected onData, as the dispatcher delivers
// them; the member pointer is taken here, where naming it is allowed.
struct DataEntry : adt::ClientChannel {
  static auto entry() { return &DataEntry::onData; }
};

class StillClock final : public platform::Clock {
 public:
  uint64_t nowMs() override { return 1000000; }
  platform::LocalTime localNow() override { return platform::fromFractionalDays(46000.5); }
};

class Host final : public web::WebHost {
 public:
  explicit Host(std::string home) : home_(std::move(home)) {
    settings_.welcome = "Добро пожаловать";
    web::AgentSummary a;
    a.id = "dor";
    a.name = "Дорога";
    a.description = "main \"web\" agent";
    a.icon = "icons/dor.png";
    a.application = {"web", "crm"};
    a.httpPort = 8080;
    agents_.push_back(a);
    web::AgentSummary b = a;
    b.id = "b2";
    b.name = "second";
    b.application = {"_all"};
    b.httpPort = 8081;
    b.workerId = 2;
    agents_.push_back(b);
  }
  platform::Clock& clock() override { return clock_; }
  const config::CommonSettings& settings() const override { return settings_; }
  adt::String homeDirectory() const override { return home_; }
  uint32_t programVersion() const override { return 5u << 24 | 2u << 16 | 430u; }
  std::vector<web::AgentSummary> agents() const override { return agents_; }

 private:
  StillClock clock_;
  config::CommonSettings settings_;
  std::string home_;
  std::vector<web::AgentSummary> agents_;
};

// One loopback connection for the whole run: each input's connection gets a duplicate of its
// descriptor, so that the peer address is real and no connection is opened per input.
struct World {
  std::string home;
  Host* host = nullptr;
  adt::Socket listener, peer, accepted;
};
World* world = nullptr;

void removeHome() {
  std::error_code ec;
  if (world) std::filesystem::remove_all(world->home, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  world = new World;
  std::string tmpl = (std::filesystem::temp_directory_path() / "am-fuzz-web-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) fuzz::broken("no temporary directory");
  world->home = tmpl;
  std::atexit(removeHome);
  std::filesystem::create_directories(world->home + "/icons/sub");
  std::ofstream(world->home + "/icons/dor.png", std::ios::binary) << "\x89PNG icon";
  std::ofstream(world->home + "/am.ini", std::ios::binary) << "[common]\nsecret=1\n";
  std::filesystem::create_symlink(world->home + "/am.ini", world->home + "/icons/link.png");
  world->host = new Host(world->home);
  world->listener.create(adt::Socket::STREAM);
  world->listener.bind(kLoopback, 0);
  world->listener.listen(4);
  world->peer.create(adt::Socket::STREAM);
  world->peer.connect(kLoopback, world->listener.localPort());
  world->accepted.attach(world->listener.accept());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int handle = ::dup(world->accepted.handle());
  if (handle < 0) fuzz::broken("dup failed");
  web::HttpAMClient client(*world->host, handle);
  adt::ClientChannel& channel = client;
  const auto onData = DataEntry::entry();
  bool sawLf = false;
  size_t sent = 0;
  while (input.remaining_bytes() > 0 && client.state() == adt::ChannelState::Open) {
    const size_t piece = input.ConsumeIntegralInRange<size_t>(1, 4096);
    const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(piece);
    for (uint8_t b : bytes) sawLf = sawLf || b == '\n';
    sent += bytes.size();
    (channel.*onData)(new adt::CopyBuffer(bytes.data(), bytes.size()));
  }
  // A complete or an over-long request line is always answered.
  if ((sawLf || sent > web::HttpAMClient::kMaxRequestLine) && client.queuedBytes() == 0) {
    fuzz::broken("a request line went unanswered");
  }
  return 0;
}
