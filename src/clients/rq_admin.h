// The administration console's requests about the manager itself: its settings files (39, 40),
// its statistics (95), its log listing (99), its lock (67), a message to every agent (38), a
// console command (100) and an agent's stored telemetry (124).
#pragma once
#include <cstdint>
#include <string>

#include "adt/nio_tagged_reader.h"
#include "clients/request.h"

namespace agents {
class Agent;
}

namespace clients {

class AdminHost;
class Client;

// The manager's administration; throws adt::Exception when this manager has none.
AdminHost& adminOf(Client& client);

// 39: element 1 names the file (default "ini"); element 9 replies 1 = the file's bytes as
// stored, 2 = its content stamp, 4 = the catalogue of known keys (one element 1 each).
class RqGetSettings final : public Request {
 public:
  RqGetSettings(Client& client, adt::NioTag& element);
  bool onMessage(adt::NioTag& element) override;
  void describe(adt::String& out) const override;

 private:
  adt::String name_ = "ini";
};

// 40: the command value is the new text (bytes as they are to be stored); element 1 names the
// file (default "ini"), element 2 the content stamp the text was based on; element 9 applies it
// and replies 2 = the new stamp.
class RqSetSettings final : public Request {
 public:
  RqSetSettings(Client& client, adt::NioTag& element);
  bool onMessage(adt::NioTag& element) override;
  void describe(adt::String& out) const override;

 private:
  std::string text_;
  adt::String name_ = "ini";
  uint32_t stamp_ = 0;
  bool haveStamp_ = false;
};

// 95: element 202 (nested 1 = from, 2 = to, doubles) replies, for every sample of the manager
// with from < time <= to: 1 = time, 22 = memory in use in percent, 20 = bytes in use, 21 =
// bytes in all.
class RqAMStatistics final : public Request {
 public:
  RqAMStatistics(Client& client, adt::NioTag& element);
  bool onMessage(adt::NioTag& element) override;
  void describe(adt::String& out) const override;
};

// 124 (no login): the value names the agent (nested 51, 54, 121); the reply is every stored
// telemetry sample of it, oldest first, one group per sample: 1 = time (double), then the
// sample's 32-bit values in 2, 3, 6, 8-12, 14, 16-18, 20 and its 64-bit values in 4, 5, 7, 13,
// 15, 19, 21 (see writeTelemetrySample). Sent in parts while the client takes them, like a log.
class RqAgentTelemetry final : public Request {
 public:
  static constexpr size_t kPerPart = 256;
  static constexpr size_t kMaxQueued = 1u << 20;

  RqAgentTelemetry(Client& client, adt::NioTag& element);
  bool poll() override;
  bool holdsConnection(uint64_t nowMs) override;
  void describe(adt::String& out) const override;

 private:
  const agents::Agent* agent_ = nullptr;
  size_t next_ = 0;  // index into the agent's raw history
  double lastTime_ = -1;
};

// Handlers (the connection closes after each).
void logFiles(Client& client, adt::NioTag& element);       // 99
void managerLock(Client& client, adt::NioTag& element);    // 67
void agentsMessage(Client& client, adt::NioTag& element);  // 38
void consoleCommand(Client& client, adt::NioTag& element); // 100

}  // namespace clients
