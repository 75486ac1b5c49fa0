// Shared by the fuzz targets: a silent log and the errors a parser is allowed to end with.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "adt/log.h"

namespace fuzz {

// Parsers log what they refuse; a fuzz run would drown in it.
inline void quietLog() {
  adt::setLogSink([](int, const char*) {});
}

// A property the parser promises did not hold: report it as a crash, with the input saved by
// libFuzzer.
[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "fuzz property broken: %s\n", what);
  std::abort();
}

}  // namespace fuzz
