#pragma once
#include "adt/text.h"

namespace adt {

// Objects that can describe their current state in one short text, for diagnostic lines and
// state dumps (the console's "s" command, inactivity reports).
class StateInfo {
 public:
  virtual void describe(String& out) const = 0;

 protected:
  ~StateInfo() = default;
};

}  // namespace adt
