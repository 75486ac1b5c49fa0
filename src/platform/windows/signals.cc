// Stop requests on Windows arrive as console-control events (Ctrl-C, Ctrl-Break, closing the
// console, the session ending) and as the C runtime's SIGINT and SIGTERM; they are recorded
// under the POSIX numbers the code above names (SIGINT 2, SIGTERM 15). There is no hang-up.
#include "platform/signals.h"

#include <atomic>
#include <csignal>

#include "platform/windows/win.h"

namespace platform {
namespace {

constexpr int kInterrupt = 2;
constexpr int kTerminate = 15;

std::atomic<int> g_stopSignal{0};

void record(int signal) {
  int none = 0;
  g_stopSignal.compare_exchange_strong(none, signal, std::memory_order_relaxed);
}

void onSignal(int signal) {
  record(signal == SIGINT ? kInterrupt : kTerminate);
  std::signal(signal, onSignal);  // the runtime resets the handler before calling it
}

BOOL WINAPI onConsoleControl(DWORD type) {
  record(type == CTRL_C_EVENT ? kInterrupt : kTerminate);
  return TRUE;
}

}  // namespace

void catchServerSignals() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

int takeStopSignal() { return g_stopSignal.exchange(0, std::memory_order_relaxed); }

int takeHangupSignals() { return 0; }

void raiseSignal(int signal) {
  if (signal == kInterrupt || signal == kTerminate) {
    std::raise(signal == kInterrupt ? SIGINT : SIGTERM);
  } else {
    std::raise(signal);
  }
}

}  // namespace platform
