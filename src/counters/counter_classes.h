// The named counters of the -m modes. Each full class states its grouping;
// each Fast class derives from its full class and counts from the columns.
#pragma once

#include "counters/group_counter.h"

namespace tallymere {

// The groupings of modes 0..12, in mode order.
extern const CounterFamily kCounterFamilies[13];

// Each Fast class counts from the columns (its tallies read them) and
// otherwise is its full class.
#define TALLYMERE_FAST_CLASS(Name)       \
  class Name##Fast final : public Name { \
   public:                               \
    Name##Fast() { MakeFast(); }         \
  };

#define TALLYMERE_COUNTER_CLASS(Name, mode)          \
  class Name : public GroupCounter {                 \
   public:                                           \
    Name() : GroupCounter(kCounterFamilies[mode]) {} \
  };                                                 \
  TALLYMERE_FAST_CLASS(Name)

TALLYMERE_COUNTER_CLASS(LogEventIDCount, 0)
TALLYMERE_COUNTER_CLASS(DayLogEventIDCount, 1)
TALLYMERE_COUNTER_CLASS(HourLogEventIDCount, 2)
TALLYMERE_COUNTER_CLASS(DayComputerCount, 3)
TALLYMERE_COUNTER_CLASS(HourComputerCount, 4)
TALLYMERE_COUNTER_CLASS(DayComputerLogCount, 5)
TALLYMERE_COUNTER_CLASS(HourComputerLogCount, 6)
TALLYMERE_COUNTER_CLASS(DayComputerLogEventIDCount, 7)
TALLYMERE_COUNTER_CLASS(HourComputerLogEventIDCount, 8)
TALLYMERE_COUNTER_CLASS(DayComputerCategoryCount, 9)
TALLYMERE_COUNTER_CLASS(HourComputerCategoryCount, 10)
TALLYMERE_COUNTER_CLASS(DayComputerCategoryEventTypeCount, 11)
TALLYMERE_COUNTER_CLASS(HourComputerCategoryEventTypeCount, 12)

#undef TALLYMERE_FAST_CLASS
#undef TALLYMERE_COUNTER_CLASS

}  // namespace tallymere
