// What the administrative requests need of the manager itself: its settings files, its own
// statistics, its lock, its log directories, its console and a message to every agent. The
// server implements it; everything here runs on the main thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "adt/text.h"

namespace clients {

// One of the manager's 5-second samples of the machine.
struct ManagerSample {
  double time = 0;  // local time, fractional days
  int32_t memoryPercent = 0;
  uint64_t usedBytes = 0;
  uint64_t totalBytes = 0;
};

class AdminHost {
 public:
  // The named settings file ("ini", "conf", "db.conf"): its bytes as stored (a template when it
  // does not exist), its content stamp (0 when missing) and, for "ini", the catalogue of known
  // keys. Throws adt::Exception for another name.
  virtual void getSettings(const adt::String& name, std::string* text, uint32_t& stamp,
                           std::vector<adt::String>* catalogue) = 0;
  // Replaces the named file with `text` if `stamp` is still its current stamp; the manager's own
  // settings are validated and applied without a restart. `stamp` receives the new stamp.
  // Throws adt::Exception with the text for the client; nothing changes then.
  virtual void serverReconfigure(const adt::String& name, const std::string& text,
                                 uint32_t& stamp) = 0;

  // The manager's samples with from < time <= to, oldest first.
  virtual std::vector<ManagerSample> managerSamples(double from, double to) const = 0;

  // Locks (on) or unlocks the manager for one client address (network order). Throws
  // adt::Exception "Сервер заблокирован с другого IP" when another address holds the lock.
  virtual void lockManager(bool on, uint32_t address) = 0;
  // The address holding the lock, or 0.
  virtual uint32_t managerLockedBy() const = 0;

  // Sends `message` (agent-link message 7) to every agent process linked to the manager.
  virtual void messageAllAgents(const adt::Bytes& message) = 0;

  // Runs one console command other than "q" and appends its output; throws adt::Exception for
  // an unknown one.
  virtual void consoleCommand(const adt::String& command, adt::String& out) = 0;

  // The manager's log directory (absolute, no trailing "/") and the name its log files start
  // with ("am" for am.log, am.err).
  virtual std::string logDirectory() const = 0;
  virtual adt::String logPrefix() const = 0;
  // The directories of the log files that configured agents reported (absolute, no trailing
  // "/"), for the agents running now.
  virtual std::vector<std::string> agentLogDirectories() const = 0;

 protected:
  ~AdminHost() = default;
};

}  // namespace clients
