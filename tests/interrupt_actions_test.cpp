// More than one action on an interrupt: each runs once, in the order added,
// from a table of fixed size. (The status line's own action is tested with
// the terminal output, the removal of unfinished files with them.)
#include "platform/interrupt.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <cstdlib>

namespace tallymere::platform {
namespace {

void WriteA() { WriteErrOnInterrupt("A", 1); }
void WriteB() { WriteErrOnInterrupt("B", 1); }
void Quiet1() {}
void Quiet2() {}
void Quiet3() {}
void Quiet4() {}

TEST(InterruptActionsDeathTest, EachRunsOnceInTheOrderAddedAndTheTableHasALimit) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        if (!RunOnInterrupt(WriteA) || !RunOnInterrupt(WriteB) || !RunOnInterrupt(WriteA)) {
          std::_Exit(3);
        }
        // The table holds kMostInterruptActions in all: four more cannot fit.
        bool all_added = true;
        for (auto action : {Quiet1, Quiet2, Quiet3, Quiet4}) all_added = RunOnInterrupt(action) && all_added;
        if (all_added) std::_Exit(4);
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "^AB$");
}

}  // namespace
}  // namespace tallymere::platform

#endif  // _WIN32
