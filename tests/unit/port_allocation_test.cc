#include "server/port_allocation.h"

#include <gtest/gtest.h>

#include "adt/exception.h"

namespace server {
namespace {

TEST(PortAllocation, CommonRangeHandsOutInOrderAndNeverTheUpperEnd) {
  config::PortRange common{6000, 6002};
  std::vector<PortClaim> claims(3);
  EXPECT_EQ(allocateClientPort(claims, 0, common, true), 6000);
  claims[0].runPort = 6000;
  EXPECT_EQ(allocateClientPort(claims, 1, common, true), 6001);
  claims[1].runPort = 6001;
  try {
    allocateClientPort(claims, 2, common, true);
    FAIL() << "6002 must never be handed out";
  } catch (const adt::Exception& e) {
    EXPECT_STREQ(e.what(),
                 "Невозможно выделить порт для подключения клиентов к агенту. Все доступные "
                 "порты заняты или зарезервированы.");
  }
}

TEST(PortAllocation, FixedPortDisabledAndNoRange) {
  std::vector<PortClaim> claims(2);
  claims[0].fixedPort = 7000;
  EXPECT_EQ(allocateClientPort(claims, 0, {}, false), 7000);  // fixed wins even when disabled
  EXPECT_EQ(allocateClientPort(claims, 1, {6000, 6010}, false), 0);
  EXPECT_EQ(allocateClientPort(claims, 1, {}, true), 0);  // enabled but no range anywhere
}

TEST(PortAllocation, OthersRangesAndFixedPortsAreReservedOnlyForAgentsWithoutOwnRange) {
  config::PortRange common{6000, 6100};
  std::vector<PortClaim> claims(3);
  claims[0].ownRange = {6000, 6004};  // agent 0 owns 6000..6004
  claims[1].fixedPort = 6005;         // agent 1 has a fixed port
  // Agent 2 has no range of its own: skips 6000..6005.
  EXPECT_EQ(allocateClientPort(claims, 2, common, true), 6006);
  // Agent 0 uses its own range; the fixed port of another agent does not concern it, but the
  // link port of any agent does.
  claims[2].linkPort = 6000;
  EXPECT_EQ(allocateClientPort(claims, 0, common, true), 6001);
}

TEST(PortAllocation, RangeWithoutUpperEndRunsToTheTop) {
  std::vector<PortClaim> claims(1);
  claims[0].ownRange = {65533, -1};
  EXPECT_EQ(allocateClientPort(claims, 0, {}, true), 65533);
  claims[0].runPort = 65533;
  EXPECT_EQ(allocateClientPort(claims, 0, {}, true), 65534);
  claims[0].linkPort = 65534;
  EXPECT_THROW(allocateClientPort(claims, 0, {}, true), adt::Exception);
}

}  // namespace
}  // namespace server
