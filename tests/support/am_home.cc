#include "am_home.h"

#include <signal.h>

#include <regex>

#include "adt/text.h"

namespace testsupport {

using namespace std::chrono_literals;

AmHome::AmHome(const std::string& amPath) : clientPort(freePort()), agentPort(freePort()) {
  ready_ = testsupport::run({"/bin/cp", amPath, exe()}).exitCode == 0;
}

AmHome::~AmHome() {
  stop();
  // Whatever happened, no agent outlives the test.
  for (int pid : agentPids()) ::kill(pid, SIGKILL);
}

void AmHome::writeIni(const std::string& sections, const std::string& extraCommon) {
  writeFile(file("am.ini"), adt::toCp1251("[common]\nclient_port=" + std::to_string(clientPort) +
                                          "\nagent_port=" + std::to_string(agentPort) + "\n" +
                                          extraCommon + sections));
}

RunResult AmHome::run(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{exe()};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::run(argv, path());
}

Child& AmHome::launchConsole() {
  am_ = std::make_unique<Child>(std::vector<std::string>{exe(), "--console"}, "", env);
  return *am_;
}

bool AmHome::startConsole(std::chrono::milliseconds limit) {
  return launchConsole().waitForOutput("\n> ", limit);
}

std::vector<int> AmHome::agentPids() {
  std::vector<int> pids;
  if (!am_) return pids;
  const std::string out = am_->output();
  static const std::regex re(R"(\(pid:(\d+)\))");
  for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it) {
    pids.push_back(std::stoi((*it)[1]));
  }
  return pids;
}

bool AmHome::stop() {
  if (!am_) return true;
  if (!am_->exited()) {
    am_->write("q\n");
    am_->waitExit(60s);
  }
  return am_->exited();
}

bool processAlive(int pid) { return ::kill(pid, 0) == 0; }

std::set<std::string> socketsOf(int pid) {
  const std::string listing =
      run({"/bin/sh", "-c", "ls -l /proc/" + std::to_string(pid) + "/fd"}).output;
  std::set<std::string> out;
  static const std::regex re(R"(socket:\[(\d+)\])");
  for (std::sregex_iterator it(listing.begin(), listing.end(), re), end; it != end; ++it) {
    out.insert((*it)[1]);
  }
  return out;
}

}  // namespace testsupport
