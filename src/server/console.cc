#include "server/console.h"

#include <cstdio>
#include <iostream>

#include "adt/exception.h"
#include "adt/log.h"
#include "server/am_server.h"
#include "server/console_io.h"
#include "server/stop_order.h"

namespace server {

bool CmdQueue::offer(adt::String line) {
  adt::DangerLock guard(lock_, "offer cmd");
  if (lines_.size() >= kMaxLines) return false;
  lines_.push_back(std::move(line));
  return true;
}

bool CmdQueue::poll(adt::String& line) {
  adt::DangerLock guard(lock_, "poll cmd");
  if (lines_.empty()) return false;
  line = std::move(lines_.front());
  lines_.pop_front();
  return true;
}

bool readConsoleLine(std::istream& in, std::string& line, size_t maxLength) {
  line.clear();
  bool any = false;
  // Characters past the limit are read and dropped: a stream without line ends costs nothing.
  for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
    any = true;
    if (c == '\n') break;
    if (line.size() < maxLength) line.push_back(static_cast<char>(c));
  }
  if (!any) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void AsyncStdIn::run() {
  std::string line;
  while (readConsoleLine(std::cin, line, kMaxLineLength)) {
    const bool quit = line == quit_;
    // The main loop takes one line per pass; piped input waits for it rather than piling up.
    while (!queue_.offer(line)) adt::Thread::sleep(kFullQueueWaitMs);
    if (quit) return;
  }
}

const char* consoleCommandList() {
  return "Команды:\n\tq - выход\n\ta - список агентов\n\ts - статистика\n\thd- дамп памяти\n\t? - "
         "справка\n";
}

int runConsole(const std::string& settingsPath) {
  catchStopSignals();
  auto server = std::make_unique<AMServer>(settingsPath);
  consoleWrite(consoleCommandList());
  consoleWrite("\n> ");

  // The reader lives until "q" or the end of input and is never joined; it is kept reachable
  // for the life of the process.
  static CmdQueue queue;
  static AsyncStdIn* reader = new AsyncStdIn(queue);
  reader->start();

  for (;;) {
    server->serverProcess();
    StopOrder order;
    if (takeStopOrder(*server, order)) {
      server->serverStop(order.reason, order.leave, order.timeoutMs);
      server.reset();
      return 0;
    }
    adt::String command;
    if (!queue.poll(command)) continue;
    if (command == "q") {
      server->serverStop("завершение работы консоли", false, 16777215);
      server.reset();
      return 0;
    }
    try {
      adt::String out;
      server->consoleCommand(command, out);
      consoleWrite(out);
    } catch (const adt::Exception& e) {
      consoleWrite(e.text());
      adt::log(adt::LOG_ERR, e.detailedText());
    } catch (const std::exception& e) {
      consoleWrite(e.what());
      adt::log(adt::LOG_ERR, e.what());
    }
    consoleWrite("\n> ");
  }
}

}  // namespace server
