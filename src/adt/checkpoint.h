#pragma once

namespace adt {

// Calls the checkpoint of the calling thread when it is an adt::Thread (a stop request ends the
// thread there by throwing adt::ThreadDeath); does nothing on other threads.
void checkpointCurrentThread();

}  // namespace adt
