#include "temp_log.h"

#include "adt/log.h"

namespace testsupport {

TempLogFiles::TempLogFiles() : base_(dir_.file("am")) {
  adt::setLogBase(base_);
  adt::resetLogStartForTesting();
}

TempLogFiles::~TempLogFiles() { adt::setLogBase(""); }

}  // namespace testsupport
