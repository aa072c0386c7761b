// The counting family: every grouping mode is one GroupCounter configured by
// its key levels; the named classes only state their family. Full variants
// count the decoded tables of a part, Fast variants the parse-time columns;
// both build the same counts.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "counters/count_keys.h"
#include "counters/count_table.h"
#include "counters/packed_rows.h"
#include "counters/rep_counters.h"

namespace tallymere {


// Report text built line by line: each line is written into room reserved
// for the longest line possible, so its pieces are copied without a size
// check each. The text is held in chunks rather than one growing array, so
// no byte of it is ever copied before it is written out.
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
  struct Chunk {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    size_t capacity = 0;
  };
  std::vector<Chunk> chunks_;
};

// What the failure path names after its heading.
enum class FailureLabel : uint8_t { kEventId, kComputer, kLog, kCategory, kNone };

struct CounterFamily {
  std::array<KeyKind, kMaxKeyLevels> levels;
  uint8_t level_count;
  uint32_t type_code;
  uint32_t fast_type_code;
  std::string_view heading;
  std::string_view fast_heading;
  FailureLabel label;
  FailureLabel fast_label;

  bool Has(KeyKind kind) const;
  bool HasPeriod() const { return Has(KeyKind::kDay) || Has(KeyKind::kHour); }
  // The category table supplies the category, the event type and the event ID.
  bool ReadsCategories() const {
    return Has(KeyKind::kCategory) || Has(KeyKind::kEventType) || Has(KeyKind::kEventId);
  }
};

class GroupCounter : public RepCounters {
 public:
  int CountPart(RepPart& part, const FooterPropInfo& prop_info, const RepPartCount& count) override;
  void Report() override;

 protected:
  explicit GroupCounter(const CounterFamily& family);
  // Turns this counter into its Fast variant (type code, fast flag, failure texts).
  void MakeFast();
  int CountPartFast(RepPart& part, const FooterPropInfo& prop_info, const RepPartCount& count);

 private:
  template <class Source>
  void CountEvents(Source& source, const FooterPropInfo& prop_info, uint32_t count);
  struct MemoEntry;
  void CountEvent(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key);
  uint32_t PeriodOf(uint32_t time) const;
  void CountInCell(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key);
  struct RowCell;
  void FlushCell(uint32_t cat_row, uint32_t comp_row, RowCell& cell, KeyPath& key);
  void FlushCells(KeyPath& key);
  // Whether the part's rows that tell key paths apart are few enough to
  // count in cells; if so, sets out an empty cell for each pair of them.
  bool UsesCells(uint32_t records);
  void CountNewKeyPath(uint32_t cat_row, uint32_t comp_row, uint32_t time, uint32_t period, KeyPath& key,
                       MemoEntry& memo);
  template <class Source>
  void PrepareRows(Source& source, bool needs_categories);
  void BuildKeyPath(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key);
  [[noreturn]] void FailWhileCounting(const std::exception& error);
  // How the report orders and prints one key level: each id's rank in the
  // report's order, and the text of each rank. A period level has neither:
  // its value is its order, and it is printed as a date.
  struct LevelDictionary {
    std::vector<uint32_t> rank;
    std::vector<std::string> texts;
  };
  using Dictionaries = std::array<LevelDictionary, kMaxKeyLevels>;
  Dictionaries RankLevels() const;
  LevelDictionary RankKind(KeyKind kind) const;
  // Every level after the first is a rank below its kind's count, so one
  // packing of them serves every first level; none when they need more than
  // 64 bits.
  std::optional<KeyPacking> PackingFor(const Dictionaries& dictionaries) const;
  // Appends the slots of a partition with their levels mapped to ranks:
  // packed, or as they are when the ranks do not fit a packing.
  void PackRows(const CountTable::Partition& partition, const Dictionaries& dictionaries, const KeyPacking& packing,
                std::vector<PackedRow>& rows) const;
  void CollectRows(const CountTable::Partition& partition, const Dictionaries& dictionaries,
                   std::vector<CountSlot>& rows) const;
  // Report lines of the first levels order[first, last): sorted, equal key
  // paths summed, each partition released once read. Safe to run for
  // disjoint ranges at once.
  struct ReportBatch {
    size_t first = 0;
    size_t last = 0;
    TextBlock text;
    uint64_t total = 0;
  };
  void FormatBatch(const std::vector<std::pair<uint32_t, uint32_t>>& order, const Dictionaries& dictionaries,
                   const std::optional<KeyPacking>& packing, ReportBatch& batch);
  std::vector<ReportBatch> PlanBatches(const std::vector<std::pair<uint32_t, uint32_t>>& order) const;

  const CounterFamily& family_;
  std::string_view heading_;
  FailureLabel label_;
  bool needs_computer_table_ = false;
  CountTable counts_;
  StringPool logs_;
  StringPool computers_;
  StringPool categories_;
  ValuePool event_ids_;
  ValuePool event_types_;
  // The keys of each category and computer row of the part being counted.
  struct CategoryRowKeys {
    uint32_t event_id = 0;  // after the mask
    uint32_t event_id_key = 0;
    uint32_t event_type_key = 0;
    uint32_t category = 0;  // interned name, "N/A" for an empty one
  };
  struct ComputerRowKeys {
    uint32_t time_base = 0;
    uint32_t computer = 0;  // interned upper-cased name
  };
  std::vector<CategoryRowKeys> category_rows_;
  std::vector<ComputerRowKeys> computer_rows_;
  // Recently counted (rows, period) and their slot. Entries of an older
  // generation are void: the generation moves on for every part (rows mean
  // other things in each) and whenever a count table grows (slots move).
  struct MemoEntry {
    uint32_t cat_row = 0;
    uint32_t comp_row = 0;
    uint32_t period = 0;
    uint32_t generation = 0;
    CountSlot* slot = nullptr;
  };
  static constexpr int kMemoBits = 10;  // 24 KiB: stays in the first-level cache
  // When the part's rows that tell key paths apart make few pairs, each
  // (category row, computer row) has a cell that counts the events of its
  // current period, and goes to the table when the period moves on (events
  // come in time order) or the part ends: no hashing, and the count stays in
  // the first-level cache.
  struct RowCell {
    uint32_t period = 0;
    uint32_t count = 0;
  };
  static constexpr size_t kMostCells = 4096;  // 32 KiB
  std::vector<RowCell> cells_;
  uint32_t cell_columns_ = 1;  // cells per category row
  void ForgetMemo();
  std::vector<MemoEntry> memo_ = std::vector<MemoEntry>(size_t{1} << kMemoBits);
  uint32_t generation_ = 1;
  uint32_t period_seconds_ = 0;  // 86400 or 3600 for the period key, 0 without one
  uint32_t memo_category_mask_;  // 0 where the key path does not depend on the row
  uint32_t memo_computer_mask_;
  uint32_t log_id_ = 0;
  uint32_t event_id_mask_ = 0xFFFF;
  // The keys derived last, for the failure path.
  uint32_t last_event_id_ = 0;
  uint32_t last_computer_ = UINT32_MAX;
  uint32_t last_category_ = UINT32_MAX;
};

}  // namespace tallymere
