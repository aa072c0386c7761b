#include "counters/group_tally.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "parts/footer_prop_info.h"
#include "parts/rep_events_buffer.h"
#include "parts/rep_name_tables.h"
#include "parts/rep_part.h"
#include "platform/output.h"

namespace tallymere {

namespace {

constexpr uint32_t kFullEventIdPlatform = 610;
const std::u16string kNoCategory = u"N/A";

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
  const std::u16string& Category(uint32_t row) const { return categories_->table[row].category; }
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
// time offset themselves. Names are read from the part's bytes into one
// string the source keeps, and interned from there: a part's names are
// mostly found in the tally's cache, so they cost no allocation.
class ColumnSource {
 public:
  explicit ColumnSource(RepPart& part)
      : events_(*part.events()), categories_(part.categories()), computers_(part.computers()) {}

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
  uint32_t TimeBase(uint32_t row) const { return computers_->TimeBase(row); }
  // Texts valid until the next call.
  std::u16string_view Category(uint32_t row) { return TextOf(categories_->CategoryBytes(row)); }
  std::u16string_view Computer(uint32_t row) {
    TextOf(computers_->NameBytes(row));
    UpperCaseAscii(text_);
    return text_;
  }

 private:
  std::u16string_view TextOf(Bytes bytes) {
    text_.resize(bytes.size() / 2);
    for (size_t i = 0; i < text_.size(); ++i) text_[i] = static_cast<char16_t>(LoadLE16(bytes.data() + 2 * i));
    return text_;
  }

  std::u16string text_;

 protected:
  RepEventsBuffer& events_;
  RepCatBuffer* categories_;
  RepCompBuffer* computers_;
};

// Fast variants walking the records as the events buffer is parsed: the
// columns source's fields, from the walk instead of the columns. The count
// of records is not known before the walk; the bound Records() gives only
// chooses how the part is counted.
class WalkingSource : public ColumnSource {
 public:
  using ColumnSource::ColumnSource;

  uint32_t Records() const { return static_cast<uint32_t>(events_.buffer_len / event_walk::kFixedSize); }
  template <class Visit>
  void ForEachRecord(uint32_t, Visit&& visit) {
    uint32_t running_time = 0;
    status_ = events_.ParseVisitingKeyFields([&](uint32_t cat_index, uint32_t comp_index, uint32_t time_delta) {
      running_time += time_delta;
      visit(cat_index, comp_index, running_time);
    });
  }
  int status() const { return status_; }

 private:
  int status_ = -1;
};

}  // namespace

GroupTally::GroupTally(const TallySettings& settings, CountTable& share)
    : settings_(settings),
      share_(share),
      family_(*settings.family),
      logs_(settings.pools->logs),
      computers_(settings.pools->computers),
      categories_(settings.pools->categories),
      event_ids_(settings.pools->event_ids),
      event_types_(settings.pools->event_types),
      working_(share.layout()),
      period_seconds_(family_.Has(KeyKind::kDay)    ? 86400
                      : family_.Has(KeyKind::kHour) ? 3600
                                                    : 0),
      memo_category_mask_(family_.ReadsCategories() ? UINT32_MAX : 0),
      memo_computer_mask_(family_.Has(KeyKind::kComputer) ? UINT32_MAX : 0),
      group_level_(family_.GroupLevel()) {}

template <class Source>
std::unique_ptr<GroupCounts> GroupTally::CountThrough(Source& source, const FooterPropInfo& prop_info, uint32_t count) {
  auto counts = std::make_unique<GroupCounts>();
  counts_ = counts.get();
  working_.Clear();
  try {
    CountEvents(source, prop_info, count);
    working_.SumRepeats();
    counts->table = HeldCounts(working_);
  } catch (const std::exception& error) {
    // Reported when these counts are added, in walk order.
    const bool out_of_memory = dynamic_cast<const std::bad_alloc*>(&error) != nullptr;
    counts->table = HeldCounts();
    counts->failure = GroupCounts::Failure{{}, out_of_memory};
    try {
      counts->failure->text = FailureText();
    } catch (const std::bad_alloc&) {
      counts->failure->out_of_memory = true;
    }
  }
  counts_ = nullptr;
  slots_ = nullptr;
  return counts;
}

std::unique_ptr<PartCounts> GroupTally::Count(RepPart& part, const FooterPropInfo& prop_info,
                                              const RepPartCount& count) {
  if (part.events() == nullptr) return std::make_unique<GroupCounts>();
  if (settings_.fast) {
    ColumnSource source(part);
    return CountThrough(source, prop_info, count.ulCount);
  }
  DecodedSource source(part);
  return CountThrough(source, prop_info, count.ulCount);
}

std::unique_ptr<PartCounts> GroupTally::ParseAndCount(RepPart& part, const FooterPropInfo& prop_info,
                                                      int& events_status) {
  if (!settings_.fast) return PartTally::ParseAndCount(part, prop_info, events_status);
  WalkingSource source(part);
  std::unique_ptr<GroupCounts> counts = CountThrough(source, prop_info, source.Records());
  events_status = source.status();
  if (counts->failure) {
    // Counting stopped before the walk ended: the walk alone says whether
    // the part parses, and a part that does not is not counted at all.
    events_status = part.events()->Parse();
  }
  if (events_status != 0) return nullptr;
  return counts;
}

void GroupTally::Add(PartCounts& counts) {
  GroupCounts& group_counts = static_cast<GroupCounts&>(counts);
  share_.Absorb(group_counts.table);
  group_counts.table = HeldCounts();
}

// The keys that depend only on a table row are derived once per part, so
// counting an event is a few array reads and one table increment.
template <class Source>
void GroupTally::PrepareRows(Source& source, bool needs_categories) {
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
      const std::u16string_view name = source.Category(row);
      keys.category = categories_.Intern(name.empty() ? std::u16string_view(kNoCategory) : name);
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
inline uint32_t GroupTally::PeriodOf(uint32_t time) const {
  // Constant divisors become multiplications.
  return period_seconds_ == 0 ? 0 : period_seconds_ == 3600 ? time / 3600 : time / 86400;
}

inline void GroupTally::CountEvent(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key) {
  const uint32_t period = PeriodOf(time);
  // Rows that no level of the grouping reads do not tell key paths apart.
  cat_row &= memo_category_mask_;
  comp_row &= memo_computer_mask_;
  // Three 32-bit products rather than HashMix of the three packed in one
  // word: that missed the memo more often (callgrind, 2 million events on
  // one thread: modes 8 and 28 ran 0.1 % and 0.3 % more instructions).
  const uint32_t index = (cat_row * 0x9E3779B1u ^ comp_row * 0x85EBCA77u ^ period * 0xC2B2AE3Du) >> (32 - kMemoBits);
  MemoEntry& memo = memo_[index];
  if (memo.generation == generation_ && memo.cat_row == cat_row && memo.comp_row == comp_row && memo.period == period &&
      slots_[memo.slot].TryIncrement()) {
    return;
  }
  CountNewKeyPath(cat_row, comp_row, time, period, key, memo);
}

template <class Source>
void GroupTally::CountEvents(Source& source, const FooterPropInfo& prop_info, uint32_t count) {
  log_id_ = logs_.Intern(prop_info.UnderDataSource());
  event_id_mask_ = prop_info.PlatformID == kFullEventIdPlatform ? 0xFFFFFFFFu : 0xFFFFu;
  const bool needs_categories = family_.ReadsCategories();
  needs_computer_table_ = family_.HasPeriod() || family_.Has(KeyKind::kComputer) || settings_.time_filter.enabled;
  PrepareRows(source, needs_categories);
  const uint32_t records = std::min(count, source.Records());
  if (records < count) counts_->incomplete = true;

  KeyPath key{};
  const auto for_each_event = [&](auto&& count_event) {
    source.ForEachRecord(records, [&](uint32_t cat_row, uint32_t comp_row, uint32_t offset) {
      // An event whose rows are missing or out of range cannot be placed.
      if ((needs_categories && cat_row >= category_rows_.size()) ||
          (needs_computer_table_ && comp_row >= computer_rows_.size())) {
        counts_->incomplete = true;
        return;
      }
      const uint32_t time = needs_computer_table_ ? computer_rows_[comp_row].time_base + offset : 0;
      if (!settings_.time_filter.Passes(time)) return;
      count_event(cat_row, comp_row, time);
    });
  };
  if (UsesCells(records)) {
    for_each_event(
        [&](uint32_t cat_row, uint32_t comp_row, uint32_t time) { CountInCell(cat_row, comp_row, time, key); });
    FlushCells(key);
  } else {
    ForgetMemo();  // rows mean other things in every part
    for_each_event(
        [&](uint32_t cat_row, uint32_t comp_row, uint32_t time) { CountEvent(cat_row, comp_row, time, key); });
  }
}

// Cells cost a pass over them at the end of the part, so a part of few
// events counts through the memo.
bool GroupTally::UsesCells(uint32_t records) {
  const size_t category_keys = memo_category_mask_ != 0 ? category_rows_.size() : 1;
  const size_t computer_keys = memo_computer_mask_ != 0 ? computer_rows_.size() : 1;
  const size_t cells = category_keys * computer_keys;
  if (cells > kMostCells || cells > records) return false;
  // Every cell is empty again after the last part's flush.
  cells_.resize(cells);
  cell_columns_ = static_cast<uint32_t>(computer_keys);
  return true;
}

inline void GroupTally::CountInCell(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key) {
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

void GroupTally::FlushCell(uint32_t cat_row, uint32_t comp_row, RowCell& cell, KeyPath& key) {
  if (cell.count == 0) return;
  // Any time within the period gives its key.
  BuildKeyPath(cat_row, comp_row, cell.period * period_seconds_, key);
  bool moved = false;
  working_.Add(key, GroupValueOf(key), cell.count, moved);
  cell.count = 0;
}

void GroupTally::FlushCells(KeyPath& key) {
  for (size_t index = 0; index < cells_.size(); ++index) {
    FlushCell(static_cast<uint32_t>(index / cell_columns_), static_cast<uint32_t>(index % cell_columns_), cells_[index],
              key);
  }
}

void GroupTally::CountNewKeyPath(uint32_t cat_row, uint32_t comp_row, uint32_t time, uint32_t period, KeyPath& key,
                                 MemoEntry& memo) {
  BuildKeyPath(cat_row, comp_row, time, key);
  bool moved = false;
  const uint32_t slot = working_.Add(key, GroupValueOf(key), 1, moved);
  if (moved) ForgetMemo();
  slots_ = working_.slots();
  memo = {cat_row, comp_row, period, generation_, slot};
}

void GroupTally::ForgetMemo() {
  if (++generation_ == 0) {  // after 2^32 generations old entries could look current
    std::fill(memo_.begin(), memo_.end(), MemoEntry{});
    generation_ = 1;
  }
}

void GroupTally::BuildKeyPath(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key) {
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

std::string GroupTally::FailureText() const {
  std::string text(settings_.heading);
  text += "\n";
  const StringPool& computers = settings_.pools->computers;
  const StringPool& logs = settings_.pools->logs;
  const StringPool& categories = settings_.pools->categories;
  switch (settings_.label) {
    case FailureLabel::kEventId: text += "EventID = " + std::to_string(last_event_id_) + "\n"; break;
    case FailureLabel::kComputer:
      text += "ComputerName = " + RepositoryUtf8ForOut(computers.TextWhileCounting(last_computer_)) + "\n";
      break;
    case FailureLabel::kLog: text += "Log = " + RepositoryUtf8ForOut(logs.TextWhileCounting(log_id_)) + "\n"; break;
    case FailureLabel::kCategory:
      text += "CategoryName = " + RepositoryUtf8ForOut(categories.TextWhileCounting(last_category_)) + "\n";
      break;
    case FailureLabel::kNone: break;
  }
  return text;
}

}  // namespace tallymere
