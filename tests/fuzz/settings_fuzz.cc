// The settings file: its bytes (Windows-1251) read as the manager reads its file, parsed,
// validated, and each agent section written back and read again.
#include <cstdint>
#include <string_view>

#include "adt/text.h"
#include "config/settings.h"
#include "config/validation.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  config::Settings settings;
  settings.parse(adt::fromCp1251(bytes));
  config::validateSettings(settings, nullptr);
  config::knownKeys();
  for (const config::AgentConf& agent : settings.agents) {
    adt::String section;
    config::writeAgentSection(agent, section);
    config::Settings again;
    again.parse(section);
    if (again.agents.size() != 1) fuzz::broken("a written agent section does not read back");
    if (again.agents[0].id != agent.id || again.agents[0].name != agent.name ||
        again.agents[0].cmd != agent.cmd || again.agents[0].httpPort != agent.httpPort) {
      fuzz::broken("a written agent section reads back other values");
    }
  }
  return 0;
}
