// Placeholder until adt::Thread lands: no thread can be stopped cooperatively yet.
#include "adt/checkpoint.h"

namespace adt {
void checkpointCurrentThread() {}
}  // namespace adt
