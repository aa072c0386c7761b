// The report of a grouping: every key level ranked within its kind, rows
// packed into 64-bit keys and radix-sorted, then formatted into text blocks,
// a few batches ahead on worker threads, and written in order.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "buffers/block_pool.h"
#include "counters/count_keys.h"
#include "counters/count_table.h"
#include "counters/counter_family.h"
#include "counters/packed_rows.h"
#include "counters/report_format.h"
#include "counters/report_summary.h"

namespace tallymere {

// Report text built line by line: each line is written into room reserved
// for the longest line possible, so its pieces are copied without a size
// check each. The text is held in chunks rather than one growing array, so
// no byte of it is ever copied before it is written out; the chunks come
// from the block pool, which serves the next batch's with the same blocks.
class TextBlock {
 public:
  char* Reserve(size_t room) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().size < room) AddChunk(room);
    return chunks_.back().data.get() + chunks_.back().size;
  }
  void Commit(const char* end) { chunks_.back().size = static_cast<size_t>(end - chunks_.back().data.get()); }
  template <class Write>
  void ForEachChunk(Write&& write) const {
    for (const Chunk& chunk : chunks_) write(std::string_view(chunk.data.get(), chunk.size));
  }
  void Release() { chunks_.clear(); }

 private:
  static constexpr size_t kChunkSize = size_t{1} << 20;
  void AddChunk(size_t room);
  struct ChunkDeleter {
    size_t capacity = 0;
    void operator()(char* data) const { PooledAllocator<char>().deallocate(data, capacity); }
  };
  struct Chunk {
    std::unique_ptr<char[], ChunkDeleter> data;
    size_t size = 0;
    size_t capacity = 0;
  };
  std::vector<Chunk> chunks_;
};

class GroupReport {
 public:
  // The counts of all the tables together (a key path may be counted in
  // several). `threads` may sort and format batches beside the writing one;
  // the tables' partitions are released as they are read.
  // Rows are packed into 64-bit keys when their ranks fit, and otherwise
  // sorted level by level.
  GroupReport(const CounterFamily& family, const KeyPools& pools, std::vector<CountTable*> tables, unsigned threads)
      : family_(family), pools_(pools), tables_(std::move(tables)), threads_(threads) {}

  // The form of the report (the plain one unless set). An HTML report
  // writes nothing: its counts are gathered into `summary`, for the page.
  void SetFormat(ReportFormat format, ReportSummary* summary = nullptr) {
    format_ = format;
    summary_ = summary;
  }

  // Writes every line to the report's stream; returns the sum of the
  // counts written.
  uint64_t Write();

  // How the report orders and prints one key level: each id's rank in the
  // report's order, and the text of each rank. A period level has neither:
  // its value is its order, and it is printed as a date.
  struct LevelDictionary {
    std::vector<uint32_t> rank;
    std::vector<std::string> texts;
  };
  using Dictionaries = std::array<LevelDictionary, kMaxKeyLevels>;
  // Every level after the first is a rank below its kind's count, so one
  // packing of them serves every first level; none when they need more than
  // 64 bits.
  static std::optional<KeyPacking> PackingFor(const CounterFamily& family, const Dictionaries& dictionaries);

 private:
  Dictionaries RankLevels() const;
  LevelDictionary RankKind(KeyKind kind) const;
  template <size_t W>
  using PartitionPointer = CountPartition<W>*;
  // A partition of a table of any width, and how its slots are stored.
  struct PartitionRef {
    OfEveryWidth<PartitionPointer> partition;
    const RestLayout* layout = nullptr;

    uint32_t lead() const {
      return std::visit([](const auto* p) { return p->lead; }, partition);
    }
    size_t slots() const {
      return std::visit([](const auto* p) { return p->slots.size(); }, partition);
    }
    // Frees the partition's slots once read.
    void Release() const {
      std::visit([](auto* p) { std::remove_reference_t<decltype(p->slots)>().swap(p->slots); }, partition);
    }
    // Calls visit(rest, count) for every slot in use, with every level.
    template <class Visit>
    void ForEachRow(Visit&& visit) const {
      std::visit(
          [&](const auto* p) {
            for (const auto& slot : p->slots) {
              if (!slot.empty()) visit(layout->Widen(slot.rest, p->group), slot.count);
            }
          },
          partition);
    }
  };
  // Appends the slots of a partition with their levels mapped to ranks:
  // packed, or as they are when the ranks do not fit a packing.
  void PackRows(const PartitionRef& partition, const Dictionaries& dictionaries, const KeyPacking& packing,
                PackedRows& rows) const;
  void CollectRows(const PartitionRef& partition, const Dictionaries& dictionaries, SlotList& rows) const;
  // Report lines of the first levels order[first, last): sorted, equal key
  // paths summed, each partition released once read. Safe to run for
  // disjoint ranges at once.
  struct Batch {
    size_t first = 0;
    size_t last = 0;
    TextBlock text;
    uint64_t total = 0;
    std::vector<std::pair<KeyPath, uint64_t>> rows;  // an HTML report's, for its summary
  };
  using Order = std::vector<std::pair<uint32_t, uint32_t>>;  // (first level in report order, index in partitions_)
  void FormatBatch(const Order& order, const Dictionaries& dictionaries, const std::optional<KeyPacking>& packing,
                   Batch& batch);
  std::vector<Batch> PlanBatches(const Order& order) const;
  void WriteCsvHeader() const;

  const CounterFamily& family_;
  const KeyPools& pools_;
  std::vector<CountTable*> tables_;
  std::vector<PartitionRef> partitions_;  // of every table
  unsigned threads_;
  ReportFormat format_ = ReportFormat::kText;
  ReportSummary* summary_ = nullptr;
};

}  // namespace tallymere
