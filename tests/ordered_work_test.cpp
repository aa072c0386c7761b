#include "work/ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tallymere {
namespace {

// Items made at uneven speeds, so that helpers finish out of order.
void Unevenly(size_t i) { std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 300)); }

TEST(OrderedWork, EveryItemIsUsedOnceInOrderAndMadeWithinTheWindow) {
  constexpr size_t kItems = 60;
  for (unsigned threads : {0u, 1u, 2u, 5u}) {
    const size_t ahead = threads + size_t{1};
    std::vector<int> made(kItems, 0);
    std::atomic<size_t> used{0};
    std::atomic<bool> outside_window{false};
    OrderedWork work(kItems, ahead, [&](size_t i) {
      if (i >= used.load() + ahead) outside_window = true;
      Unevenly(i);
      made[i] = static_cast<int>(i) + 1;
    });
    work.Start(threads);
    std::vector<size_t> order;
    work.UseInOrder([&](size_t i) {
      EXPECT_EQ(made[i], static_cast<int>(i) + 1) << "item " << i << " used before it was made";
      order.push_back(i);
      used = i + 1;
    });
    ASSERT_EQ(order.size(), kItems) << threads << " threads";
    for (size_t i = 0; i < kItems; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(outside_window) << threads << " threads";
  }
}

TEST(OrderedWork, AFailureIsThrownAtItsTurnAfterTheItemsBeforeIt) {
  for (unsigned threads : {0u, 3u}) {
    OrderedWork work(20, 4, [](size_t i) {
      Unevenly(i);
      if (i == 7) throw std::runtime_error("seven");
    });
    work.Start(threads);
    size_t used = 0;
    try {
      work.UseInOrder([&](size_t i) {
        EXPECT_EQ(i, used);
        ++used;
      });
      ADD_FAILURE() << "no failure thrown with " << threads << " threads";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "seven");
    }
    EXPECT_EQ(used, 7u) << threads << " threads";
  }  // the helpers stop with items left unmade
}

}  // namespace
}  // namespace tallymere
