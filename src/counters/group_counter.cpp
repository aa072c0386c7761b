#include "counters/group_counter.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <deque>
#include <future>
#include <numeric>
#include <cstdlib>
#include <exception>
#include <new>
#include <system_error>

#include "counters/packed_rows.h"
#include "parts/footer_prop_info.h"
#include "parts/rep_events_buffer.h"
#include "parts/rep_name_tables.h"
#include "parts/rep_part.h"
#include "platform/output.h"

namespace tallymere {

namespace {

constexpr uint32_t kFullEventIdPlatform = 610;
const std::u16string kNoCategory = u"N/A";

std::u16string Utf16FromBytes(Bytes bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(LoadLE16(bytes.data() + 2 * i));
  return text;
}

// Full variants read the decoded tables of a part.
class DecodedSource {
 public:
  explicit DecodedSource(RepPart& part)
      : events_(*part.events()), categories_(part.categories()), computers_(part.computers()) {}

  uint32_t Records() const { return static_cast<uint32_t>(events_.table.size()); }
  // visit(cat_index, comp_index, time offset) for records [0, count).
  template <class Visit>
  void ForEachRecord(uint32_t count, Visit&& visit) {
    for (uint32_t i = 0; i < count; ++i) {
      const RepEventEntry& e = events_.table[i];
      visit(e.cat_index, e.comp_index, e.time);
    }
  }

  uint32_t CategoryRows() const { return categories_ ? static_cast<uint32_t>(categories_->table.size()) : 0; }
  uint32_t ComputerRows() const { return computers_ ? static_cast<uint32_t>(computers_->table.size()) : 0; }
  uint32_t EventId(uint32_t row) const { return categories_->table[row].event_id; }
  uint16_t EventType(uint32_t row) const { return categories_->table[row].event_type; }
  std::u16string Category(uint32_t row) const { return categories_->table[row].category; }
  uint32_t TimeBase(uint32_t row) const { return computers_->table[row].value; }
  std::u16string Computer(uint32_t row) const {
    std::u16string name = computers_->table[row].text;
    UpperCaseAscii(name);
    return name;
  }

 private:
  RepEventsBuffer& events_;
  RepCatBuffer* categories_;
  RepCompBuffer* computers_;
};

// Fast variants read the columns built at parse time and keep the running
// time offset themselves; only the computer table is decoded, and only by
// the groupings that need computer names.
class ColumnSource {
 public:
  ColumnSource(RepPart& part, bool decode_computers)
      : events_(*part.events()), categories_(part.categories()), computers_(part.computers()) {
    if (decode_computers && computers_ != nullptr) {
      computers_->Decode();
      for (auto& row : computers_->table) UpperCaseAscii(row.text);
    }
  }

  uint32_t Records() const { return events_.ulCount; }
  // The running offset grows by every record's delta, also for one that the
  // window will skip.
  template <class Visit>
  void ForEachRecord(uint32_t count, Visit&& visit) {
    uint32_t running_time = 0;
    events_.ForEachKeyFields(count, [&](uint32_t cat_index, uint32_t comp_index, uint32_t time_delta) {
      running_time += time_delta;
      visit(cat_index, comp_index, running_time);
    });
  }

  uint32_t CategoryRows() const { return categories_ ? categories_->ulCount : 0; }
  uint32_t ComputerRows() const { return computers_ ? computers_->ulCount : 0; }
  uint32_t EventId(uint32_t row) const { return categories_->EventId(row); }
  uint16_t EventType(uint32_t row) const { return categories_->EventType(row); }
  std::u16string Category(uint32_t row) const { return Utf16FromBytes(categories_->CategoryBytes(row)); }
  uint32_t TimeBase(uint32_t row) const { return computers_->TimeBase(row); }
  // Rows beyond the decoded table (never for a parsed table) read as empty.
  std::u16string Computer(uint32_t row) const {
    return row < computers_->table.size() ? computers_->table[row].text : std::u16string();
  }

 private:
  RepEventsBuffer& events_;
  RepCatBuffer* categories_;
  RepCompBuffer* computers_;
};

void WriteFailureLabel(FailureLabel label, uint32_t event_id, const std::u16string* computer,
                       const std::u16string* log, const std::u16string* category) {
  static const std::u16string kNothing;
  switch (label) {
    case FailureLabel::kEventId: Out() << "EventID = " << event_id << "\n"; break;
    case FailureLabel::kComputer: Out() << "ComputerName = " << (computer ? *computer : kNothing) << "\n"; break;
    case FailureLabel::kLog: Out() << "Log = " << (log ? *log : kNothing) << "\n"; break;
    case FailureLabel::kCategory: Out() << "CategoryName = " << (category ? *category : kNothing) << "\n"; break;
    case FailureLabel::kNone: break;
  }
}

}  // namespace

bool CounterFamily::Has(KeyKind kind) const {
  return std::find(levels.begin(), levels.begin() + level_count, kind) != levels.begin() + level_count;
}

GroupCounter::GroupCounter(const CounterFamily& family)
    : family_(family),
      heading_(family.heading),
      label_(family.label),
      period_seconds_(family.Has(KeyKind::kDay) ? 86400 : family.Has(KeyKind::kHour) ? 3600 : 0),
      memo_category_mask_(family.ReadsCategories() ? UINT32_MAX : 0),
      memo_computer_mask_(family.Has(KeyKind::kComputer) ? UINT32_MAX : 0) {
  type_code = family.type_code;
  part_flags[0] = family.ReadsCategories() ? 1 : 0;
  part_flags[1] = 1;
  part_flags[3] = 1;
}

void GroupCounter::MakeFast() {
  type_code = family_.fast_type_code;
  fast = true;
  heading_ = family_.fast_heading;
  label_ = family_.fast_label;
}

int GroupCounter::CountPart(RepPart& part, const FooterPropInfo& prop_info, const RepPartCount& count) {
  if (part.events() == nullptr) return 0;
  DecodedSource source(part);
  CountEvents(source, prop_info, count.ulCount);
  return 0;
}

int GroupCounter::CountPartFast(RepPart& part, const FooterPropInfo& prop_info, const RepPartCount& count) {
  if (part.events() == nullptr) return 0;
  try {
    ColumnSource source(part, family_.Has(KeyKind::kComputer));
    CountEvents(source, prop_info, count.ulCount);
  } catch (const std::exception& error) {
    FailWhileCounting(error);
  }
  return 0;
}

// The keys that depend only on a table row are derived once per part, so
// counting an event is a few array reads and one table increment.
template <class Source>
void GroupCounter::PrepareRows(Source& source, bool needs_categories) {
  category_rows_.resize(needs_categories ? source.CategoryRows() : 0);
  const bool names = family_.Has(KeyKind::kCategory);
  const bool event_ids = family_.Has(KeyKind::kEventId);
  const bool event_types = family_.Has(KeyKind::kEventType);
  for (uint32_t row = 0; row < category_rows_.size(); ++row) {
    CategoryRowKeys& keys = category_rows_[row];
    keys.event_id = source.EventId(row) & event_id_mask_;
    if (event_ids) keys.event_id_key = event_ids_.Intern(keys.event_id);
    if (event_types) keys.event_type_key = event_types_.Intern(source.EventType(row));
    if (names) {
      const std::u16string name = source.Category(row);
      keys.category = categories_.Intern(name.empty() ? kNoCategory : name);
    }
  }
  computer_rows_.resize(needs_computer_table_ ? source.ComputerRows() : 0);
  const bool computers = family_.Has(KeyKind::kComputer);
  for (uint32_t row = 0; row < computer_rows_.size(); ++row) {
    computer_rows_[row].time_base = source.TimeBase(row);
    if (computers) computer_rows_[row].computer = computers_.Intern(source.Computer(row));
  }
}

// A key path follows from the event's category row, computer row and period
// (the log is the same for the whole part), so a small direct-mapped memo of
// (rows, period) -> table position spares most events building the key path
// and storing it. The hit is inlined into the record loop; a miss goes out of
// line.
inline uint32_t GroupCounter::PeriodOf(uint32_t time) const {
  // Constant divisors become multiplications.
  return period_seconds_ == 0 ? 0 : period_seconds_ == 3600 ? time / 3600 : time / 86400;
}

inline void GroupCounter::CountEvent(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key) {
  const uint32_t period = PeriodOf(time);
  // Rows that no level of the grouping reads do not tell key paths apart.
  cat_row &= memo_category_mask_;
  comp_row &= memo_computer_mask_;
  const uint32_t index = (cat_row * 0x9E3779B1u ^ comp_row * 0x85EBCA77u ^ period * 0xC2B2AE3Du) >> (32 - kMemoBits);
  MemoEntry& memo = memo_[index];
  if (memo.generation == generation_ && memo.cat_row == cat_row && memo.comp_row == comp_row &&
      memo.period == period && memo.slot->TryIncrement()) {
    return;
  }
  CountNewKeyPath(cat_row, comp_row, time, period, key, memo);
}

template <class Source>
void GroupCounter::CountEvents(Source& source, const FooterPropInfo& prop_info, uint32_t count) {
  try {
    log_id_ = logs_.Intern(prop_info.UnderDataSource());
    event_id_mask_ = prop_info.PlatformID == kFullEventIdPlatform ? 0xFFFFFFFFu : 0xFFFFu;
    const bool needs_categories = family_.ReadsCategories();
    needs_computer_table_ = family_.HasPeriod() || family_.Has(KeyKind::kComputer) || time_filter.enabled;
    PrepareRows(source, needs_categories);
    const uint32_t records = std::min(count, source.Records());
    if (records < count) incomplete = true;

    KeyPath key{};
    const auto for_each_event = [&](auto&& count_event) {
      source.ForEachRecord(records, [&](uint32_t cat_row, uint32_t comp_row, uint32_t offset) {
        // An event whose rows are missing or out of range cannot be placed.
        if ((needs_categories && cat_row >= category_rows_.size()) ||
            (needs_computer_table_ && comp_row >= computer_rows_.size())) {
          incomplete = true;
          return;
        }
        const uint32_t time = needs_computer_table_ ? computer_rows_[comp_row].time_base + offset : 0;
        if (!time_filter.Passes(time)) return;
        count_event(cat_row, comp_row, time);
      });
    };
    if (UsesCells(records)) {
      for_each_event([&](uint32_t cat_row, uint32_t comp_row, uint32_t time) { CountInCell(cat_row, comp_row, time, key); });
      FlushCells(key);
    } else {
      ForgetMemo();  // rows mean other things in every part
      for_each_event([&](uint32_t cat_row, uint32_t comp_row, uint32_t time) { CountEvent(cat_row, comp_row, time, key); });
    }
  } catch (const std::exception& error) {
    FailWhileCounting(error);
  }
}

// Cells cost a pass over them at the end of the part, so a part of few
// events counts through the memo.
bool GroupCounter::UsesCells(uint32_t records) {
  const size_t category_keys = memo_category_mask_ != 0 ? category_rows_.size() : 1;
  const size_t computer_keys = memo_computer_mask_ != 0 ? computer_rows_.size() : 1;
  const size_t cells = category_keys * computer_keys;
  if (cells > kMostCells || cells > records) return false;
  // Every cell is empty again after the last part's flush.
  cells_.resize(cells);
  cell_columns_ = static_cast<uint32_t>(computer_keys);
  return true;
}

inline void GroupCounter::CountInCell(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key) {
  const uint32_t period = PeriodOf(time);
  cat_row &= memo_category_mask_;
  comp_row &= memo_computer_mask_;
  RowCell& cell = cells_[size_t{cat_row} * cell_columns_ + comp_row];
  if (cell.period == period && cell.count - 1 < CountSlot::kFull - 1) {  // 1 to kFull - 1
    ++cell.count;
    return;
  }
  FlushCell(cat_row, comp_row, cell, key);
  cell = {period, 1};
}

void GroupCounter::FlushCell(uint32_t cat_row, uint32_t comp_row, RowCell& cell, KeyPath& key) {
  if (cell.count == 0) return;
  // Any time within the period gives its key.
  BuildKeyPath(cat_row, comp_row, cell.period * period_seconds_, key);
  bool moved = false;
  counts_.Add(key, log_id_, cell.count, moved);
  cell.count = 0;
}

void GroupCounter::FlushCells(KeyPath& key) {
  for (size_t index = 0; index < cells_.size(); ++index) {
    FlushCell(static_cast<uint32_t>(index / cell_columns_), static_cast<uint32_t>(index % cell_columns_), cells_[index],
              key);
  }
}

void GroupCounter::CountNewKeyPath(uint32_t cat_row, uint32_t comp_row, uint32_t time, uint32_t period, KeyPath& key,
                                   MemoEntry& memo) {
  BuildKeyPath(cat_row, comp_row, time, key);
  bool moved = false;
  CountSlot* slot = counts_.Increment(key, log_id_, moved);
  if (moved) ForgetMemo();
  memo = {cat_row, comp_row, period, generation_, slot};
}

void GroupCounter::ForgetMemo() {
  if (++generation_ == 0) {  // after 2^32 generations old entries could look current
    std::fill(memo_.begin(), memo_.end(), MemoEntry{});
    generation_ = 1;
  }
}

void GroupCounter::BuildKeyPath(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key) {
  for (size_t level = 0; level < family_.level_count; ++level) {
    uint32_t part = 0;
    switch (family_.levels[level]) {
      case KeyKind::kDay: part = time / 86400 * 86400; break;
      case KeyKind::kHour: part = time / 3600 * 3600; break;
      case KeyKind::kLog: part = log_id_; break;
      case KeyKind::kComputer: part = last_computer_ = computer_rows_[comp_row].computer; break;
      case KeyKind::kCategory: part = last_category_ = category_rows_[cat_row].category; break;
      case KeyKind::kEventType: part = category_rows_[cat_row].event_type_key; break;
      case KeyKind::kEventId:
        last_event_id_ = category_rows_[cat_row].event_id;
        part = category_rows_[cat_row].event_id_key;
        break;
    }
    key[level] = part;
  }
}

void GroupCounter::FailWhileCounting(const std::exception& error) {
  Out() << heading_ << "\n";
  const auto text = [](const StringPool& pool, uint32_t id) { return id < pool.size() ? &pool.Text(id) : nullptr; };
  WriteFailureLabel(label_, last_event_id_, text(computers_, last_computer_), text(logs_, log_id_),
                    text(categories_, last_category_));
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) StopOutOfMemory();
  FlushOutput();
  std::_Exit(kStatusFatal);
}

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

// Strings sort by UTF-16 code units, event IDs as signed numbers.
GroupCounter::LevelDictionary GroupCounter::RankKind(KeyKind kind) const {
  LevelDictionary dictionary;
  const auto rank_strings = [&](const StringPool& pool) {
    RankIds(
        pool.size(), [&](uint32_t a, uint32_t b) { return pool.Text(a) < pool.Text(b); },
        [&](uint32_t id) { return ToUtf8(pool.Text(id)); }, dictionary.rank, dictionary.texts);
  };
  const auto rank_values = [&](const ValuePool& pool, auto as_number) {
    RankIds(
        pool.size(), [&](uint32_t a, uint32_t b) { return as_number(pool.Value(a)) < as_number(pool.Value(b)); },
        [&](uint32_t id) { return std::to_string(as_number(pool.Value(id))); }, dictionary.rank, dictionary.texts);
  };
  switch (kind) {
    case KeyKind::kDay:
    case KeyKind::kHour: break;
    case KeyKind::kLog: rank_strings(logs_); break;
    case KeyKind::kComputer: rank_strings(computers_); break;
    case KeyKind::kCategory: rank_strings(categories_); break;
    case KeyKind::kEventType: rank_values(event_types_, [](uint32_t v) { return v; }); break;
    case KeyKind::kEventId: rank_values(event_ids_, [](uint32_t v) { return static_cast<int32_t>(v); }); break;
  }
  return dictionary;
}

GroupCounter::Dictionaries GroupCounter::RankLevels() const {
  Dictionaries dictionaries;
  for (size_t level = 0; level < family_.level_count; ++level) dictionaries[level] = RankKind(family_.levels[level]);
  return dictionaries;
}

namespace {

// A level's value in the report's order: its rank, or the value itself
// for a period.
uint32_t OrderValue(const std::vector<uint32_t>& rank, uint32_t value) {
  return rank.empty() ? value : rank[value];
}

}  // namespace

void GroupCounter::CollectRows(const CountTable::Partition& partition, const Dictionaries& dictionaries,
                               std::vector<CountSlot>& rows) const {
  for (const CountSlot& slot : partition.slots) {
    if (slot.empty()) continue;
    CountSlot& row = rows.emplace_back(slot);
    for (size_t level = 1; level < family_.level_count; ++level) {
      row.rest[level - 1] = OrderValue(dictionaries[level].rank, row.rest[level - 1]);
    }
  }
}

void GroupCounter::PackRows(const CountTable::Partition& partition, const Dictionaries& dictionaries,
                            const KeyPacking& packing, std::vector<PackedRow>& rows) const {
  static const std::vector<uint32_t> kAbsent{0};  // a level the grouping lacks holds 0
  std::array<const uint32_t*, std::tuple_size_v<KeyRest>> rank;
  for (size_t level = 1; level < kMaxKeyLevels; ++level) {
    rank[level - 1] = level < family_.level_count ? dictionaries[level].rank.data() : kAbsent.data();
  }
  for (const CountSlot& slot : partition.slots) {
    if (slot.empty()) continue;
    const KeyRest ranks{rank[0][slot.rest[0]], rank[1][slot.rest[1]], rank[2][slot.rest[2]]};
    rows.push_back({packing.Pack(ranks), slot.count});
  }
}

std::optional<KeyPacking> GroupCounter::PackingFor(const Dictionaries& dictionaries) const {
  KeyRest highest{};
  for (size_t level = 1; level < family_.level_count; ++level) {
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
  chunks_.push_back(Chunk{std::make_unique_for_overwrite<char[]>(capacity), 0, capacity});
}

namespace {

// Writes report lines. The period is the outermost level, so its text
// changes only between runs of lines and is formatted once per run.
class LineFormatter {
 public:
  LineFormatter(const CounterFamily& family, const std::array<const std::vector<std::string>*, kMaxKeyLevels>& texts)
      : family_(family) {
    // The texts in one block, each followed by room for a whole short copy:
    // a text of up to kShort bytes is copied as kShort bytes (two moves, no
    // call), the line then continues after its real end.
    size_t longest = kShort;
    for (size_t level = 0; level < family_.level_count; ++level) {
      for (const std::string& text : *texts[level]) {
        spans_[level].push_back({static_cast<uint32_t>(block_.size()), static_cast<uint32_t>(text.size())});
        block_ += text;
        block_.append(kShort, '\0');
        longest = std::max(longest, text.size());
      }
    }
    // Every level as long as the longest text, its comma, the count, the
    // line end, and the overshoot of a short copy.
    longest_line_ = kMaxKeyLevels * (longest + 1) + kNumberRoom + 1 + kShort;
  }

  // `key` holds ranks, and the value itself for a period.
  void Append(TextBlock& out, const KeyPath& key, uint64_t count) {
    char* p = out.Reserve(longest_line_);
    for (size_t level = 0; level < family_.level_count; ++level) {
      const KeyKind kind = family_.levels[level];
      if (kind == KeyKind::kDay || kind == KeyKind::kHour) {
        p = CopyPeriod(p, kind, key[level]);
      } else {
        p = CopyText(p, spans_[level][key[level]]);
      }
      *p++ = ',';
    }
    p = std::to_chars(p, p + kNumberRoom, count).ptr;
    *p++ = '\n';
    out.Commit(p);
  }

 private:
  static constexpr size_t kNumberRoom = 24;  // any 64-bit number in decimal
  static constexpr size_t kShort = 32;
  struct Span {
    uint32_t offset;
    uint32_t length;
  };

  char* CopyText(char* p, Span span) const {
    const char* text = block_.data() + span.offset;
    if (span.length <= kShort) {
      std::memcpy(p, text, kShort);
    } else {
      std::memcpy(p, text, span.length);
    }
    return p + span.length;
  }

  // The period is the outermost level, so its text changes only between
  // runs of lines and is formatted once per run.
  char* CopyPeriod(char* p, KeyKind kind, uint32_t value) {
    if (period_.length == 0 || value != period_key_) {
      const std::string text = kind == KeyKind::kDay ? FormatDay(value) : FormatHour(value);
      period_key_ = value;
      period_.length = static_cast<uint32_t>(std::min(text.size(), kShort));
      std::memcpy(period_text_, text.data(), period_.length);
    }
    std::memcpy(p, period_text_, kShort);
    return p + period_.length;
  }

  const CounterFamily& family_;
  std::string block_;
  std::array<std::vector<Span>, kMaxKeyLevels> spans_;
  size_t longest_line_ = 0;
  uint32_t period_key_ = 0;
  Span period_{0, 0};
  char period_text_[kShort] = {};
};

// A batch is started once it holds this many rows; lower figures cost more
// hand-overs, higher ones more memory for the text held back.
constexpr size_t kBatchRows = size_t{1} << 16;

}  // namespace

void GroupCounter::FormatBatch(const std::vector<std::pair<uint32_t, uint32_t>>& order,
                               const Dictionaries& dictionaries, const std::optional<KeyPacking>& packing,
                               ReportBatch& batch) {
  std::vector<CountTable::Partition>& partitions = counts_.partitions();
  std::array<const std::vector<std::string>*, kMaxKeyLevels> texts;
  for (size_t level = 0; level < kMaxKeyLevels; ++level) texts[level] = &dictionaries[level].texts;
  LineFormatter lines(family_, texts);
  std::vector<CountSlot> rows;
  std::vector<CountSlot> scratch;
  std::vector<PackedRow> packed;
  std::vector<PackedRow> packed_scratch;
  for (size_t first = batch.first; first < batch.last;) {
    const uint32_t lead = order[first].first;
    size_t slots = 0;
    for (size_t i = first; i < batch.last && order[i].first == lead; ++i) {
      slots += partitions[order[i].second].slots.size();
    }
    // A key path has a slot per log for groupings without a log level, and
    // may have several within one partition: their counts are summed.
    const auto emit = [&](const KeyRest& rest, uint64_t count) {
      lines.Append(batch.text, KeyPath{lead, rest[0], rest[1], rest[2]}, count);
      batch.total += count;
    };
    const auto release = [&](size_t partition) { std::vector<CountSlot>().swap(partitions[partition].slots); };
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
std::vector<GroupCounter::ReportBatch> GroupCounter::PlanBatches(
    const std::vector<std::pair<uint32_t, uint32_t>>& order) const {
  const std::vector<CountTable::Partition>& partitions = counts_.partitions();
  std::vector<ReportBatch> batches;
  size_t rows = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (batches.empty() || (rows >= kBatchRows && order[i].first != order[i - 1].first)) {
      batches.push_back(ReportBatch{i, i, {}, 0});
      rows = 0;
    }
    batches.back().last = i + 1;
    rows += partitions[order[i].second].slots.size();
  }
  return batches;
}

// Partitions are printed in the order of their first level; the partitions
// of one first level (one per log) are sorted together. With worker threads
// the batches are sorted and formatted on them, a bounded number ahead of
// the one being written.
void GroupCounter::Report() {
  const Dictionaries dictionaries = RankLevels();
  const std::vector<CountTable::Partition>& partitions = counts_.partitions();
  std::vector<std::pair<uint32_t, uint32_t>> order;  // (first level in report order, partition)
  order.reserve(partitions.size());
  for (uint32_t i = 0; i < partitions.size(); ++i) {
    order.emplace_back(OrderValue(dictionaries[0].rank, partitions[i].lead), i);
  }
  std::sort(order.begin(), order.end());
  const std::optional<KeyPacking> packing = PackingFor(dictionaries);
  std::vector<ReportBatch> batches = PlanBatches(order);
  const auto write = [this](ReportBatch& batch) {
    batch.text.ForEachChunk([](std::string_view text) { Out() << text; });
    m_total += batch.total;
    batch.text.Release();
  };
  if (worker_threads == 0 || batches.size() < 2) {
    for (ReportBatch& batch : batches) {
      FormatBatch(order, dictionaries, packing, batch);
      write(batch);
    }
    return;
  }
  std::deque<std::future<void>> ahead;
  size_t next = 0;
  for (ReportBatch& batch : batches) {
    while (next < batches.size() && ahead.size() < worker_threads + 1) {
      ReportBatch* planned = &batches[next++];
      const auto format = [&, planned] { FormatBatch(order, dictionaries, packing, *planned); };
      try {
        ahead.push_back(std::async(std::launch::async, format));
      } catch (const std::system_error&) {
        ahead.push_back(std::async(std::launch::deferred, format));  // no thread to be had: done here
      }
    }
    ahead.front().get();
    ahead.pop_front();
    write(batch);
  }
}

}  // namespace tallymere
