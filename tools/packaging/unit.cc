// Writes the systemd unit the package installs: the one "am reg" would write for the manager
// installed at EXECUTABLE. Usage: am-unit EXECUTABLE OUTPUT
#include <fstream>
#include <iostream>

#include "platform/service_manager.h"
#include "server/service_control.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: am-unit EXECUTABLE OUTPUT\n";
    return 1;
  }
  std::ofstream out(argv[2], std::ios::trunc);
  out << platform::systemdUnitText(server::serviceDefinition(argv[1]));
  return out.flush() ? 0 : 1;
}
