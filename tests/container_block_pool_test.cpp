#include "buffers/block_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "buffers/byte_reader.h"
#include "platform/platform.h"

namespace tallymere {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

// Sizes of tens of megabytes, which nothing else in the tests unpacks, so
// the pool's blocks of these classes are the test's own.
TEST(BlockPool, AFreedBlockServesItsClassAndSmallerRequestsWithinTwice) {
  void* first = block_pool::Allocate(40 * kMiB + 1);
  std::memset(first, 0xA5, 40 * kMiB + 1);
  block_pool::Release(first);

  void* again = block_pool::Allocate(40 * kMiB + 100);
  EXPECT_EQ(again, first) << "the same class";
  block_pool::Release(again);

  void* smaller = block_pool::Allocate(24 * kMiB);
  EXPECT_EQ(smaller, first) << "a kept block less than twice the size serves";
  void* other = block_pool::Allocate(24 * kMiB);
  EXPECT_NE(other, first);
  std::memset(other, 0x5A, 24 * kMiB);
  block_pool::Release(other);
  block_pool::Release(smaller);

  void* much_smaller = block_pool::Allocate(12 * kMiB);
  EXPECT_NE(much_smaller, first) << "a block over twice the size is not handed out";
  block_pool::Release(much_smaller);
}

// A block is written by the thread that takes it: one this thread freed
// has its lines in this processor's caches, one another thread freed last
// has them in that one's.
TEST(BlockPool, AThreadGetsBackABlockItFreedBeforeOneAnotherThreadFreedLater) {
  const size_t bytes = 56 * kMiB;
  void* mine = block_pool::Allocate(bytes);
  void* theirs = nullptr;
  std::thread([&] { theirs = block_pool::Allocate(bytes); }).join();
  block_pool::Release(mine);
  std::thread([&] { block_pool::Release(theirs); }).join();

  void* again = block_pool::Allocate(bytes);
  EXPECT_EQ(again, mine);
  void* next = block_pool::Allocate(bytes);
  EXPECT_EQ(next, theirs) << "the other one still serves";
  block_pool::Release(next);
  block_pool::Release(again);
}

TEST(BlockPool, KeptBytesNeverExceedTwiceTheMostInUseAtOnce) {
  std::mt19937 random(8);
  std::vector<std::pair<void*, size_t>> in_use;
  for (int round = 0; round < 200; ++round) {
    // A few files' worth of blocks of sizes that differ every round.
    for (int i = 0, blocks = 1 + static_cast<int>(random() % 4); i < blocks; ++i) {
      const size_t bytes = block_pool::kSmallest + random() % (6 * kMiB);
      void* block = block_pool::Allocate(bytes);
      static_cast<uint8_t*>(block)[bytes - 1] = 1;  // the whole size is usable
      in_use.emplace_back(block, bytes);
    }
    while (in_use.size() > 6) {
      const size_t pick = random() % in_use.size();
      block_pool::Release(in_use[pick].first);
      in_use.erase(in_use.begin() + static_cast<std::ptrdiff_t>(pick));
      const block_pool::Stats stats = block_pool::Current();
      ASSERT_LE(stats.kept_bytes, 2 * stats.most_used_bytes) << "round " << round;
    }
  }
  for (const auto& entry : in_use) block_pool::Release(entry.first);
  const block_pool::Stats stats = block_pool::Current();
  EXPECT_LE(stats.kept_bytes, 2 * stats.most_used_bytes);
  EXPECT_GT(stats.kept_blocks, 0u);
}

// Count tables grow from a few hundred bytes by powers of two and three
// quarters of them; their freed blocks serve the next tables of the same
// size.
TEST(BlockPool, MiddleSizedBlocksAreReusedWithinTheirSize) {
  if (!block_pool::kEnabled) GTEST_SKIP() << "the heap serves every block under the address sanitizer";
  const auto reused = [](size_t first, size_t second) {
    void* block = block_pool::AllocateCached(first);
    std::memset(block, 0x3C, first);
    block_pool::ReleaseCached(block, first);
    void* again = block_pool::AllocateCached(second);
    std::memset(again, 0xC3, second);
    block_pool::ReleaseCached(again, second);
    return again == block;
  };
  for (size_t bytes = block_pool::kSmallestCached; bytes < block_pool::kSmallest; bytes *= 2) {
    // (bytes, 1.5 bytes] from 768 bytes on, then up to 2 bytes.
    const size_t three_quarters = bytes >= 512 ? bytes / 2 * 3 : bytes;
    if (three_quarters != bytes) {
      EXPECT_TRUE(reused(bytes + 1, three_quarters)) << bytes;
    }
    EXPECT_TRUE(reused(three_quarters + 1, 2 * bytes)) << bytes;
  }
}

// Blocks carved from slabs, split from freed larger ones and taken again
// never overlap: each keeps the bytes written into it until it is freed.
TEST(BlockPool, MiddleSizedBlocksNeverOverlap) {
  if (!block_pool::kEnabled) GTEST_SKIP() << "the heap serves every block under the address sanitizer";
  struct Held {
    unsigned char* data;
    size_t bytes;
    unsigned char mark;
  };
  std::vector<Held> held;
  std::mt19937 engine(11);
  const auto check = [&held] {
    for (const Held& block : held) {
      for (size_t i = 0; i < block.bytes; i += 97) ASSERT_EQ(block.data[i], block.mark);
      ASSERT_EQ(block.data[block.bytes - 1], block.mark);
    }
  };
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 400; ++i) {
      const size_t bytes =
          block_pool::kSmallestCached + engine() % (block_pool::kSmallest - block_pool::kSmallestCached);
      auto* data = static_cast<unsigned char*>(block_pool::AllocateCached(bytes));
      ASSERT_EQ(reinterpret_cast<uintptr_t>(data) % 16, 0u);
      const auto mark = static_cast<unsigned char>(engine());
      std::memset(data, mark, bytes);
      held.push_back({data, bytes, mark});
    }
    check();
    // Free large blocks mostly, so the next round splits them.
    std::shuffle(held.begin(), held.end(), engine);
    std::stable_partition(held.begin(), held.end(), [](const Held& block) { return block.bytes < 16384; });
    for (size_t i = held.size() / 2; i < held.size(); ++i) block_pool::ReleaseCached(held[i].data, held[i].bytes);
    held.resize(held.size() / 2);
  }
  check();
  for (const Held& block : held) block_pool::ReleaseCached(block.data, block.bytes);
}

// The slab bytes mapped while `work` runs.
template <class Work>
size_t SlabBytesAdded(Work&& work) {
  const size_t before = block_pool::Current().slab_bytes;
  work();
  return block_pool::Current().slab_bytes - before;
}

// Blocks that lists outgrow merge back into large ones: small blocks of
// every size, freed in any order, serve as many bytes of the largest size.
TEST(BlockPool, FreedMiddleSizedBlocksMergeIntoLargerOnes) {
  if (!block_pool::kEnabled) GTEST_SKIP() << "the heap serves every block under the address sanitizer";
  constexpr size_t kBytes = 32 * kMiB;
  constexpr size_t kLargest = block_pool::kSmallest - 1;
  std::mt19937 engine(5);
  std::vector<std::pair<void*, size_t>> small;
  for (size_t total = 0; total < kBytes;) {
    const size_t bytes = block_pool::kSmallestCached + engine() % 3000;
    small.emplace_back(block_pool::AllocateCached(bytes), bytes);
    std::memset(small.back().first, 0x77, bytes);
    total += bytes;
  }
  std::shuffle(small.begin(), small.end(), engine);
  for (const auto& [block, bytes] : small) block_pool::ReleaseCached(block, bytes);
  std::vector<void*> large;
  const size_t added = SlabBytesAdded([&] {
    while (large.size() * kLargest < kBytes) large.push_back(block_pool::AllocateCached(kLargest));
  });
  EXPECT_LE(added, 4 * kMiB) << "at most a slab, for blocks that were in use before the test";
  for (void* block : large) block_pool::ReleaseCached(block, kLargest);
}

// Count maps grow tens of thousands of lists side by side, each through
// every size, a new block taken before the old one is given back. The
// slabs hold little more than what is in use at once.
TEST(BlockPool, ListsGrowingSideBySideHoldLittleMoreThanTheyUse) {
  if (!block_pool::kEnabled) GTEST_SKIP() << "the heap serves every block under the address sanitizer";
  constexpr size_t kLists = 400;
  std::vector<std::pair<void*, size_t>> lists(kLists, {nullptr, 0});
  size_t in_use = 0;
  size_t most_in_use = 0;
  const size_t added = SlabBytesAdded([&] {
    for (size_t bytes = block_pool::kSmallestCached; bytes < block_pool::kSmallest; bytes += bytes / 4) {
      for (auto& [block, held] : lists) {
        void* grown = block_pool::AllocateCached(bytes);
        if (block != nullptr) std::memcpy(grown, block, held);
        std::memset(static_cast<char*>(grown) + held, 0x42, bytes - held);
        if (block != nullptr) block_pool::ReleaseCached(block, held);
        in_use += bytes - held;
        most_in_use = std::max(most_in_use, in_use);
        block = grown;
        held = bytes;
      }
    }
  });
  EXPECT_LE(added, most_in_use * 3 / 2 + 4 * kMiB) << "most in use " << most_in_use;
  for (const auto& [block, held] : lists) block_pool::ReleaseCached(block, held);
}

TEST(BlockPool, UnpackedBuffersGrowAndShrinkThroughThePool) {
  ByteBuffer buffer;
  for (const size_t size : {size_t{100}, 3 * kMiB, size_t{70000}, 9 * kMiB, size_t{0}}) {
    buffer.resize(size);
    if (size != 0) {
      buffer.front() = 1;
      buffer.back() = 2;
    }
    buffer.shrink_to_fit();
    EXPECT_EQ(buffer.size(), size);
  }
}

}  // namespace
}  // namespace tallymere
