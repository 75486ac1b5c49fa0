#include "adt/checkpoint.h"

#include "adt/thread.h"

namespace adt {

void checkpointCurrentThread() {
  if (Thread* t = Thread::current()) t->checkpoint();
}

}  // namespace adt
