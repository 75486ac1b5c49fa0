// What binary-protocol client sessions and their requests need of the server. The server
// implements it; tests implement it with a fake. Everything here is called on the main thread.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "adt/text.h"
#include "agents/agent.h"
#include "clients/command_table.h"
#include "config/settings.h"
#include "notify/smtp_callback.h"
#include "platform/clock.h"
#include "platform/negotiate.h"

namespace updates {
class UpdateStore;
}  // namespace updates

namespace clients {

class AdminHost;
class LoginThrottle;
class PasswordStore;

class ClientHost {
 public:
  // The monotonic clock that times inactivity. Must outlive every client.
  // The manager's home directory (request 73 serves files below it).
  virtual adt::String homeDirectory() const = 0;
  virtual platform::Clock& clock() = 0;

  // The common settings in force (address masks, ports); they change on reconfiguration.
  virtual const config::CommonSettings& settings() const = 0;

  // The configured users (the [user] sections), in file order.
  virtual const std::vector<config::UserConf>& configuredUsers() const = 0;

  // The name that logs in as administrator because no configured user has read-write
  // permission, or none while one has it.
  virtual std::optional<adt::String> defaultAdmin() const = 0;

  // The users' password store; read by logins, changed and saved by password changes.
  virtual PasswordStore& passwordStore() = 0;

  // Failed logins per address: the waits that brake password guessing. Lives as long as the
  // server, across connections.
  virtual LoginThrottle& loginThrottle() = 0;

  // The version reported to clients at login: major << 24 | minor << 16 | build (revision 0).
  virtual uint32_t programVersion() const = 0;

  // The integrated-authentication package, or null where there is none (the Windows account
  // request then fails with an error reply).
  virtual platform::NegotiateProvider* negotiate() = 0;

  // Records the start of an operation ("clientConnect", "clientExecuteRq", "clientError") in
  // the hang watch's operation trace. `name` is a constant text.
  virtual void recordOperation(const char* name) = 0;

  // The agent records (primaries and their extra workers) in list order. Requests look agents
  // up here and start, stop and lock them; they never add or remove records.
  virtual agents::AgentList& agents() = 0;

  // The update store that the update requests work on, or null where there is none (they then
  // fail with an error reply).
  virtual updates::UpdateStore* updateStore() = 0;

  // The machine's processor load (busy processors) over the last 1, 5 and 15 minutes, -1 for a
  // window without samples; false when nothing is known.
  virtual bool processorLoad(double load[3]) {
    load[0] = load[1] = load[2] = -1;
    return false;
  }

  // Mails `subject` and `text` (signed) to the administrators; the outcome reaches `callback`
  // later, on the main thread. Throws adt::Exception when the mail settings cannot make a
  // delivery.
  virtual void sendMail(const adt::String& subject, const adt::String& text,
                        notify::SmtpCallBack* callback) = 0;
  // The manager's own administration (settings, statistics, lock, logs), or null where there is
  // none (the administrative requests then fail with an error reply).
  virtual AdminHost* administration() { return nullptr; }
  // The command table clients dispatch by. Tests substitute their own.
  virtual const CommandTable& commands() const { return standardCommands(); }
  // Restarts the manager after an update of its own files, keeping the agents running. False
  // with the reason when this manager cannot be restarted.
  virtual bool restartManager(adt::String& why) {
    why = "перезапуск менеджера не поддерживается";
    return false;
  }

 protected:
  ~ClientHost() = default;
};

}  // namespace clients
