#include "container/rep_file_buffer.h"

#include <exception>
#include <limits>
#include <unordered_map>

#include "container/rep_data_buffer.h"
#include "parts/buffer_ids.h"
#include "parts/part_factory.h"
#include "parts/rep_part_buffer.h"
#include "platform/output.h"

namespace tallymere {

namespace {

// Previous-footer offset and length, table length and property length.
constexpr uint32_t kMinFooterSize = 8 + 4 + 8 + 8;

constexpr uint64_t kHeaderSize = 44;
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

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Reports a property section that is inconsistent in the way named.
void ReportBadProperty(const char* what) {
  Err() << what << "\n";
  Out() << what << "\n";
}

// The footer's part with the index, added in order of first appearance.
// `positions` maps each index to its place in footer.parts, so a table of
// many parts is sorted in time linear in its length, not quadratic.
RepPart& FindOrAddPart(RepFooter& footer, std::unordered_map<uint32_t, size_t>& positions, uint32_t index) {
  const auto [position, added] = positions.try_emplace(index, footer.parts.size());
  if (added) {
    footer.parts.emplace_back();
    footer.parts.back().index = index;
  }
  return footer.parts[position->second];
}

}  // namespace

std::optional<uint32_t> PropertyNumber(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i == text.size() || text[i] < u'0' || text[i] > u'9') return std::nullopt;
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  }
  const uint32_t magnitude = static_cast<uint32_t>(value);
  return negative ? 0u - magnitude : magnitude;
}

const std::u16string* RepFooter::FindProperty(std::u16string_view name) const {
  const auto it = properties.find(name);
  return it == properties.end() ? nullptr : &it->second;
}

RepFileBuffer::RepFileBuffer(ByteBuffer image) : RepBuffer(kFileBufferId), owned_(std::move(image)) {
  if (Open(Bytes(owned_))) part_flags = RepFooter::AllSelected();
}

bool RepFileBuffer::Open(Bytes image) {
  SetBytes(image);
  buffer_id = kFileBufferId;
  scanned = false;
  if (!CheckHeader()) return false;
  if (ScanFooters() != 0) {
    Out() << "ScanFooters() error\n";
    return false;
  }
  scanned = true;
  return true;
}

bool RepFileBuffer::CheckHeader() {
  // An image too short for the header is reported like a header whose
  // fields do not add up; the fields are read only as far as they exist.
  last_footer_offset = bytes().U64At(kLastFooterOffsetAt);
  last_footer_len = bytes().U32At(kLastFooterLenAt);
  const uint64_t sum = last_footer_offset + last_footer_len;
  if (buffer_len >= kHeaderSize && sum == buffer_len) return true;
  Out() << "last_footer_offset + last_footer_len != buffer_len :" << sum << " != " << buffer_len << "\n";
  return false;
}

// The chain fields of the footer at `footer`: width 8 is the previous
// footer's offset at footer + 0, width 4 its length at footer + 8. Taking the
// footer's own offset keeps every position exact: a link read from a damaged
// file may lie so near the top of the range that footer + 8 would wrap.
uint64_t RepFileBuffer::ReadChainField(uint64_t footer, int width, int& status) const {
  const uint64_t field = width == 8 ? 0 : 8;
  if (!bytes().Fits(footer, field + width)) {
    Out() << "Current buffer offset " << DecimalSum(footer, field + width) << " is out of range " << buffer_len
          << "\n";
    status = -1;
    return 0;
  }
  return width == 8 ? bytes().U64At(footer) : bytes().U32At(footer + field);
}

// Running out of memory while the list grows is no fault of the file: it
// reaches the caller as std::bad_alloc and stops the run.
int RepFileBuffer::ScanFooters() {
  footers.clear();
  uint64_t offset = last_footer_offset;
  uint32_t length = last_footer_len;
  int status = 0;
  for (;;) {
    RepFooter& footer = footers.emplace_front();
    footer.offset = offset;
    footer.length = length;
    footer.image = bytes().span();
    const uint64_t previous = ReadChainField(offset, 8, status);
    const uint32_t previous_len = static_cast<uint32_t>(ReadChainField(offset, 4, status));
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
      ReadChainField(previous, 8, status);
      ReadChainField(previous, 4, status);
      return -1;
    }
    if (previous_len < kMinFooterSize || previous + previous_len > offset) return -1;
    offset = previous;
    length = previous_len;
  }
}

bool RepFileBuffer::ParseBufferTable(RepFooter& footer) {
  footer.table_position = footer.offset + 12;
  if (!bytes().Fits(footer.table_position, 8)) return false;
  footer.table_len = bytes().U64At(footer.table_position);
  if (!bytes().Fits(footer.table_position + 8, footer.table_len)) return false;
  ByteReader table(bytes().SubAt(footer.table_position + 8, footer.table_len));
  while (!table.AtEnd()) {
    BufferEntry entry;
    entry.name_len = table.U32();
    entry.name = table.Utf16(entry.name_len);
    entry.unused = table.U64();
    entry.offset = table.U64();
    entry.length = table.U64();
    if (!table.ok()) return false;
    entry.buffer_id = BufferIdFromName(entry.name);
    if (entry.buffer_id == kUnknownBufferId) entry.buffer_id = BufferIdFromMagic(bytes().SubAt(entry.offset, 4));
    footer.entries.push_back(std::move(entry));
  }
  return true;
}

uint64_t RepFileBuffer::ParseProperties(RepFooter& footer) {
  const uint64_t position = footer.table_position + footer.table_len + 8;
  footer.property_position = position;
  // The section ends where the footer ends; for the last footer that is the
  // end of the image.
  const uint64_t end = footer.offset + footer.length;
  const uint64_t length = bytes().Fits(position, 8) ? bytes().U64At(position) : 0;
  footer.property_len = length;
  const bool fits = end <= buffer_len && end >= footer.offset && position + 8 <= end;
  if (!fits || length != end - (position + 8)) {
    ReportBadProperty("Wrong property len!!!");
    Out() << "property_offset = " << position << "\n";
    Out() << "property_len = " << length << "\n";
    Out() << "property_offset + property_len = " << position + length << "\n";
    Out() << "footer size = " << end << "\n";
    return 0;
  }
  if (length == 0) return 0;
  ByteReader section(bytes().SubAt(position + 8, length));
  while (!section.AtEnd()) {
    const uint32_t name_len = section.U32();
    if (!section.ok() || 2 * uint64_t{name_len} > section.remaining()) {
      ReportBadProperty("Wrong property name!!!");
      return 0;
    }
    std::u16string name = section.Utf16(name_len);
    const uint32_t value_len = section.U32();
    if (!section.ok() || 2 * uint64_t{value_len} > section.remaining()) {
      ReportBadProperty("Wrong property value!!!");
      return 0;
    }
    footer.properties.emplace(std::move(name), section.Utf16(value_len));
  }
  return length;
}

bool RepFileBuffer::MakePart(const BufferEntry& entry, int32_t id, std::unique_ptr<RepPartBuffer>& slot) {
  RepDataBuffer data({bytes().span(), entry.offset, entry.length});
  slot = data.CreatePart(id);
  if (data.parse_status() != 0) damaged_content = true;
  if (budget == nullptr || budget->Spend(slot ? slot->buffer_len : 0)) return true;
  slot.reset();
  Out() << kOverBudgetMessage;
  return false;
}

int RepFileBuffer::BuildParts(RepFooter& footer) {
  std::unordered_map<uint32_t, size_t> positions;
  for (const BufferEntry& entry : footer.entries) {
    const int32_t id = entry.buffer_id;
    if (id < kDataBufferId) {
      Out() << "Unknown Buffer ID = " << id << "\n";
      continue;
    }
    if (!RepDataBuffer::WellFormed({bytes().span(), entry.offset, entry.length})) return -1;
    if (id == kDataBufferId) {
      footer.nested_refs.push_back(BufferRef{bytes().span(), entry.offset, entry.length, kUnknownBufferId});
    } else if (id < kPartKinds) {
      RepPart& part = FindOrAddPart(footer, positions, static_cast<uint32_t>(PartIndexFromName(entry.name)));
      if (footer.part_flags[id] != 0 && !MakePart(entry, id, part.slots[id])) return -1;
    } else if (footer.file_wide_flags[id - kFirstFileWideId] != 0) {
      if (!MakePart(entry, id, footer.file_wide_parts[id - kFirstFileWideId])) return -1;
    }
  }
  return 0;
}

int RepFileBuffer::ParseFooter(RepFooter& footer, bool& stop) {
  if (!ParseBufferTable(footer) || ParseProperties(footer) == 0) return -1;
  stop = true;
  if (footer.table_len == 0) {
    if (!footer.HasProperty(kActiveSegmentId)) return -1;
    kind = FileKind::ActiveSegment;
    return 0;
  }
  if (footer.HasProperty(kPrevPositionGuid)) {
    kind = FileKind::PrevPosition;
    return 0;
  }
  if (const std::u16string* count = footer.FindProperty(kEventsCount)) {
    const std::optional<uint32_t> events = PropertyNumber(*count);
    if (!events) return -1;
    if (*events == 0) {
      kind = FileKind::NoEvents;
      return 0;
    }
  }
  stop = false;
  kind = FileKind::Data;
  footer.part_flags = part_flags;
  if (BuildParts(footer) != 0) return -1;
  for (RepPart& part : footer.parts) {
    for (auto& slot : part.slots) {
      if (slot && slot->Parse() != 0) return -1;
    }
  }
  return 0;
}

int RepFileBuffer::Parse() {
  if (!scanned) return -1;
  try {
    for (RepFooter& footer : footers) {
      bool stop = false;
      if (ParseFooter(footer, stop) != 0) return -1;
      if (stop) return 0;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    throw;  // memory ran out: the run stops, no file is to blame
  } catch (const std::exception&) {
    return -1;  // a malformed part index
  }
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

PropInfoStatus RepFileBuffer::ReadPropInfoStatus(const RepFooter& footer, FooterPropInfo& info) {
  const auto missing = [&](std::u16string_view name) {
    PrintMissingProperty(name);
    PrintProperties(footer);
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

int RepFileBuffer::ReadPropInfo(const RepFooter& footer, FooterPropInfo& info) {
  return ReadPropInfoStatus(footer, info) == PropInfoStatus::kOk ? 0 : -1;
}

void RepFileBuffer::PrintMissingProperty(std::u16string_view name) {
  std::string narrow;
  for (char16_t c : name) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  narrow += " not found in footer property.\n";
  Err() << narrow;
  Out() << narrow;
}

void RepFileBuffer::PrintProperties(const RepFooter& footer) {
  for (const auto& [name, value] : footer.properties) Out() << name << " = " << value << "\n";
  Out() << "\n";
}

void RepFileBuffer::Dump() {
  if (footers.size() != 1) {
    Out() << "===============\nmultifooter file: " << uint64_t{footers.size()} << "\n===============\n";
  }
  for (const RepFooter& footer : footers) {
    Out() << "footer offset = " << footer.offset << "\nfooter len = " << footer.length << "\n";
    PrintProperties(footer);
    for (size_t r = 1; r < footer.nested_refs.size(); ++r) {
      Out() << "nested image: offset = " << footer.nested_refs[r].offset << " len = "
            << footer.nested_refs[r].length << "\n";
    }
    for (const RepPart& part : footer.parts) part.Dump();
  }
}

std::unique_ptr<RepBuffer> CreateBuffer(ByteBuffer content, int32_t id) {
  if (id == kUnknownBufferId) id = BufferIdFromMagic(Bytes(content));
  if (id == kFileBufferId) return std::make_unique<RepFileBuffer>(std::move(content));
  return CreatePartBuffer(std::move(content), id);
}

}  // namespace tallymere
