#include "server/stop_order.h"

#include "adt/log.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "server/am_server.h"

namespace server {

void catchStopSignals() { platform::catchServerSignals(); }

bool takeStopOrder(AMServer& server, StopOrder& order) {
  if (platform::takeHangupSignals() > 0) {
    // Settings are re-read by their own request; a hang-up must not end a detached manager.
    adt::log(adt::LOG_WARN,
             "получен сигнал SIGHUP: пропущен (настройки перечитываются по запросу)");
  }
  if (const int signal = platform::takeStopSignal()) {
    const adt::String name = platform::signalName(signal);
    adt::log(adt::LOG_INFO, "получен сигнал " + name + ": остановка AM");
    order = {"сигнал " + name, platform::leaveMarkerExists(server.installationKey()),
             kSignalStopTimeoutMs};
    return true;
  }
  if (server.sigstopRequested()) {
    order = {"sigstop", platform::leaveMarkerExists(server.installationKey()), 15000};
    return true;
  }
  return false;
}

}  // namespace server
