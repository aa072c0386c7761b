// Event-level description of a repository image. A test states events
// (computer, category, event type, event ID, absolute time) grouped into
// parts, footers and images; Lower() lays out the category and computer
// tables, the indexes and the delta-encoded times, and ListEvents() gives
// back what a reader should count, so tests compare a report with what was
// written rather than with what the reader says.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "repwriter/image.h"
#include "repwriter/records.h"

namespace repwriter {

struct Event {
  std::u16string computer{};
  std::u16string category{};
  std::uint16_t event_type = 0;
  std::uint32_t event_id = 0;
  std::uint32_t time = 0;  // UTC seconds since 1970
  // Exact record fields when a test wants them. cat_index, comp_index and
  // time_delta are always laid out by the writer; without a record the other
  // fields, the references and the data vary from event to event.
  std::optional<EventRecord> record{};
};

// A part buffer's unpacked bytes as the test gives them. For the category,
// computer and events kinds it replaces what the writer would lay out; any
// other kind is added to the part.
struct RawBuffer {
  BufferKind kind = BufferKind::Description;
  Bytes content{};
};

struct PartDescription {
  std::uint32_t index = 0;  // the number in front of the buffer names
  // Without events the part gets no category, computer or events buffer,
  // only its raw buffers.
  std::vector<Event> events{};
  // time_base of a computer's row. By default a computer's first event in
  // the part, so that parts mixing computers need deltas that wrap.
  std::map<std::u16string, std::uint32_t> time_bases{};
  std::vector<RawBuffer> raw{};
};

// What the footer makes of the image. Any footer other than Data makes the
// whole image one that readers skip.
enum class FooterRole {
  Data,
  NoEvents,       // "EventsCount" "0"
  PrevPosition,   // has "PrevPositionGUID"
  ActiveSegment,  // empty buffer table with "ActiveSegmentId"
};

struct FooterDescription;

struct ImageDescription {
  // No "{}" here: the element type is still incomplete at this point, and
  // some compilers would need it complete for the initialiser.
  std::vector<FooterDescription> footers;
  int compression_level = kDefaultCompressionLevel;
  std::vector<DamageSpot> damage{};
};

struct FooterDescription {
  FooterRole role = FooterRole::Data;
  std::u16string log = u"Application";  // "UnderDataSource"
  std::uint32_t platform_id = 0;        // 610 keeps all 32 bits of event IDs
  std::uint32_t computer_type = 0;
  std::vector<PartDescription> parts{};
  std::vector<RawBuffer> file_wide{};      // filter kinds 13 and 14
  std::vector<ImageDescription> nested{};  // makes the image a container
  // A property named like a standard one replaces its value; others follow
  // the standard ones in the order given.
  std::vector<Property> properties{};
};

// Buffer order in a footer: per part its category, computer and events
// buffers, then its added raw buffers; then the file-wide buffers; then the
// nested images as "segment_1.img", "segment_2.img", ...
ImagePlan Lower(const ImageDescription& image);
Bytes WriteImage(const ImageDescription& image);

// One event as a reader should count it, with its footer's properties.
struct ExpectedEvent {
  std::u16string log{};
  std::uint32_t platform_id = 0;
  std::uint32_t computer_type = 0;
  std::u16string computer{};
  std::u16string category{};
  std::uint16_t event_type = 0;
  std::uint32_t event_id = 0;  // as stored; the reader's mask is the test's business
  std::uint32_t time = 0;
};

// The events a reader counts, in image, footer, part and record order: those
// of the nested images when the image is a container, none when any footer
// is not a Data footer. Damage and raw buffers are not taken into account.
std::vector<ExpectedEvent> ListEvents(const ImageDescription& image);
// The sum of "EventsCount" over the footers a reader counts in property mode,
// with the same rules, honouring replaced "EventsCount" values.
std::uint64_t ExpectedEventsCountTotal(const ImageDescription& image);
// The earliest and latest event time anywhere in the description (counted or
// not), or nothing without events: what a file name's stamps must bound.
std::optional<std::pair<std::uint32_t, std::uint32_t>> EventTimeSpan(const ImageDescription& image);

}  // namespace repwriter
