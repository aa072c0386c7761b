#include "counters/group_counter.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include "container/footer_prop_info.h"
#include "parts/rep_events_buffer.h"
#include "parts/rep_name_tables.h"
#include "parts/rep_part.h"
#include "platform/output.h"

namespace tallymere {

namespace {

constexpr uint32_t kUnset = UINT32_MAX;
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
  uint32_t CatIndex(uint32_t i) const { return events_.table[i].cat_index; }
  uint32_t CompIndex(uint32_t i) const { return events_.table[i].comp_index; }
  uint32_t TimeOffset(uint32_t i) { return events_.table[i].time; }

  bool HasCategories() const { return categories_ != nullptr; }
  bool HasComputers() const { return computers_ != nullptr; }
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
  uint32_t CatIndex(uint32_t i) const { return events_.CatIndex(i); }
  uint32_t CompIndex(uint32_t i) const { return events_.CompIndex(i); }
  // Called for every record in order, also for one the window will skip.
  uint32_t TimeOffset(uint32_t i) { return running_time_ += events_.TimeDelta(i); }

  bool HasCategories() const { return categories_ != nullptr; }
  bool HasComputers() const { return computers_ != nullptr; }
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
  uint32_t running_time_ = 0;
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
    : family_(family), heading_(family.heading), label_(family.label) {
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
  CountEvents(source, prop_info, count.ulCount, /*cached=*/false);
  return 0;
}

int GroupCounter::CountPartFast(RepPart& part, const FooterPropInfo& prop_info, const RepPartCount& count) {
  if (part.events() == nullptr) return 0;
  try {
    ColumnSource source(part, family_.Has(KeyKind::kComputer));
    CountEvents(source, prop_info, count.ulCount, /*cached=*/false);
  } catch (const std::exception&) {
    FailWhileCounting();
  }
  return 0;
}

int GroupCounter::CountPartCachedImpl(RepPart& part, const FooterPropInfo& prop_info,
                                      const RepPartCount& count) {
  if (part.events() == nullptr) return 0;
  DecodedSource source(part);
  CountEvents(source, prop_info, count.ulCount, /*cached=*/true);
  return 0;
}

template <class Source>
void GroupCounter::CountEvents(Source& source, const FooterPropInfo& prop_info, uint32_t count, bool cached) {
  try {
    log_id_ = strings_.Intern(prop_info.UnderDataSource());
    event_id_mask_ = prop_info.PlatformID == kFullEventIdPlatform ? 0xFFFFFFFFu : 0xFFFFu;
    computer_ids_.assign(source.ComputerRows(), kUnset);
    category_ids_.assign(source.CategoryRows(), kUnset);
    const bool needs_categories = family_.ReadsCategories();
    needs_computer_table_ = family_.HasPeriod() || family_.Has(KeyKind::kComputer) || time_filter.enabled;
    const uint32_t records = std::min(count, source.Records());
    if (records < count) incomplete = true;

    KeyPath key{};
    KeyPath cached_key{};
    uint64_t* cached_count = nullptr;
    for (uint32_t i = 0; i < records; ++i) {
      const uint32_t offset = source.TimeOffset(i);
      const uint32_t cat_row = needs_categories ? source.CatIndex(i) : 0;
      const uint32_t comp_row = needs_computer_table_ ? source.CompIndex(i) : 0;
      // An event whose rows are missing or out of range cannot be placed.
      if ((needs_categories && cat_row >= source.CategoryRows()) ||
          (needs_computer_table_ && comp_row >= source.ComputerRows())) {
        incomplete = true;
        continue;
      }
      const uint32_t time = needs_computer_table_ ? source.TimeBase(comp_row) + offset : 0;
      if (!time_filter.Passes(time)) continue;
      if (!BuildKeyPath(source, cat_row, comp_row, time, key)) continue;
      if (cached && cached_count != nullptr && key == cached_key) {
        ++*cached_count;
        continue;
      }
      cached_count = &++counts_[key];
      cached_key = key;
    }
  } catch (const std::exception&) {
    FailWhileCounting();
  }
}

template <class Source>
bool GroupCounter::BuildKeyPath(Source& source, uint32_t cat_row, uint32_t comp_row, uint32_t time,
                                KeyPath& key) {
  for (size_t level = 0; level < family_.level_count; ++level) {
    uint32_t part = 0;
    switch (family_.levels[level]) {
      case KeyKind::kDay: part = time / 86400 * 86400; break;
      case KeyKind::kHour: part = time / 3600 * 3600; break;
      case KeyKind::kLog: part = log_id_; break;
      case KeyKind::kComputer:
        if (computer_ids_[comp_row] == kUnset) computer_ids_[comp_row] = strings_.Intern(source.Computer(comp_row));
        part = last_computer_ = computer_ids_[comp_row];
        break;
      case KeyKind::kCategory:
        if (category_ids_[cat_row] == kUnset) {
          std::u16string name = source.Category(cat_row);
          category_ids_[cat_row] = strings_.Intern(name.empty() ? kNoCategory : name);
        }
        part = last_category_ = category_ids_[cat_row];
        break;
      case KeyKind::kEventType: part = source.EventType(cat_row); break;
      case KeyKind::kEventId: part = last_event_id_ = source.EventId(cat_row) & event_id_mask_; break;
    }
    key[level] = part;
  }
  return true;
}

void GroupCounter::FailWhileCounting() {
  Out() << heading_ << "\n";
  const auto text = [this](uint32_t id) { return id < strings_.size() ? &strings_.Text(id) : nullptr; };
  WriteFailureLabel(label_, last_event_id_, text(last_computer_), text(log_id_), text(last_category_));
  FlushOutput();
  std::_Exit(255);
}

std::vector<std::pair<KeyPath, uint64_t>> GroupCounter::SortedCounts() const {
  std::vector<std::pair<KeyPath, uint64_t>> rows(counts_.begin(), counts_.end());
  const auto less_at = [this](size_t level, uint32_t a, uint32_t b) {
    switch (family_.levels[level]) {
      case KeyKind::kLog:
      case KeyKind::kComputer:
      case KeyKind::kCategory: return strings_.Text(a) < strings_.Text(b);
      case KeyKind::kEventId: return static_cast<int32_t>(a) < static_cast<int32_t>(b);
      default: return a < b;
    }
  };
  std::sort(rows.begin(), rows.end(), [&](const auto& x, const auto& y) {
    for (size_t level = 0; level < family_.level_count; ++level) {
      if (x.first[level] == y.first[level]) continue;
      return less_at(level, x.first[level], y.first[level]);
    }
    return false;
  });
  return rows;
}

void GroupCounter::AppendLine(std::string& line, const KeyPath& key, uint64_t count,
                              const std::vector<std::string>& texts) const {
  for (size_t level = 0; level < family_.level_count; ++level) {
    if (level > 0) line += ',';
    switch (family_.levels[level]) {
      case KeyKind::kDay: line += FormatDay(key[level]); break;
      case KeyKind::kHour: line += FormatHour(key[level]); break;
      case KeyKind::kLog:
      case KeyKind::kComputer:
      case KeyKind::kCategory: line += texts[key[level]]; break;
      case KeyKind::kEventType: line += std::to_string(key[level]); break;
      case KeyKind::kEventId: line += std::to_string(static_cast<int32_t>(key[level])); break;
    }
  }
  line += ',';
  line += std::to_string(count);
  line += '\n';
}

std::vector<std::string> GroupCounter::Utf8Texts() const {
  std::vector<std::string> texts;
  texts.reserve(strings_.size());
  for (size_t id = 0; id < strings_.size(); ++id) texts.push_back(ToUtf8(strings_.Text(static_cast<uint32_t>(id))));
  return texts;
}

void GroupCounter::Report() {
  const std::vector<std::string> texts = Utf8Texts();
  std::string line;
  for (const auto& [key, count] : SortedCounts()) {
    line.clear();
    AppendLine(line, key, count, texts);
    Out() << line;
    m_total += count;
  }
}

}  // namespace tallymere
