#include "repwriter/description.h"

#include <algorithm>
#include <tuple>

namespace repwriter {

namespace {

bool IsRecordDamage(Damage what) {
  return what == Damage::CategoryIndexOutOfRange || what == Damage::ComputerIndexOutOfRange ||
         what == Damage::StrayBytesAfterLastRecord;
}

std::u16string Decimal16(std::uint64_t value) {
  const std::string text = std::to_string(value);
  return {text.begin(), text.end()};
}

std::optional<std::u16string> FindProperty(const std::vector<Property>& properties, std::u16string_view name) {
  for (const Property& p : properties) {
    if (p.name == name) return p.value;
  }
  return std::nullopt;
}

// Reads a leading decimal number the way the reader's conversion does for
// well-formed values ("12x" is 12); nothing when there is no digit.
std::optional<std::uint32_t> LeadingDecimal(std::u16string_view text) {
  if (text.empty() || text[0] < u'0' || text[0] > u'9') return std::nullopt;
  std::uint32_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') break;
    value = value * 10 + static_cast<std::uint32_t>(c - u'0');
  }
  return value;
}

std::size_t DescribedEventCount(const FooterDescription& footer) {
  std::size_t count = 0;
  for (const PartDescription& part : footer.parts) count += part.events.size();
  return count;
}

std::vector<Property> StandardProperties(const FooterDescription& footer) {
  std::vector<Property> properties;
  switch (footer.role) {
    case FooterRole::Data:
      // A container's own footer counts nothing; its nested images do.
      if (footer.nested.empty()) properties.push_back({kEventsCount, Decimal16(DescribedEventCount(footer))});
      break;
    case FooterRole::NoEvents: properties.push_back({kEventsCount, u"0"}); break;
    case FooterRole::PrevPosition:
      properties.push_back({kPrevPositionGuid, u"{6F1C2A3B-0D4E-4F50-9A61-72B83C94D0A5}"});
      break;
    case FooterRole::ActiveSegment: properties.push_back({kActiveSegmentId, u"1"}); break;
  }
  properties.push_back({kComputerType, Decimal16(footer.computer_type)});
  properties.push_back({kPlatformId, Decimal16(footer.platform_id)});
  properties.push_back({kUnderDataSource, footer.log});
  return properties;
}

std::vector<Property> FooterProperties(const FooterDescription& footer) {
  std::vector<Property> properties = StandardProperties(footer);
  for (const Property& extra : footer.properties) {
    auto same =
        std::find_if(properties.begin(), properties.end(), [&](const Property& p) { return p.name == extra.name; });
    if (same != properties.end()) {
      same->value = extra.value;
    } else {
      properties.push_back(extra);
    }
  }
  return properties;
}

struct LaidOutPart {
  Bytes category;
  Bytes computer;
  Bytes events;
  std::uint32_t category_rows = 0;
  std::uint32_t computer_rows = 0;
};

class PartLayout {
 public:
  explicit PartLayout(const PartDescription& part) : part_(part), random_(MixSeed(part.index, 0x7A11)) {}

  LaidOutPart Build() {
    for (const Event& event : part_.events) AddEvent(event);
    out_.category_rows = static_cast<std::uint32_t>(category_index_.size());
    out_.computer_rows = static_cast<std::uint32_t>(computer_index_.size());
    return std::move(out_);
  }

 private:
  std::uint32_t CategoryRowOf(const Event& event) {
    auto key = std::make_tuple(event.category, event.event_type, event.event_id);
    auto [it, added] = category_index_.try_emplace(key, static_cast<std::uint32_t>(category_index_.size()));
    if (added) AppendCategory(out_.category, {event.category, event.event_type, 0, event.event_id});
    return it->second;
  }

  std::uint32_t ComputerRowOf(const Event& event) {
    auto [it, added] = computer_index_.try_emplace(event.computer, static_cast<std::uint32_t>(computer_index_.size()));
    if (added) {
      auto chosen = part_.time_bases.find(event.computer);
      const std::uint32_t base = chosen != part_.time_bases.end() ? chosen->second : event.time;
      time_base_.push_back(base);
      AppendComputer(out_.computer, {event.computer, base});
    }
    return it->second;
  }

  void AddEvent(const Event& event) {
    if (event.record) {
      record_ = *event.record;
    } else {
      VaryRecordTail(random_, record_);
    }
    record_.cat_index = CategoryRowOf(event);
    record_.comp_index = ComputerRowOf(event);
    // The reader adds the running sum of deltas to the row's time base; any
    // time is reachable because the sum wraps modulo 2^32.
    const std::uint32_t offset = event.time - time_base_[record_.comp_index];
    record_.time_delta = offset - running_offset_;
    running_offset_ = offset;
    AppendEvent(out_.events, record_);
  }

  const PartDescription& part_;
  SplitMix64 random_;
  EventRecord record_;
  std::map<std::tuple<std::u16string, std::uint16_t, std::uint32_t>, std::uint32_t> category_index_;
  std::map<std::u16string, std::uint32_t> computer_index_;
  std::vector<std::uint32_t> time_base_;
  std::uint32_t running_offset_ = 0;
  LaidOutPart out_;
};

void DamageRecords(Damage what, LaidOutPart& part) {
  constexpr std::size_t kCatIndexAt = 8;
  constexpr std::size_t kCompIndexAt = 12;
  const bool has_record = !part.events.empty();
  if (what == Damage::CategoryIndexOutOfRange && has_record) {
    PatchLittleEndian(part.events, kCatIndexAt, part.category_rows, 4);
  } else if (what == Damage::ComputerIndexOutOfRange && has_record) {
    PatchLittleEndian(part.events, kCompIndexAt, part.computer_rows, 4);
  } else if (what == Damage::StrayBytesAfterLastRecord) {
    part.events.insert(part.events.end(), {0xAB, 0xCD, 0xEF});
  }
}

const RawBuffer* FindRaw(const PartDescription& part, BufferKind kind) {
  for (const RawBuffer& raw : part.raw) {
    if (raw.kind == kind) return &raw;
  }
  return nullptr;
}

void AddBuffer(FooterPlan& footer, BufferKind kind, std::uint32_t part, Bytes laid_out, const PartDescription& d) {
  const RawBuffer* raw = FindRaw(d, kind);
  // A part without events gets no tables of its own, so it has no events
  // buffer and readers do not count it.
  if (!raw && d.events.empty()) return;
  footer.buffers.push_back({PartBufferName(kind, part), raw ? raw->content : std::move(laid_out), false, 0});
}

void LowerPart(const PartDescription& part, const std::vector<DamageSpot>& damage, std::size_t footer_pos,
               FooterPlan& footer) {
  LaidOutPart laid_out = PartLayout(part).Build();
  for (const DamageSpot& spot : damage) {
    if (spot.footer == footer_pos && spot.part == part.index) DamageRecords(spot.what, laid_out);
  }
  AddBuffer(footer, BufferKind::Category, part.index, std::move(laid_out.category), part);
  AddBuffer(footer, BufferKind::Computer, part.index, std::move(laid_out.computer), part);
  AddBuffer(footer, BufferKind::Events, part.index, std::move(laid_out.events), part);
  for (const RawBuffer& raw : part.raw) {
    const bool replaces =
        raw.kind == BufferKind::Category || raw.kind == BufferKind::Computer || raw.kind == BufferKind::Events;
    if (!replaces) footer.buffers.push_back({PartBufferName(raw.kind, part.index), raw.content, false, 0});
  }
}

FooterPlan LowerFooter(const ImageDescription& image, std::size_t footer_pos) {
  const FooterDescription& described = image.footers[footer_pos];
  FooterPlan footer;
  footer.properties = FooterProperties(described);
  if (described.role == FooterRole::ActiveSegment) return footer;  // its table is empty by definition
  for (const PartDescription& part : described.parts) LowerPart(part, image.damage, footer_pos, footer);
  for (const RawBuffer& raw : described.file_wide)
    footer.buffers.push_back({FileWideBufferName(raw.kind), raw.content, false, 0});
  for (std::size_t k = 0; k < described.nested.size(); ++k) {
    footer.buffers.push_back({NestedImageName(k + 1), WriteImage(described.nested[k]), true, 0});
  }
  // Readers reject an empty table unless the footer is an active segment.
  if (footer.buffers.empty()) footer.buffers.push_back({PartBufferName(BufferKind::FirstPosition, 0), {}, false, 0});
  return footer;
}

bool HasNested(const ImageDescription& image) {
  return std::any_of(image.footers.begin(), image.footers.end(),
                     [](const FooterDescription& f) { return !f.nested.empty(); });
}

// Readers skip an image with any footer that is not plain data, including a
// data footer whose "EventsCount" reads as zero.
bool IsCountedImage(const ImageDescription& image) {
  for (const FooterDescription& footer : image.footers) {
    if (footer.role != FooterRole::Data) return false;
    const auto properties = FooterProperties(footer);
    if (FindProperty(properties, kPrevPositionGuid)) return false;
    const auto count = FindProperty(properties, kEventsCount);
    if (count && LeadingDecimal(*count) == 0u) return false;
  }
  return !image.footers.empty();
}

void CollectEvents(const ImageDescription& image, std::vector<ExpectedEvent>& out) {
  if (!IsCountedImage(image)) return;
  if (HasNested(image)) {
    for (const FooterDescription& footer : image.footers) {
      for (const ImageDescription& nested : footer.nested) CollectEvents(nested, out);
    }
    return;
  }
  for (const FooterDescription& footer : image.footers) {
    for (const PartDescription& part : footer.parts) {
      for (const Event& e : part.events) {
        out.push_back({footer.log, footer.platform_id, footer.computer_type, e.computer, e.category, e.event_type,
                       e.event_id, e.time});
      }
    }
  }
}

std::uint64_t CountedTotal(const ImageDescription& image) {
  if (!IsCountedImage(image)) return 0;
  std::uint64_t total = 0;
  for (const FooterDescription& footer : image.footers) {
    if (HasNested(image)) {
      for (const ImageDescription& nested : footer.nested) total += CountedTotal(nested);
      continue;
    }
    const auto count = FindProperty(FooterProperties(footer), kEventsCount);
    if (!count) break;  // property mode stops at a footer without the count
    total += LeadingDecimal(*count).value_or(0);
  }
  return total;
}

void WidenSpan(const ImageDescription& image, std::optional<std::pair<std::uint32_t, std::uint32_t>>& span) {
  for (const FooterDescription& footer : image.footers) {
    for (const PartDescription& part : footer.parts) {
      for (const Event& e : part.events) {
        if (!span) span.emplace(e.time, e.time);
        span->first = std::min(span->first, e.time);
        span->second = std::max(span->second, e.time);
      }
    }
    for (const ImageDescription& nested : footer.nested) WidenSpan(nested, span);
  }
}

}  // namespace

ImagePlan Lower(const ImageDescription& image) {
  ImagePlan plan;
  plan.compression_level = image.compression_level;
  for (std::size_t f = 0; f < image.footers.size(); ++f) plan.footers.push_back(LowerFooter(image, f));
  for (const DamageSpot& spot : image.damage) {
    if (!IsRecordDamage(spot.what)) plan.damage.push_back(spot);
  }
  return plan;
}

Bytes WriteImage(const ImageDescription& image) { return BuildImage(Lower(image)); }

std::vector<ExpectedEvent> ListEvents(const ImageDescription& image) {
  std::vector<ExpectedEvent> events;
  CollectEvents(image, events);
  return events;
}

std::uint64_t ExpectedEventsCountTotal(const ImageDescription& image) { return CountedTotal(image); }

std::optional<std::pair<std::uint32_t, std::uint32_t>> EventTimeSpan(const ImageDescription& image) {
  std::optional<std::pair<std::uint32_t, std::uint32_t>> span;
  WidenSpan(image, span);
  return span;
}

}  // namespace repwriter
