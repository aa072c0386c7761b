#include "scan/process_file.h"

#include "buffers/value_lines.h"
#include "container/rep_data_buffer.h"
#include "parts/rep_events_buffer.h"
#include "platform/output.h"

namespace tallymere {

namespace {

// Opens and parses one image of the file; a failure is reported with the
// file's path and marks the counter failed for the rest of the run.
void ReportProblem(const RepFileInput& input, RepCounters& counter) {
  Out() << "some problem in file:\n" << input.path() << "\n";
  counter.MarkFailed();
}

void OpenAndParse(RepFileBuffer& image, Bytes bytes, const RepFileInput& input, UnpackBudget& budget,
                  RepCounters& counter) {
  image.budget = &budget;
  if (image.Open(bytes)) image.part_flags = input.part_flags();
  if (image.Parse() != 0) ReportProblem(input, counter);
  if (image.damaged_content) counter.incomplete = true;
}

uint64_t NestedRefCount(const RepFileBuffer& image) {
  uint64_t count = 0;
  for (const RepFooter& footer : image.footers) count += footer.nested_refs.size() - 1;  // less the placeholder
  return count;
}

// Mode -1: adds the footer's "EventsCount". False when the remaining footers
// of the image are not to be counted.
bool AddEventsCountProperty(const RepFooter& footer, RepCounters& counter) {
  const std::u16string* text = footer.FindProperty(u"EventsCount");
  const std::optional<uint32_t> events = text ? PropertyNumber(*text) : std::nullopt;
  if (events) {
    counter.m_prop_total += *events;
    counter.m_total = counter.m_prop_total;
    return true;
  }
  if (!text && footer.HasProperty(u"PrevPositionGUID")) return false;
  Err() << "EventsCount not found in footer property.\n";
  for (const auto& [name, value] : footer.properties) Out() << name << " = " << value << "\n";
  counter.incomplete = true;
  return false;
}

void ReportCountMismatch(const FooterPropInfo& info, uint32_t tmp_ulCount, const RepCounters& counter) {
  Err() << "prop_info.ulEventNum != tmp_ulCount";
  Out() << (counter.current_path ? *counter.current_path : std::string()) << "\n";
  Out() << "prop_info.ulEventNum != tmp_ulCount" << "\nprop_info.ulEventNum = ";
  PrintU32WithHex(Out(), info.ulEventNum);
  Out() << "tmp_ulCount = ";
  PrintU32WithHex(Out(), tmp_ulCount);
  Out() << "\n";
}

// Counts the nested images of a container image; -1 when counting was
// refused.
int CountNestedImages(RepFileBuffer& outer, const RepFileInput& input, UnpackBudget& budget,
                      RepCounters& counter) {
  const uint64_t references = NestedRefCount(outer);
  for (uint64_t k = 0; k < references; ++k) {
    const BufferRef ref = NextNestedRef(outer);
    if (ref.IsNull()) break;
    // The data buffer owns the unpacked image while the nested image reads it.
    ByteBuffer storage;
    RepDataBuffer data(ref.source->Read(ref.offset, ref.length, storage));
    const int32_t nested = data.ReadNestedImage();
    data.notes.Write();
    if (data.parse_status() != 0) counter.incomplete = true;
    if (nested == kUnknownBufferId) {
      // Without a known magic the rest of the container cannot be trusted.
      counter.incomplete = true;
      break;
    }
    if (!budget.Spend(data.image().size())) {
      Out() << kOverBudgetMessage;
      ReportProblem(input, counter);
      break;
    }
    RepFileBuffer image;
    OpenAndParse(image, data.image(), input, budget, counter);
    const int status = image.kind == FileKind::Data ? CountImage(image, &counter) : 0;
    image.ReleaseAllParts();
    if (status < 0) return -1;
  }
  return 0;
}

}  // namespace

BufferRef NextNestedRef(RepFileBuffer& image) {
  while (image.footer_cursor < image.footers.size()) {
    RepFooter& footer = image.footers[image.footer_cursor];
    if (footer.ref_cursor + 1 < footer.nested_refs.size()) return footer.nested_refs[++footer.ref_cursor];
    ++image.footer_cursor;
  }
  return image.footers.empty() ? BufferRef{} : image.footers.back().nested_refs.front();
}

void CountFooter(RepFooter& footer, RepCounters& counter) {
  FooterPropInfo info;
  const PropInfoStatus status = RepFileBuffer::ReadPropInfoStatus(footer, info);
  if (status != PropInfoStatus::kOk) {
    if (status == PropInfoStatus::kMissing) counter.incomplete = true;
    return;
  }
  if (info.ulEventNum == 0) {
    Out() << "0 == prop_info.ulEventNum\n";
    return;
  }
  uint32_t tmp_ulCount = 0;
  RepPartCount count;
  for (RepPart& part : footer.parts) {
    const RepEventsBuffer* events = part.events();
    if (events == nullptr) continue;
    tmp_ulCount += events->ulCount;
    count.ulCount = events->ulCount;
    if (!counter.fast) part.DecodeSlots();
    counter.CountPart(part, info, count);
  }
  counter.m_prop_total += info.ulEventNum;
  if (info.ulEventNum != tmp_ulCount) {
    ReportCountMismatch(info, tmp_ulCount, counter);
    counter.incomplete = true;
  }
}

int CountImage(RepFileBuffer& image, RepCounters* counter) {
  if (counter == nullptr) return -1;
  if (counter->failed()) {
    counter->incomplete = true;
    return -1;
  }
  for (RepFooter& footer : image.footers) {
    if (counter->type_code == kEventCountType) {
      if (!AddEventsCountProperty(footer, *counter)) return 0;
    } else {
      CountFooter(footer, *counter);
    }
  }
  return 0;
}

void ParseFile(const RepFileInput& input, bool decode, ParsedFile& parsed) {
  RepFileBuffer& image = parsed.image;
  image.budget = &parsed.budget;
  if (image.Open(input.bytes())) image.part_flags = input.part_flags();
  parsed.parse_status = image.Parse();
  // Nested images are parsed while they are counted, one after another.
  decode = decode && image.kind == FileKind::Data && NestedRefCount(image) == 0;
  parsed.footprint = input.bytes().size();
  for (RepFooter& footer : image.footers) {
    for (RepPart& part : footer.parts) {
      for (const auto& slot : part.slots) parsed.footprint += slot ? slot->buffer_len : 0;
      if (!decode || part.events() == nullptr) continue;
      part.DecodeSlots();
      parsed.footprint += uint64_t{part.events()->ulCount} * sizeof(RepEventEntry);
    }
  }
}

int CountParsedFile(ParsedFile& parsed, const RepFileInput& input, RepCounters& counter) {
  RepFileBuffer& image = parsed.image;
  if (parsed.parse_status != 0) ReportProblem(input, counter);
  if (image.damaged_content) counter.incomplete = true;
  int status = 0;
  if (image.kind == FileKind::Data) {
    if (NestedRefCount(image) == 0) {
      status = CountImage(image, &counter) < 0 ? -1 : 0;
    } else {
      status = CountNestedImages(image, input, parsed.budget, counter);
    }
  }
  image.ReleaseAllParts();
  return status;
}

int ProcessFile(RepFileInput& input, RepCounters& counter) {
  if (!input.loaded()) {
    counter.incomplete = true;  // already reported by the reading step
    return -2;
  }
  ParsedFile parsed(input.bytes().size());
  ParseFile(input, false, parsed);
  return CountParsedFile(parsed, input, counter);
}

}  // namespace tallymere
