#include <cstdlib>
#include <string>
#include <vector>

#include "amctl.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return amctl::run(args, std::getenv("AM_PASSWORD"));
}
