// demo-agent: a small agent program that keeps the manager's agent contract on POSIX. See
// --help for what it does and for the options that make it misbehave in tests.
#include <cstdio>
#include <exception>
#include <vector>

#include "agent.h"
#include "options.h"
#include "output.h"
#include "platform/agent_env.h"
#include "platform/clock.h"

int main(int argc, char** argv) {
  // Before anything of our own is opened: what the parent let us inherit.
  std::vector<int> inherited = platform::openDescriptors();

  std::vector<adt::String> args(argv + 1, argv + argc);
  demo::Options options;
  adt::String error;
  if (!demo::parseOptions(args, options, error)) {
    std::fprintf(stderr, "demo-agent: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(demo::helpText().c_str(), stdout);
    return 0;
  }

  demo::Output out;
  if (!options.pipeName.empty() && !out.openPipe(options.pipeName, error)) out.line(error);
  if (options.printFds) {
    adt::String line = "fds:";
    for (int fd : inherited) line += adt::format(" %d", fd);
    out.line(line);
  }
  if (!options.ignored.empty()) {
    adt::String line = "ignored:";
    for (const adt::String& word : options.ignored) line += " " + word;
    out.line(line);
  }
  if (!platform::catchTerminationSignals()) {
    out.line("cannot catch termination signals");
    return 1;
  }
  adt::String warning;
  const uint16_t managerPort = demo::managerPortFromEnvironment(warning);
  if (!warning.empty()) out.line(warning);

  try {
    demo::DemoAgent agent(options, out, managerPort, std::move(inherited), platform::systemClock());
    return agent.run();
  } catch (const std::exception& e) {
    out.line(adt::String("demo agent failed: ") + e.what());
    return 1;
  }
}
