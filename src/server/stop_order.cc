#include "server/stop_order.h"

#include "adt/log.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "server/am_server.h"

namespace server {

void catchStopSignals() { platform::catchServerSignals(); }

bool takeStopOrder(AMServer& server, StopOrder& order) {
  // A hang-up re-reads the settings file, as daemons do; it never ends the manager.
  if (platform::takeHangupSignals() > 0) server.reloadSettings();
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
