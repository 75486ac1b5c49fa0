// Where amctl finds the manager and what it can be asked: the client port from the
// environment or a settings file, and the commands it knows (checked before connecting).
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace amctl {

// The client_port of the [common] section of an am.ini (Windows-1251; only ASCII is read);
// none when the file cannot be read or does not set it (the manager's default applies).
std::optional<uint16_t> clientPortOf(const std::string& iniPath);

// The port to use when --port is not given: AM_CLIENT_PORT, else the client_port of
// `settings` (--settings), else that of the am.ini beside the first `am` on PATH (links
// followed), else that of /opt/am/am.ini (the package's), else 5001.
// Fails with a usage error for an AM_CLIENT_PORT that is not a port or a --settings file that
// cannot be read.
uint16_t defaultPort(const std::string& settings);

// True for a command amctl knows.
bool knownCommand(const std::string& command);

// The help lines of one command (its lines from the full help), empty when it has none.
std::string commandHelp(const std::string& fullHelp, const std::string& command);

// Plain words for a failure to reach the manager at host:port.
std::string connectionFailure(const std::string& host, uint16_t port, const std::exception& e);

}  // namespace amctl
