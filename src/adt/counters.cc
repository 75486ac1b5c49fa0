#include "adt/counters.h"

namespace adt {

ManagerCounters& managerCounters() {
  static ManagerCounters counters;
  return counters;
}

}  // namespace adt
