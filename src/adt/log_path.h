// Where the log files go: the --log option of the command line, or the log directory beside
// the executable.
#pragma once
#include "adt/text.h"

namespace adt {

// The log base path (a full path without extension) for a command line.
//
// With "--log P" (the first "--log" among argv[1] .. argv[argc-2]; as the very last argument it
// is ignored): backslashes become "/"; a path that does not start with "/" (or is shorter than
// two characters) is taken relative to the executable's directory; the result is made absolute;
// a trailing ".log" is removed, otherwise a three-character extension ("." fourth from the end).
// The directory part is created when missing (a directory that already exists is fine); any
// other failure throws adt::IOException "\"<directory>\": <system error text>".
//
// Without --log: "<exe dir>/log/<exe name without extension>", the log directory being created
// when missing; when it can neither be found nor created, the executable's path without its
// extension. Never throws in this case.
String resolveLogBase(int argc, const char* const* argv, const String& executablePath);

}  // namespace adt
