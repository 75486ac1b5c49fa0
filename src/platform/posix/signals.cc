#include "platform/signals.h"

#include <signal.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<int> g_stopSignal{0};
std::atomic<int> g_hangups{0};

// Async-signal-safe: lock-free atomics only.
void onStopSignal(int signal) {
  int none = 0;
  g_stopSignal.compare_exchange_strong(none, signal, std::memory_order_relaxed);
}

void onHangup(int) { g_hangups.fetch_add(1, std::memory_order_relaxed); }

void install(int signal, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  ::sigemptyset(&sa.sa_mask);
  // Restarted system calls: a signal must not turn into a spurious read or accept failure.
  sa.sa_flags = SA_RESTART;
  ::sigaction(signal, &sa, nullptr);
}

}  // namespace

void catchServerSignals() {
  install(SIGTERM, onStopSignal);
  install(SIGINT, onStopSignal);
  install(SIGHUP, onHangup);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

int takeStopSignal() { return g_stopSignal.exchange(0, std::memory_order_relaxed); }

int takeHangupSignals() { return g_hangups.exchange(0, std::memory_order_relaxed); }

void raiseSignal(int signal) { ::raise(signal); }

}  // namespace platform
