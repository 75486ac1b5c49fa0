#include "clients/request.h"

namespace clients {

bool Request::onMessage(adt::NioTag&) { return false; }

bool Request::poll() { return false; }

bool Request::holdsConnection(uint64_t) { return false; }

}  // namespace clients
