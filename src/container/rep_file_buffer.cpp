#include "container/rep_file_buffer.h"

#include <limits>

#include "parts/buffer_ids.h"
#include "parts/part_factory.h"
#include "parts/rep_part_buffer.h"

namespace tallymere {

namespace {

// Previous-footer offset and length, table length and property length.
constexpr uint32_t kMinFooterSize = 8 + 4 + 8 + 8;
constexpr uint64_t kChainBytes = 8 + 4;

constexpr uint64_t kHeaderSize = 44;
// What a footer's bytes are read in at first: a sound footer whole.
constexpr uint64_t kFooterWindow = uint64_t{1} << 20;
// What a property costs beyond its text: the map's node and two strings.
constexpr uint64_t kPropertyCost = 128;
constexpr uint64_t kLastFooterOffsetAt = 32;
constexpr uint64_t kLastFooterLenAt = 40;

constexpr std::u16string_view kEventsCount = u"EventsCount";
constexpr std::u16string_view kPrevPositionGuid = u"PrevPositionGUID";
constexpr std::u16string_view kActiveSegmentId = u"ActiveSegmentId";
constexpr std::u16string_view kComputerType = u"ComputerType";
constexpr std::u16string_view kPlatformId = u"PlatformID";
constexpr std::u16string_view kUnderDataSource = u"UnderDataSource";

// Decimal text of a + b, exact even where the sum passes 2^64 - 1.
std::string DecimalSum(uint64_t a, uint64_t b) {
  if (a <= std::numeric_limits<uint64_t>::max() - b) return std::to_string(a + b);
  std::string digits = std::to_string(a);
  for (size_t i = digits.size(); i-- > 0 && b != 0;) {
    const uint64_t digit = static_cast<uint64_t>(digits[i] - '0') + b % 10;
    digits[i] = static_cast<char>('0' + digit % 10);
    b = b / 10 + digit / 10;
  }
  return b != 0 ? std::to_string(b) + digits : digits;
}

// Reports a property section that is inconsistent in the way named.
void ReportBadProperty(Notes& notes, const char* what) {
  notes.err() << what << "\n";
  notes.out() << what << "\n";
}

// The kind of an entry whose name tells none, from the first bytes of its
// buffer (none when they lie outside the image).
int32_t KindByMagic(const ImageSource& source, uint64_t offset) {
  if (!RangeFits(offset, 4, source.size())) return kUnknownBufferId;
  ByteBuffer storage;
  return BufferIdFromMagic(source.Read(offset, 4, storage));
}

}  // namespace

const std::u16string* RepFooter::FindProperty(std::u16string_view name) const {
  const auto it = properties.find(name);
  return it == properties.end() ? nullptr : &it->second;
}

RepFileBuffer::RepFileBuffer(ByteBuffer image) : RepBuffer(kFileBufferId), owned_(std::move(image)) {
  if (Open(Bytes(owned_))) part_flags = RepFooter::AllSelected();
}

bool RepFileBuffer::Open(Bytes image) {
  own_source_ = std::make_unique<MemorySource>(image);
  const bool opened = OpenSource(*own_source_);
  notes.Write();
  return opened;
}

bool RepFileBuffer::OpenSource(const ImageSource& source) {
  source_ = &source;
  footer_budget_left_ = kFooterBudget;
  buffer_len = source.size();
  buffer_id = kFileBufferId;
  scanned = false;
  SourceWindow window(source);
  if (!CheckHeader(window)) return false;
  if (ScanFooters() != 0) {
    notes.out() << "ScanFooters() error\n";
    return false;
  }
  scanned = true;
  return true;
}

bool RepFileBuffer::CheckHeader(SourceWindow& window) {
  // An image too short for the header is reported like a header whose
  // fields do not add up; the fields are read only as far as they exist.
  window.Load(0, kHeaderSize);
  const ByteView header(window.Get(0, std::min(kHeaderSize, buffer_len)));
  last_footer_offset = header.U64At(kLastFooterOffsetAt);
  last_footer_len = header.U32At(kLastFooterLenAt);
  const uint64_t sum = last_footer_offset + last_footer_len;
  if (buffer_len >= kHeaderSize && sum == buffer_len) return true;
  notes.out() << "last_footer_offset + last_footer_len != buffer_len :" << sum << " != " << buffer_len << "\n";
  return false;
}

// The chain fields of the footer at `footer`: width 8 is the previous
// footer's offset at footer + 0, width 4 its length at footer + 8. Taking the
// footer's own offset keeps every position exact: a link read from a damaged
// file may lie so near the top of the range that footer + 8 would wrap.
uint64_t RepFileBuffer::ReadChainField(SourceWindow& window, uint64_t footer, int width, int& status) {
  const uint64_t field = width == 8 ? 0 : 8;
  if (!RangeFits(footer, field + width, buffer_len)) {
    notes.out() << "Current buffer offset " << DecimalSum(footer, field + width) << " is out of range " << buffer_len
                << "\n";
    status = -1;
    return 0;
  }
  const ByteView bytes(window.Get(footer + field, static_cast<uint64_t>(width)));
  return width == 8 ? bytes.U64At(0) : bytes.U32At(0);
}

// Running out of memory while the list grows is no fault of the file: it
// reaches the caller as std::bad_alloc and stops the run.
int RepFileBuffer::ScanFooters() {
  footers.clear();
  if (source_ == nullptr) return -1;
  SourceWindow window(*source_);
  uint64_t offset = last_footer_offset;
  uint32_t length = last_footer_len;
  int status = 0;
  for (;;) {
    if (!SpendOnFooters(sizeof(RepFooter), notes, "Footer chain")) return -1;
    RepFooter& footer = footers.emplace_front();
    footer.offset = offset;
    footer.length = length;
    window.Load(offset, kChainBytes);
    const uint64_t previous = ReadChainField(window, offset, 8, status);
    const uint32_t previous_len = static_cast<uint32_t>(ReadChainField(window, offset, 4, status));
    if (previous == 0) return status;
    // Each step must move towards the start, so the walk ends and no
    // footer is read twice; and the earlier footer, which holds at least
    // its links and both section lengths, must end before this one
    // begins, so a crafted chain cannot hold more footers than the image
    // has room for.
    if (previous >= offset) {
      // Not followed. A link past the image end is reported as reading
      // the linked footer's chain fields there would be; one inside is
      // refused silently.
      ReadChainField(window, previous, 8, status);
      ReadChainField(window, previous, 4, status);
      return -1;
    }
    if (previous_len < kMinFooterSize || previous + previous_len > offset) return -1;
    offset = previous;
    length = previous_len;
  }
}

void RepFileBuffer::ReadFooters() {
  tasks_.clear();
  if (!scanned || source_ == nullptr) return;
  SourceWindow window(*source_);
  for (uint32_t f = 0; f < footers.size(); ++f) {
    RepFooter& footer = footers[f];
    ReadFooter(footer, window);
    // The parse ends at a footer that fails or stops it: later ones are
    // never read.
    if (footer.read_failed || footer.stops_as) return;
    PlanParts(footer, f);
    if (footer.reachable < footer.entries.size()) return;
  }
}

void RepFileBuffer::ReadFooter(RepFooter& footer, SourceWindow& window) {
  // The footer's own bytes, which hold its table and properties in a sound
  // image, in one read; a larger one is read as far as its budget allows.
  window.Load(footer.offset, std::min<uint64_t>(footer.length, kFooterWindow));
  if (!ParseBufferTable(footer, window) || ParseProperties(footer, window) == 0) {
    footer.read_failed = true;
    return;
  }
  Classify(footer);
}

void RepFileBuffer::Classify(RepFooter& footer) {
  if (footer.table_len == 0) {
    if (footer.HasProperty(kActiveSegmentId)) {
      footer.stops_as = FileKind::ActiveSegment;
    } else {
      footer.read_failed = true;
    }
    return;
  }
  if (footer.HasProperty(kPrevPositionGuid)) {
    footer.stops_as = FileKind::PrevPosition;
    return;
  }
  if (const std::u16string* count = footer.FindProperty(kEventsCount)) {
    const std::optional<uint32_t> events = PropertyNumber(*count);
    if (!events) {
      footer.read_failed = true;
    } else if (*events == 0) {
      footer.stops_as = FileKind::NoEvents;
    }
  }
}

bool RepFileBuffer::ParseBufferTable(RepFooter& footer, SourceWindow& window) {
  footer.table_position = footer.offset + 12;
  if (!RangeFits(footer.table_position, 8, buffer_len)) return false;
  footer.table_len = ByteView(window.Get(footer.table_position, 8)).U64At(0);
  if (!RangeFits(footer.table_position + 8, footer.table_len, buffer_len)) return false;
  if (!SpendOnFooters(footer.table_len, footer.read_notes, "Buffer table")) return false;
  ByteReader table(window.Get(footer.table_position + 8, footer.table_len));
  while (!table.AtEnd()) {
    if (!SpendOnFooters(sizeof(BufferEntry), footer.read_notes, "Buffer table")) return false;
    BufferEntry entry;
    entry.name_len = table.U32();
    entry.name = table.Utf16(entry.name_len);
    entry.unused = table.U64();
    entry.offset = table.U64();
    entry.length = table.U64();
    if (!table.ok()) return false;
    entry.buffer_id = BufferIdFromName(entry.name);
    if (entry.buffer_id == kUnknownBufferId) entry.buffer_id = KindByMagic(*source_, entry.offset);
    footer.entries.push_back(std::move(entry));
  }
  return true;
}

uint64_t RepFileBuffer::ParseProperties(RepFooter& footer, SourceWindow& window) {
  const uint64_t position = footer.table_position + footer.table_len + 8;
  footer.property_position = position;
  // The section ends where the footer ends; for the last footer that is the
  // end of the image.
  const uint64_t end = footer.offset + footer.length;
  const uint64_t length = RangeFits(position, 8, buffer_len) ? ByteView(window.Get(position, 8)).U64At(0) : 0;
  footer.property_len = length;
  const bool fits = end <= buffer_len && end >= footer.offset && position + 8 <= end;
  if (!fits || length != end - (position + 8)) {
    ReportBadProperty(footer.read_notes, "Wrong property len!!!");
    footer.read_notes.out() << "property_offset = " << position << "\n";
    footer.read_notes.out() << "property_len = " << length << "\n";
    footer.read_notes.out() << "property_offset + property_len = " << position + length << "\n";
    footer.read_notes.out() << "footer size = " << end << "\n";
    return 0;
  }
  if (length == 0) return 0;
  if (!SpendOnFooters(length, footer.read_notes, "Property section")) return 0;
  ByteReader section(window.Get(position + 8, length));
  while (!section.AtEnd()) {
    if (!SpendOnFooters(kPropertyCost, footer.read_notes, "Property section")) return 0;
    const uint32_t name_len = section.U32();
    if (!section.ok() || 2 * uint64_t{name_len} > section.remaining()) {
      ReportBadProperty(footer.read_notes, "Wrong property name!!!");
      return 0;
    }
    std::u16string name = section.Utf16(name_len);
    const uint32_t value_len = section.U32();
    if (!section.ok() || 2 * uint64_t{value_len} > section.remaining()) {
      ReportBadProperty(footer.read_notes, "Wrong property value!!!");
      return 0;
    }
    footer.properties.emplace(std::move(name), section.Utf16(value_len));
  }
  return length;
}

bool RepFileBuffer::SpendOnFooters(uint64_t bytes, Notes& notes, const char* what) {
  if (bytes <= footer_budget_left_) {
    footer_budget_left_ -= bytes;
    return true;
  }
  footer_budget_left_ = 0;
  notes.out() << what << " exceeds the " << (kFooterBudget >> 20) << " MiB an image's footers may take\n";
  return false;
}

void RepFileBuffer::ReleaseParts(RepFooter& footer) {
  for (RepPart& part : footer.parts) {
    for (auto& slot : part.slots) slot.reset();
  }
  for (auto& slot : footer.file_wide_parts) slot.reset();
}

void RepFileBuffer::ReleaseAllParts() {
  for (RepFooter& footer : footers) ReleaseParts(footer);
}

PropInfoStatus RepFileBuffer::ReadPropInfoStatus(const RepFooter& footer, FooterPropInfo& info, Notes& notes) {
  const auto missing = [&](std::u16string_view name) {
    std::string narrow;
    for (char16_t c : name) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    narrow += " not found in footer property.\n";
    notes.err() << narrow;
    notes.out() << narrow;
    PrintProperties(notes.out(), footer);
    return PropInfoStatus::kMissing;
  };
  // A number that cannot be read is no better than a missing one.
  const auto number = [&](std::u16string_view name) -> std::optional<uint32_t> {
    const std::u16string* text = footer.FindProperty(name);
    return text ? PropertyNumber(*text) : std::nullopt;
  };
  const std::optional<uint32_t> computer_type = number(kComputerType);
  if (!computer_type) return missing(kComputerType);
  info.ComputerType = *computer_type;
  const std::optional<uint32_t> events = number(kEventsCount);
  if (!events) {
    if (!footer.HasProperty(kEventsCount) && footer.HasProperty(kPrevPositionGuid)) return PropInfoStatus::kExcused;
    return missing(kEventsCount);
  }
  info.ulEventNum = *events;
  const std::optional<uint32_t> platform = number(kPlatformId);
  if (!platform) return missing(kPlatformId);
  info.PlatformID = *platform;
  const std::u16string* source = footer.FindProperty(kUnderDataSource);
  if (!source) return missing(kUnderDataSource);
  info.strings[2] = *source;
  return PropInfoStatus::kOk;
}

PropInfoStatus RepFileBuffer::ReadPropInfoStatus(const RepFooter& footer, FooterPropInfo& info) {
  Notes notes;
  const PropInfoStatus status = ReadPropInfoStatus(footer, info, notes);
  notes.Write();
  return status;
}

int RepFileBuffer::ReadPropInfo(const RepFooter& footer, FooterPropInfo& info) {
  return ReadPropInfoStatus(footer, info) == PropInfoStatus::kOk ? 0 : -1;
}

void RepFileBuffer::PrintProperties(TextOut& out, const RepFooter& footer) {
  for (const auto& [name, value] : footer.properties) out << name << " = " << value << "\n";
  out << "\n";
}

void RepFileBuffer::Dump(TextOut& out) {
  if (footers.size() != 1) {
    out << "===============\nmultifooter file: " << uint64_t{footers.size()} << "\n===============\n";
  }
  for (const RepFooter& footer : footers) {
    out << "footer offset = " << footer.offset << "\nfooter len = " << footer.length << "\n";
    PrintProperties(out, footer);
    for (size_t r = 1; r < footer.nested_refs.size(); ++r) {
      out << "nested image: offset = " << footer.nested_refs[r].offset << " len = " << footer.nested_refs[r].length
          << "\n";
    }
    for (const RepPart& part : footer.parts) part.Dump(out);
  }
}

std::unique_ptr<RepBuffer> CreateBuffer(ByteBuffer content, int32_t id, Notes& notes) {
  if (id == kUnknownBufferId) id = BufferIdFromMagic(Bytes(content));
  if (id == kFileBufferId) return std::make_unique<RepFileBuffer>(std::move(content));
  return CreatePartBuffer(std::move(content), id, notes);
}

}  // namespace tallymere
