// The process entry: logging first, then the command line decides the one mode this run has.
#include <cstdio>

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/log.h"
#include "adt/log_path.h"
#include "adt/thread.h"
#include "adt/socket.h"
#include "agents/amp.h"
#include "config/settings.h"
#include "platform/net.h"
#include "config/validation.h"
#include "platform/fault.h"
#include "platform/self.h"
#include "server/arguments.h"
#include "server/check_mail.h"
#include "server/console.h"
#include "server/console_io.h"
#include "server/help.h"
#include "server/service_control.h"
#include "server/heap_report.h"
#include "server/service_main.h"

namespace server {
namespace {

// A fault on a worker thread is reported as that thread's end; anywhere else it is the
// process's: either way the process then ends with exit code 1.
void onFault(const platform::FaultInfo& fault) {
  if (adt::Thread::reportFault(fault.name, fault.stack)) return;
  adt::String text = "System exception[" + std::to_string(fault.code) + "]:\n" + fault.name;
  for (const adt::String& frame : platform::symbolize(fault.stack)) text += "\n\tat " + frame;
  adt::log(adt::LOG_ERR, text);
}

// --hdinfo FILE: what the heap dump of "hd" says; --hdsplit FILE: the same, and one file per
// arena beside it.
int heapDump(const Arguments& args, bool split) {
  const char* file = args.at(1);
  if (!file) throw adt::Exception("не указан файл дампа памяти (am --hdinfo <файл>)");
  adt::File in(file, adt::kFileRead | adt::kShareReadWrite | adt::kOpenExisting);
  if (in.size() > kMaxHeapReportBytes) {
    throw adt::Exception("\"" + std::string(file) + "\": дамп памяти больше " +
                         std::to_string(kMaxHeapReportBytes >> 20) + " МБ");
  }
  std::string xml(static_cast<size_t>(in.size()), '\0');
  size_t got = 0;
  while (got < xml.size()) {
    const size_t n = in.read(xml.data() + got, xml.size() - got);
    if (n == 0) break;
    got += n;
  }
  xml.resize(got);
  const HeapReport report = parseHeapReport(xml);
  std::string out = heapReportSummary(report);
  if (split) {
    for (const std::string& path : splitHeapReport(file, report)) out += "записан " + path + "\n";
  }
  consoleWrite(out);
  return 0;
}

int checkConf(const std::string& path) {
  adt::log(adt::LOG_INFO, "Проверка конфигурации...");
  config::Settings settings;
  settings.load(path);
  const adt::String errors = config::validateSettings(settings, nullptr);
  adt::log(adt::LOG_INFO, errors.empty() ? adt::String("...ошибок не обнаружено") : "..." + errors);
  return 0;
}

// Asks the manager running from this home to stop: one sigstop datagram to its agent port on
// the loopback, then up to 20 s for the answer. The port comes from the settings file, so a
// manager on another agent_port than 5002 can be stopped too.
int sigstop(const std::string& settingsFile) {
  config::Settings settings;
  try {
    settings.load(settingsFile);
  } catch (const std::exception&) {
    // Unreadable settings: the default port.
  }
  adt::Socket socket;
  socket.create(1);
  socket.bind(platform::hostToNet32(0x7F000001), 0);
  const adt::Bytes datagram = agents::amp::encodeRequest(agents::amp::kSigstop, 0, adt::Bytes(4, 0));
  adt::SocketAddress to;
  to.address = platform::hostToNet32(0x7F000001);
  to.port = settings.common.agentPort;
  socket.sendTo(datagram.data(), datagram.size(), to);
  if (socket.waitReadable(20000)) {
    uint8_t answer[agents::amp::kMaxDatagram];
    adt::SocketAddress from;
    socket.recvFrom(answer, sizeof answer, &from);
  }
  return 0;
}

int mainUnsafe(const Arguments& args) {
  if (args.has("--debug")) adt::setDebugEnabled(true);
  const std::string settings = settingsPath(platform::executablePath());
  switch (selectMode(args)) {
    case Mode::kService:
      return runServiceMode(args.has("--daemon"), settings);
    case Mode::kShowVersion:
      std::fputs(versionLine().c_str(), stdout);
      std::fflush(stdout);
      return 0;
    case Mode::kConsole:
      return runConsole(settings);
    case Mode::kRegister:
    case Mode::kUnregister:
    case Mode::kSafeUnregister:
    case Mode::kStart:
    case Mode::kStop:
    case Mode::kRestart:
      return runServiceCommand(selectMode(args));
    case Mode::kCheckConf:
      return checkConf(settings);
    case Mode::kCheckMail:
      return checkMail(settings);
    case Mode::kHelpTopic:
      consoleWrite(std::string(args.at(1)) == "sched" ? scheduleHelpText()
                                                      : helpTopicText(args.at(1)));
      return 0;
    case Mode::kHeapDump:
      return heapDump(args, args.has("--hdsplit"));
    case Mode::kHelp:
      consoleWrite(fullHelpText(args.program));
      return 0;
  }
  return 0;
}

}  // namespace
}  // namespace server

int main(int argc, char** argv) {
  using namespace server;
  adt::setLogSink(&consoleLogSink);
  try {
    adt::setLogBase(adt::resolveLogBase(argc, argv, platform::executablePath()));
  } catch (const std::exception& e) {
    consoleWrite(e.what());
    return 1;
  }
  platform::installFaultHandlers(&onFault);

  const Arguments args(argc - 1, argv + 1, argv[0]);
  if (args.has("#sigstop")) {
    try {
      return sigstop(settingsPath(platform::executablePath()));
    } catch (const std::exception& e) {
      consoleWrite(e.what());
      return 1;
    }
  }

  int code = 0;
  ConsoleCounters& counters = consoleCounters();
  try {
    adt::String line = "аргументы командной строки:";
    for (int i = 0; i < args.count; ++i) line += std::string(" ") + args.at(i);
    adt::log(adt::LOG_INFO, line);
    ++counters.inMain;
    try {
      code = mainUnsafe(args);
    } catch (...) {
      --counters.inMain;
      throw;
    }
    --counters.inMain;
  } catch (const adt::Exception& e) {
    adt::log(adt::LOG_ERR, e.detailedText());
    code = 1;
  } catch (const std::exception& e) {
    adt::log(adt::LOG_ERR, e.what());
    code = 1;
  }
  adt::log(adt::LOG_INFO, "Завершение работы программы");
  return code;
}
