#include "server/service_main.h"

#include <memory>

#include "adt/exception.h"
#include "adt/log.h"
#include "platform/clock.h"
#include "platform/service_manager.h"
#include "server/am_server.h"
#include "server/console_io.h"
#include "server/stop_order.h"

namespace server {
namespace {

void notify(const adt::String& assignments) {
  // Without a listener (--daemon by hand) the notifications have nobody to go to.
  if (!platform::serviceNotifySocket().empty()) platform::serviceNotify(assignments);
}

// Pings at half the interval the service manager waits, so one late pass is not fatal.
class Watchdog {
 public:
  explicit Watchdog(platform::Clock& clock)
      : clock_(clock), intervalMs_(platform::serviceWatchdogUsec() / 2000) {}
  void poll() {
    if (intervalMs_ == 0) return;
    const uint64_t now = clock_.nowMs();
    if (now - last_ < intervalMs_) return;
    last_ = now;
    notify("WATCHDOG=1");
  }

 private:
  platform::Clock& clock_;
  const uint64_t intervalMs_;
  uint64_t last_ = 0;
};

}  // namespace

bool startedByServiceManager() { return !platform::serviceNotifySocket().empty(); }

int runServiceMain(const std::string& settingsPath) {
  catchStopSignals();
  notify("STATUS=запуск");
  std::unique_ptr<AMServer> server;
  try {
    server = std::make_unique<AMServer>(settingsPath);
  } catch (const std::exception& e) {
    notify(adt::String("STATUS=ошибка запуска: ") + e.what());
    throw;
  }
  notify("READY=1\nSTATUS=работает");
  Watchdog watchdog(platform::systemClock());
  StopOrder order;
  for (;;) {
    server->serverProcess();
    watchdog.poll();
    if (takeStopOrder(*server, order)) break;
  }
  notify("STOPPING=1\nSTATUS=остановка: " + order.reason);
  server->serverStop(order.reason, order.leave, order.timeoutMs);
  server.reset();
  notify("STATUS=остановлена");
  return 0;
}

int runServiceMode(bool daemon, const std::string& settingsPath) {
  if (!daemon && !startedByServiceManager()) {
    throw adt::Exception(
        "Служба: процесс запущен не менеджером служб (нет NOTIFY_SOCKET). Запуск на переднем "
        "плане: am --daemon или am --console; регистрация службы: am reg");
  }
  adt::log(adt::LOG_INFO, "Запуск в режиме службы");
  ConsoleCounters& counters = consoleCounters();
  ++counters.quietConsole;
  try {
    runServiceMain(settingsPath);
  } catch (...) {
    --counters.quietConsole;
    throw;
  }
  --counters.quietConsole;
  return 0;
}

}  // namespace server
