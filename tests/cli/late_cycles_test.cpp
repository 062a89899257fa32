#include "cli/late_cycles.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

TEST(LateCycleLog, CountsMissedTicksWhereTheyWereNoticed) {
    LateCycleLog log;
    // On time, with the cycle of the tick just passed still running: nothing is late.
    log.observe(0.0105, 4);
    log.observe(0.0119, 5);
    EXPECT_EQ(log.late(), 0);
    EXPECT_EQ(log.text(), "late cycles: none");

    // A stall of 10 ms at 20 ms: five ticks found no cycle; later ones run on time again.
    log.observe(0.0301, 9);
    EXPECT_EQ(log.late(), 5);
    log.observe(0.0501, 19);
    EXPECT_EQ(log.late(), 5);
    // Two more missed in the third second; the final reading counts the tick just due.
    log.observe(2.5001, 1242);
    log.finish(2.6, 1291);
    EXPECT_EQ(log.late(), 9);
    EXPECT_EQ(log.text(),
              "late cycles by second of play: 0: 5, 2: 4 (first before cycle 10, last before "
              "cycle 1292)");
}

} // namespace
} // namespace kv
