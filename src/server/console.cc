#include "server/console.h"

#include <cstdio>
#include <iostream>

#include "adt/exception.h"
#include "adt/log.h"
#include "platform/process.h"
#include "server/am_server.h"
#include "server/console_io.h"

namespace server {

void CmdQueue::offer(adt::String line) {
  adt::DangerLock guard(lock_, "offer cmd");
  lines_.push_back(std::move(line));
}

bool CmdQueue::poll(adt::String& line) {
  adt::DangerLock guard(lock_, "poll cmd");
  if (lines_.empty()) return false;
  line = std::move(lines_.front());
  lines_.pop_front();
  return true;
}

void AsyncStdIn::run() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 255) line.resize(255);
    const bool quit = line == quit_;
    queue_.offer(line);
    if (quit) return;
  }
}

const char* consoleCommandList() {
  return "Команды:\n\tq - выход\n\ta - список агентов\n\ts - статистика\n\thd- дамп памяти\n\t? - "
         "справка\n";
}

int runConsole(const std::string& settingsPath) {
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
    if (server->sigstopRequested()) {
      server->serverStop("sigstop", platform::leaveMarkerExists(server->installationKey()), 15000);
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
