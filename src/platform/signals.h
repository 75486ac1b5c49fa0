// The manager's own signals: a stop request (SIGTERM from the service manager, SIGINT from
// Ctrl-C) and a hang-up, each turned into a flag that the main loop reads once per pass.
// The handlers only record; everything else happens on the main thread.
#pragma once

namespace platform {

// From now on SIGTERM, SIGINT and SIGHUP no longer end the process: each is recorded for the
// takers below. Broken-pipe signals are ignored. Idempotent; call before threads start so that
// every thread inherits the same disposition.
void catchServerSignals();

// The first stop signal (SIGTERM or SIGINT) received and not yet taken, or 0; takes it. Further
// stop signals that arrive before it is taken are counted as one.
int takeStopSignal();

// Number of hang-up signals (SIGHUP) since the last call.
int takeHangupSignals();

// Sends `signal` to this process (tests and the fault path use it).
void raiseSignal(int signal);

}  // namespace platform
