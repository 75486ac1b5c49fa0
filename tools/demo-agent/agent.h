// The demo agent itself: one poll loop over the AMP link, the termination signal, the HTTP
// sockets taken over from the manager and the desktop client port, plus the timers of the
// start report, the telemetry and the optional crash. Single-threaded; owned by main().
#pragma once
#include <cstdint>
#include <vector>

#include "adt/text.h"
#include "agents/amp.h"
#include "http.h"
#include "link.h"
#include "options.h"
#include "output.h"
#include "platform/clock.h"

namespace demo {

class DemoAgent {
 public:
  // The start report is repeated this often until the manager answers anything...
  static constexpr uint64_t kReportRepeatMs = 2000;
  // ...but at most this many times (the manager gives a start 300 s).
  static constexpr uint32_t kMaxReports = 150;
  // Exit code after --demo-crash-after.
  static constexpr int kCrashExitCode = 3;

  // `inherited`: the descriptors open at start, the only ones a socket hand-over may name.
  // Binds the link and the client port; throws adt::SocketException.
  DemoAgent(const Options& options, Output& output, uint16_t managerPort,
            std::vector<int> inherited, platform::Clock& clock);
  DemoAgent(const DemoAgent&) = delete;
  DemoAgent& operator=(const DemoAgent&) = delete;

  // Serves until a stop request, SIGTERM or the crash time; returns the exit code.
  int run();

 private:
  static constexpr uint64_t kNever = UINT64_MAX;

  void onTimers(uint64_t now);
  // --demo-output-bytes: numbered lines to standard output, then "bulk output done".
  void writeBulkOutput(uint64_t bytes);
  int pollTimeout(uint64_t now) const;
  void onSignal();
  void handleDatagram(const agents::amp::Datagram& d);
  void onStop(uint32_t code);
  void takeOverSocket(const agents::amp::Datagram& d);
  void killClient(const agents::amp::Datagram& d);
  void sendStartReport(uint64_t now);
  void sendTelemetry(uint64_t now);
  // One answer datagram; a failed send is logged.
  void answer(uint32_t code, uint32_t arg, const adt::Bytes& payload = {});
  void send(uint32_t code, uint32_t arg, const adt::Bytes& payload, uint32_t value1);
  void end(int exitCode, const adt::String& why);

  const Options& options_;
  Output& out_;
  platform::Clock& clock_;
  std::vector<int> inherited_;
  ManagerLink link_;
  HttpService http_;
  ClientService clients_;
  uint32_t pid_;
  uint32_t thread_;
  adt::Bytes dictionary_;
  uint64_t startMs_;

  uint64_t crashAtMs_ = kNever;
  uint64_t exitAtMs_ = kNever;
  uint64_t reportAtMs_ = kNever;
  uint64_t telemetryAtMs_ = kNever;
  uint32_t reportsSent_ = 0;
  bool heardFromManager_ = false;
  uint32_t telemetrySent_ = 0;
  uint32_t requestsAnswered_ = 0;

  bool ended_ = false;
  int exitCode_ = 0;
};

}  // namespace demo
