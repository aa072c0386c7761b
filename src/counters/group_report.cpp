#include "counters/group_report.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>

#include "counters/packed_rows.h"
#include "counters/summary_builder.h"
#include "platform/output.h"
#include "platform/terminal_text.h"
#include "work/ordered_work.h"

namespace tallymere {

namespace {

// The ranks of ids 0..count-1 in the order `before` gives, and `text` of
// each id by rank.
template <class Before, class Text>
void RankIds(size_t count, Before before, Text text, std::vector<uint32_t>& rank, std::vector<std::string>& texts) {
  std::vector<uint32_t> by_rank(count);
  std::iota(by_rank.begin(), by_rank.end(), 0u);
  std::sort(by_rank.begin(), by_rank.end(), before);
  rank.assign(count, 0);
  texts.clear();
  for (uint32_t r = 0; r < count; ++r) {
    rank[by_rank[r]] = r;
    texts.push_back(text(by_rank[r]));
  }
}

}  // namespace

// Strings sort by UTF-16 code units, event IDs as signed numbers. A string
// is made the text of its lines here, once: escaped for a terminal, so the
// lines themselves cost the same wherever they go.
GroupReport::LevelDictionary GroupReport::RankKind(KeyKind kind) const {
  LevelDictionary dictionary;
  // The page escapes every name for itself.
  const bool escaped = ReportIsTerminal() && format_ != ReportFormat::kHtml;
  const auto rank_strings = [&](const StringPool& pool) {
    RankIds(
        pool.size(), [&](uint32_t a, uint32_t b) { return pool.Text(a) < pool.Text(b); },
        [&](uint32_t id) { return escaped ? Escaped(pool.Text(id)) : ToUtf8(pool.Text(id)); }, dictionary.rank,
        dictionary.texts);
  };
  const auto rank_values = [&](const ValuePool& pool, auto as_number) {
    RankIds(
        pool.size(), [&](uint32_t a, uint32_t b) { return as_number(pool.Value(a)) < as_number(pool.Value(b)); },
        [&](uint32_t id) { return std::to_string(as_number(pool.Value(id))); }, dictionary.rank, dictionary.texts);
  };
  switch (kind) {
    case KeyKind::kDay:
    case KeyKind::kHour: break;
    case KeyKind::kLog: rank_strings(pools_.logs); break;
    case KeyKind::kComputer: rank_strings(pools_.computers); break;
    case KeyKind::kCategory: rank_strings(pools_.categories); break;
    case KeyKind::kEventType: rank_values(pools_.event_types, [](uint32_t v) { return v; }); break;
    case KeyKind::kEventId: rank_values(pools_.event_ids, [](uint32_t v) { return static_cast<int32_t>(v); }); break;
  }
  return dictionary;
}

GroupReport::Dictionaries GroupReport::RankLevels() const {
  Dictionaries dictionaries;
  for (size_t level = 0; level < family_.level_count; ++level) dictionaries[level] = RankKind(family_.levels[level]);
  return dictionaries;
}

namespace {

// A level's value in the report's order: its rank, or the value itself
// for a period.
uint32_t OrderValue(const std::vector<uint32_t>& rank, uint32_t value) { return rank.empty() ? value : rank[value]; }

}  // namespace

void GroupReport::CollectRows(const PartitionRef& partition, const Dictionaries& dictionaries, SlotList& rows) const {
  partition.ForEachRow([&](const KeyRest& rest, uint32_t count) {
    CountSlot& row = rows.emplace_back(CountSlot{rest, count});
    for (size_t level = 1; level < family_.level_count; ++level) {
      row.rest[level - 1] = OrderValue(dictionaries[level].rank, row.rest[level - 1]);
    }
  });
}

void GroupReport::PackRows(const PartitionRef& partition, const Dictionaries& dictionaries, const KeyPacking& packing,
                           PackedRows& rows) const {
  static const std::vector<uint32_t> kAbsent{0};  // a level the grouping lacks holds 0
  std::array<const uint32_t*, std::tuple_size_v<KeyRest>> rank;
  for (size_t level = 1; level < kMaxKeyLevels; ++level) {
    rank[level - 1] = level < family_.level_count ? dictionaries[level].rank.data() : kAbsent.data();
  }
  partition.ForEachRow([&](const KeyRest& rest, uint32_t count) {
    const KeyRest ranks{rank[0][rest[0]], rank[1][rest[1]], rank[2][rest[2]]};
    rows.push_back({packing.Pack(ranks), count});
  });
}

std::optional<KeyPacking> GroupReport::PackingFor(const CounterFamily& family, const Dictionaries& dictionaries) {
  KeyRest highest{};
  for (size_t level = 1; level < family.level_count; ++level) {
    highest[level - 1] = static_cast<uint32_t>(std::max<size_t>(dictionaries[level].rank.size(), 1) - 1);
  }
  KeyPacking packing;
  packing.Include({0, 0, 0});
  packing.Include(highest);
  if (!packing.Fit()) return std::nullopt;
  return packing;
}

void TextBlock::AddChunk(size_t room) {
  const size_t capacity = std::max(kChunkSize, room);
  chunks_.push_back(
      Chunk{std::unique_ptr<char[], ChunkDeleter>(PooledAllocator<char>().allocate(capacity), ChunkDeleter{capacity}),
            0, capacity});
}

namespace {

// Writes report lines. Each level's text is laid out once, with what the
// format puts around it (the comma after it; in JSON the key before it and
// the quotes), so a line is a run of copies whatever the format.
class LineFormatter {
 public:
  LineFormatter(const CounterFamily& family, const std::array<const std::vector<std::string>*, kMaxKeyLevels>& texts,
                ReportFormat format)
      : family_(family), json_(format == ReportFormat::kJsonLines), csv_(format == ReportFormat::kCsv) {
    // The pieces in one block, each followed by room for a whole short
    // copy: a piece of up to kShort bytes is copied as kShort bytes (two
    // moves, no call), the line then continues after its real end.
    size_t longest = kShort;
    for (size_t level = 0; level < family_.level_count; ++level) {
      for (const std::string& text : *texts[level]) {
        const std::string piece = Piece(level, text);
        spans_[level].push_back({static_cast<uint32_t>(block_.size()), static_cast<uint32_t>(piece.size())});
        block_ += piece;
        block_.append(kShort, '\0');
        longest = std::max(longest, piece.size());
      }
    }
    // Every level as long as the longest piece, the count with what goes
    // around it, the line end, and the overshoot of a short copy.
    longest_line_ = kMaxKeyLevels * longest + kCountRoom + kShort;
  }

  // `key` holds ranks, and the value itself for a period.
  void Append(TextBlock& out, const KeyPath& key, uint64_t count) {
    char* p = out.Reserve(longest_line_);
    for (size_t level = 0; level < family_.level_count; ++level) {
      const KeyKind kind = family_.levels[level];
      if (kind == KeyKind::kDay || kind == KeyKind::kHour) {
        p = CopyPeriod(p, level, key[level]);
      } else {
        p = CopyText(p, spans_[level][key[level]]);
      }
    }
    if (json_) {
      std::memcpy(p, kJsonCount.data(), kJsonCount.size());
      p += kJsonCount.size();
    }
    p = std::to_chars(p, p + kNumberRoom, count).ptr;
    if (json_) *p++ = '}';
    *p++ = '\n';
    out.Commit(p);
  }

 private:
  static constexpr size_t kNumberRoom = 24;  // any 64-bit number in decimal
  static constexpr std::string_view kJsonCount = ",\"count\":";
  static constexpr size_t kCountRoom = kJsonCount.size() + kNumberRoom + 2;
  static constexpr size_t kShort = 32;
  struct Span {
    uint32_t offset;
    uint32_t length;
  };

  // A level's value with what the format puts around it. Event types and
  // IDs are numbers; the other levels are text.
  std::string Piece(size_t level, const std::string& text) const {
    const KeyKind kind = family_.levels[level];
    const bool number = kind == KeyKind::kEventType || kind == KeyKind::kEventId;
    if (!json_) return (csv_ && !number ? CsvField(text) : text) + ',';
    std::string piece = level == 0 ? "{\"" : ",\"";
    piece += FieldName(kind);
    piece += "\":";
    piece += number ? text : JsonString(text);
    return piece;
  }

  char* CopyText(char* p, Span span) const {
    const char* text = block_.data() + span.offset;
    if (span.length <= kShort) {
      std::memcpy(p, text, kShort);
    } else {
      std::memcpy(p, text, span.length);
    }
    return p + span.length;
  }

  // The period is the outermost level, so its piece changes only between
  // runs of lines and is laid out once per run.
  char* CopyPeriod(char* p, size_t level, uint32_t value) {
    if (period_length_ == 0 || value != period_key_) LayOutPeriod(level, value);
    std::memcpy(p, period_piece_, kShort);
    return p + period_length_;
  }

  // Out of the line's way: inlined, it would keep the line path from being
  // inlined where the rows are walked.
  [[gnu::noinline]] void LayOutPeriod(size_t level, uint32_t value) {
    const KeyKind kind = family_.levels[level];
    const std::string piece = Piece(level, kind == KeyKind::kDay ? FormatDay(value) : FormatHour(value));
    period_key_ = value;
    period_length_ = std::min(piece.size(), kShort);
    std::memcpy(period_piece_, piece.data(), period_length_);
  }

  const CounterFamily& family_;
  bool json_;
  bool csv_;
  std::string block_;
  std::array<std::vector<Span>, kMaxKeyLevels> spans_;
  size_t longest_line_ = 0;
  uint32_t period_key_ = 0;
  size_t period_length_ = 0;
  char period_piece_[kShort] = {};
};

// Kept apart from the line path, which stays small enough to be inlined
// where the rows are walked: a call per row costs the plain report a few
// percent.
[[gnu::noinline]] void KeepRow(std::vector<std::pair<KeyPath, uint64_t>>& rows, const KeyPath& key, uint64_t count) {
  rows.emplace_back(key, count);
}

// A batch is started once it holds this many rows; lower figures cost more
// hand-overs, higher ones more memory for the text held back.
constexpr size_t kBatchRows = size_t{1} << 16;

}  // namespace

void GroupReport::FormatBatch(const Order& order, const Dictionaries& dictionaries,
                              const std::optional<KeyPacking>& packing, Batch& batch) {
  const std::vector<PartitionRef>& partitions = partitions_;
  std::array<const std::vector<std::string>*, kMaxKeyLevels> texts;
  for (size_t level = 0; level < kMaxKeyLevels; ++level) texts[level] = &dictionaries[level].texts;
  LineFormatter lines(family_, texts, format_);
  const bool gathers = format_ == ReportFormat::kHtml;
  SlotList rows;
  SlotList scratch;
  PackedRows packed;
  PackedRows packed_scratch;
  for (size_t first = batch.first; first < batch.last;) {
    const uint32_t lead = order[first].first;
    size_t slots = 0;
    for (size_t i = first; i < batch.last && order[i].first == lead; ++i) {
      slots += partitions[order[i].second].slots();
    }
    // A key path has a slot per log for groupings without a log or event
    // type level, and may have several within one partition: their counts
    // are summed.
    const auto emit = [&](const KeyRest& rest, uint64_t count) {
      if (gathers) [[unlikely]] {
        KeepRow(batch.rows, KeyPath{lead, rest[0], rest[1], rest[2]}, count);
      } else {
        lines.Append(batch.text, KeyPath{lead, rest[0], rest[1], rest[2]}, count);
      }
      batch.total += count;
    };
    const auto release = [&](size_t partition) { partitions[partition].Release(); };
    if (packing) {
      packed.clear();
      packed.reserve(slots);
      for (; first < batch.last && order[first].first == lead; ++first) {
        PackRows(partitions[order[first].second], dictionaries, *packing, packed);
        release(order[first].second);
      }
      SortPacked(packed, packing->bits(), packed_scratch);
      for (size_t row = 0; row < packed.size();) {
        const uint64_t key = packed[row].key;
        uint64_t count = 0;
        for (; row < packed.size() && packed[row].key == key; ++row) count += packed[row].count;
        emit(packing->Unpack(key), count);
      }
      continue;
    }
    rows.clear();
    rows.reserve(slots);
    for (; first < batch.last && order[first].first == lead; ++first) {
      CollectRows(partitions[order[first].second], dictionaries, rows);
      release(order[first].second);
    }
    SortSlots(rows, scratch);
    for (size_t row = 0; row < rows.size();) {
      const KeyRest rest = rows[row].rest;
      uint64_t count = 0;
      for (; row < rows.size() && SameRest(rows[row].rest, rest); ++row) count += rows[row].count;
      emit(rest, count);
    }
  }
}

// Batches end only where the first level changes, so that no key path is
// split between two of them.
std::vector<GroupReport::Batch> GroupReport::PlanBatches(const Order& order) const {
  std::vector<Batch> batches;
  size_t rows = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (batches.empty() || (rows >= kBatchRows && order[i].first != order[i - 1].first)) {
      batches.push_back(Batch{i, i, {}, 0, {}});
      rows = 0;
    }
    batches.back().last = i + 1;
    rows += partitions_[order[i].second].slots();
  }
  return batches;
}

// Partitions are printed in the order of their first level; the partitions
// of one first level (one per log) are sorted together. With worker threads
// the batches are sorted and formatted on them, a bounded number ahead of
// the one being written.
uint64_t GroupReport::Write() {
  const Dictionaries dictionaries = RankLevels();
  // Every table's partitions: those of one first level are sorted together,
  // whichever table they come from.
  for (CountTable* table : tables_) {
    table->VisitPartitions([&](auto& partitions) {
      for (auto& partition : partitions) partitions_.push_back(PartitionRef{&partition, &table->layout()});
    });
  }
  Order order;
  order.reserve(partitions_.size());
  for (uint32_t i = 0; i < partitions_.size(); ++i) {
    order.emplace_back(OrderValue(dictionaries[0].rank, partitions_[i].lead()), i);
  }
  std::sort(order.begin(), order.end());
  const std::optional<KeyPacking> packing = PackingFor(family_, dictionaries);
  std::vector<Batch> batches = PlanBatches(order);
  uint64_t total = 0;
  std::optional<SummaryBuilder> gathered;
  if (format_ == ReportFormat::kHtml) gathered.emplace(family_, dictionaries);
  if (format_ == ReportFormat::kCsv) WriteCsvHeader();
  const auto write = [&](Batch& batch) {
    batch.text.ForEachChunk([](std::string_view text) { ReportOut() << text; });
    if (gathered) gathered->Add(batch.rows);
    total += batch.total;
    batch.text.Release();
    std::vector<std::pair<KeyPath, uint64_t>>().swap(batch.rows);
  };
  OrderedWork formatting(batches.size(), threads_ + size_t{1},
                         [&](size_t i) { FormatBatch(order, dictionaries, packing, batches[i]); });
  // One batch is formatted where it is written, without helpers.
  if (batches.size() > 1) formatting.Start(threads_);
  formatting.UseInOrder([&](size_t i) { write(batches[i]); });
  if (gathered && summary_ != nullptr) gathered->Fill(*summary_);
  return total;
}

void GroupReport::WriteCsvHeader() const {
  std::string header;
  for (size_t level = 0; level < family_.level_count; ++level) {
    header += FieldName(family_.levels[level]);
    header += ',';
  }
  ReportOut() << header << "count\n";
}

}  // namespace tallymere
