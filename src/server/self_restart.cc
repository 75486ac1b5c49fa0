#include "server/self_restart.h"

#include "adt/log.h"
#include "platform/error.h"
#include "platform/process.h"
#include "server/service_main.h"

namespace server {

std::vector<std::string> selfRestartCommand(const std::string& module, const std::string& logBase) {
  return {module, "--log", logBase, "restart"};
}

bool launchSelfRestart(const std::string& module, const std::string& home, adt::String& why) {
  if (!startedByServiceManager()) {
    why = "менеджер запущен не как служба: перезапустите его вручную";
    return false;
  }
  platform::SpawnOptions options;
  options.args = selfRestartCommand(module, adt::logBase());
  options.directory = home;
  platform::Process process;
  if (!process.spawn(options)) {
    why = "не удалось запустить \"" + platform::joinCommandLine(options.args) +
          "\": " + platform::systemErrorText(platform::lastError());
    return false;
  }
  adt::log(adt::LOG_INFO, "перезапуск AM: " + platform::joinCommandLine(options.args) + " (pid " +
                              std::to_string(process.pid()) + ")");
  // It outlives this manager, which it stops.
  process.release();
  return true;
}

}  // namespace server
