// Middle-sized blocks, 256 bytes to 64 KiB, carved from slabs of 4 MiB.
//
// Most of them hold the count map, which grows through the whole run in
// tens of thousands of small lists. From the heap, its pages were faulted
// in one by one: 72,000 faults in the hour/computer/log/event ID grouping,
// a tenth of the run's processor time inside a virtual machine, and 10,000
// from slabs, which are backed by large pages where the system has them
// (commit b0c62be). The sizes are powers of two and, from 768 bytes, three
// quarters of them: a list that grows by doubling holds on average a
// quarter of its bytes unused, and one that steps through both kinds far
// less (that grouping over 300 files: 348 to 315 MB, commit d42bad4). A
// freed block merges with its free buddy, so the blocks that lists outgrow
// serve the lists that grow on: a one-thread mode 12 run over 300 files
// mapped 180 MB of slabs instead of 295 MB for 147 MB in use at most, and
// peaked at 204 MB instead of 317 MB (commit d074895).
#pragma once

#include <cstddef>

namespace tallymere::block_pool {

// The smallest block from the slabs, and the size that every block from
// them is smaller than.
inline constexpr size_t kSmallestCached = size_t{256};
inline constexpr size_t kCachedBelow = size_t{64} << 10;

// A block of at least `bytes` (kSmallestCached <= bytes < kCachedBelow).
void* AllocateCached(size_t bytes);
// Gives back a block that AllocateCached returned for the same `bytes`.
void ReleaseCached(void* block, size_t bytes) noexcept;

// The bytes of the slabs mapped, and the most bytes of blocks in use at once.
struct SlabStats {
  size_t slab_bytes = 0;
  size_t most_used_bytes = 0;
};
SlabStats CurrentSlabs();

}  // namespace tallymere::block_pool
