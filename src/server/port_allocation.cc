#include "server/port_allocation.h"

#include <vector>

#include "adt/exception.h"

namespace server {

uint16_t allocateClientPort(const std::vector<PortClaim>& claims, size_t self,
                            const config::PortRange& common, bool enabled) {
  const PortClaim& me = claims.at(self);
  if (me.fixedPort != 0) return me.fixedPort;
  if (!enabled) return 0;

  int32_t lo = me.ownRange.min;
  int32_t hi = me.ownRange.max;
  if (common.min > 0 && lo < common.min) lo = common.min;
  if (common.max > 0 && hi < common.max) hi = common.max;
  if (lo <= 0) return 0;

  std::vector<bool> reserved(65536, false);
  auto reserve = [&](int64_t p) {
    if (p > 0 && p < 65536) reserved[static_cast<size_t>(p)] = true;
  };
  for (size_t i = 0; i < claims.size(); ++i) {
    const PortClaim& other = claims[i];
    if (me.ownRange.min < 1 && i != self) {
      if (other.ownRange.min > 0 && other.ownRange.min <= other.ownRange.max) {
        for (int64_t p = other.ownRange.min; p <= other.ownRange.max && p < 65536; ++p) reserve(p);
      }
      reserve(other.fixedPort);
    }
    reserve(other.runPort);
    reserve(other.linkPort);
  }

  if (hi <= lo) hi = 65535;
  for (int64_t p = lo; p < hi && p < 65536; ++p) {
    if (!reserved[static_cast<size_t>(p)]) return static_cast<uint16_t>(p);
  }
  throw adt::Exception(
      "Невозможно выделить порт для подключения клиентов к агенту. Все доступные порты заняты или "
      "зарезервированы.");
}

}  // namespace server
