// Writes the seed corpora of the fuzz targets into <out>/<target>/: valid
// images of every shape the reader knows (several footers, containers, each
// image kind, every part kind, varied record tails) and the same images with
// each damage switch of the writer library, so that fuzzing starts from
// inputs that reach deep into the reader rather than from random bytes.
//   make_seeds <out>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "repwriter/description.h"
#include "repwriter/image.h"
#include "repwriter/random.h"
#include "repwriter/records.h"

namespace {

namespace fs = std::filesystem;
using repwriter::BufferKind;
using repwriter::Bytes;
using repwriter::Damage;
using repwriter::Event;
using repwriter::FooterDescription;
using repwriter::FooterRole;
using repwriter::ImageDescription;
using repwriter::PartDescription;

constexpr uint32_t kMarch2018 = 1520380800;  // inside the pipeline target's time window

void WriteSeed(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  fs::create_directories(folder);
  std::ofstream file(folder / name, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Prefixed(uint8_t choice, const Bytes& rest) {
  Bytes out{choice};
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

std::vector<Event> SomeEvents(uint32_t count, uint64_t seed) {
  repwriter::SplitMix64 random(seed);
  std::vector<Event> events;
  for (uint32_t i = 0; i < count; ++i) {
    Event event{.computer = i % 2 ? u"dc01" : u"web02",
                .category = i % 3 ? u"Logon" : u"",
                .event_type = static_cast<uint16_t>(1 << (i % 5)),
                .event_id = 4624 + i % 4,
                .time = kMarch2018 + i * 4000};
    repwriter::EventRecord record;
    repwriter::VaryRecordTail(random, record);
    event.record = std::move(record);
    events.push_back(std::move(event));
  }
  return events;
}

// One raw buffer of each kind the part itself does not lay out.
std::vector<repwriter::RawBuffer> EveryOtherPartKind() {
  const std::vector<std::u16string> texts = {u"a description", u"", u"x"};
  const std::vector<repwriter::UserRow> users = {{u"user", u"domain", {1, 2, 3}}};
  const std::vector<repwriter::ValuePair> pairs = {{1, 2}, {3, 4}};
  const std::vector<repwriter::FieldList> lists = {{{{1, 2}}}, {}};
  return {
      {BufferKind::Description, repwriter::StringListBuffer(texts)},
      {BufferKind::FirstPosition, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
      {BufferKind::Instance, repwriter::StringListBuffer(texts)},
      {BufferKind::LastPosition, Bytes{8, 7, 6, 5}},
      {BufferKind::ValuePairs, repwriter::ValuePairBuffer(pairs)},
      {BufferKind::Source, repwriter::StringListBuffer(texts)},
      {BufferKind::User, repwriter::UserBuffer(users)},
      {BufferKind::FieldList, repwriter::FieldListBuffer(lists)},
      {BufferKind::FieldNames, repwriter::StringListBuffer(texts)},
      {BufferKind::FieldValues, repwriter::StringListBuffer(texts)},
  };
}

FooterDescription DataFooter(uint32_t first_part, uint32_t events, uint64_t seed) {
  FooterDescription footer;
  footer.parts.push_back({.index = first_part, .events = SomeEvents(events, seed)});
  footer.parts.push_back({.index = first_part + 1, .events = SomeEvents(events / 2 + 1, seed + 1)});
  return footer;
}

FooterDescription RoleFooter(FooterRole role) {
  FooterDescription footer = DataFooter(1, 2, 9);
  footer.role = role;
  if (role == FooterRole::ActiveSegment) footer.parts.clear();
  return footer;
}

std::vector<std::pair<std::string, ImageDescription>> Shapes() {
  std::vector<std::pair<std::string, ImageDescription>> shapes;
  shapes.push_back({"one_footer", {.footers = {DataFooter(1, 3, 1)}}});
  shapes.push_back({"three_footers", {.footers = {DataFooter(1, 2, 2), DataFooter(3, 4, 3), DataFooter(5, 1, 4)}}});

  FooterDescription every_kind = DataFooter(1, 3, 5);
  every_kind.platform_id = 610;
  every_kind.parts[0].raw = EveryOtherPartKind();
  every_kind.file_wide = {{BufferKind::Filters, Bytes{1, 2, 3}}, {BufferKind::FilterState, Bytes{4}}};
  shapes.push_back({"every_part_kind", {.footers = {every_kind}}});

  FooterDescription container;
  container.nested = {{.footers = {DataFooter(1, 2, 6)}},
                      {.footers = {DataFooter(1, 3, 7), DataFooter(2, 1, 8)}},
                      {.footers = {RoleFooter(FooterRole::NoEvents)}}};
  shapes.push_back({"container", {.footers = {container}}});

  shapes.push_back({"no_events", {.footers = {RoleFooter(FooterRole::NoEvents)}}});
  shapes.push_back({"prev_position", {.footers = {RoleFooter(FooterRole::PrevPosition)}}});
  shapes.push_back({"active_segment", {.footers = {RoleFooter(FooterRole::ActiveSegment)}}});
  shapes.push_back({"stored", {.footers = {DataFooter(1, 3, 10)}, .compression_level = 0}});
  return shapes;
}

struct DamageCase {
  Damage what;
  const char* name;
};

constexpr DamageCase kDamages[] = {
    {Damage::BadCrc, "bad_crc"},
    {Damage::WrongSignature, "wrong_signature"},
    {Damage::CorruptDeflate, "corrupt_deflate"},
    {Damage::UnpackedLenTooSmall, "unpacked_len_too_small"},
    {Damage::UnpackedLenHuge, "unpacked_len_huge"},
    {Damage::BufferShorterThanHeader, "buffer_shorter_than_header"},
    {Damage::EntryPastImage, "entry_past_image"},
    {Damage::EntryNameLengthPastTable, "entry_name_past_table"},
    {Damage::ChainOutOfRange, "chain_out_of_range"},
    {Damage::ChainLoopsToSelf, "chain_loops_to_self"},
    {Damage::ChainPointsForward, "chain_points_forward"},
    {Damage::PropertyLengthPastSection, "property_length_past_section"},
    {Damage::MissingEventsCount, "missing_events_count"},
    {Damage::MissingComputerType, "missing_computer_type"},
    {Damage::MissingPlatformId, "missing_platform_id"},
    {Damage::MissingUnderDataSource, "missing_under_data_source"},
    {Damage::NonNumericEventsCount, "non_numeric_events_count"},
    {Damage::NonNumericComputerType, "non_numeric_computer_type"},
    {Damage::NonNumericPlatformId, "non_numeric_platform_id"},
    {Damage::EventsCountMismatch, "events_count_mismatch"},
    {Damage::CategoryIndexOutOfRange, "category_index_out_of_range"},
    {Damage::ComputerIndexOutOfRange, "computer_index_out_of_range"},
    {Damage::StrayBytesAfterLastRecord, "stray_bytes_after_last_record"},
    {Damage::HeaderSumOff, "header_sum_off"},
    {Damage::Truncate, "truncate"},
    {Damage::ShorterThanHeader, "shorter_than_header"},
};

// Each damage applied to the last footer of a two-footer image, so that the
// chain faults have a link to break.
std::vector<std::pair<std::string, ImageDescription>> Damaged() {
  std::vector<std::pair<std::string, ImageDescription>> images;
  for (const DamageCase& damage : kDamages) {
    ImageDescription image{.footers = {DataFooter(1, 2, 11), DataFooter(3, 3, 12)}};
    image.damage.push_back({.what = damage.what, .footer = 1, .part = 3, .length = 300});
    images.push_back({std::string("damaged_") + damage.name, std::move(image)});
  }
  return images;
}

// The pipeline target's choice byte: the property total, a full mode, a Fast
// mode with the time window, and a cached full mode read twice.
constexpr uint8_t kPipelineChoices[] = {0x00, 0x01 | 9 << 2, 0x02 | 9 << 2 | 0x40, 0x01 | 0 << 2 | 0x80};

void WriteImageSeeds(const fs::path& out, const std::string& name, const Bytes& image) {
  WriteSeed(out / "image", name, image);
  for (uint8_t choice : kPipelineChoices) {
    WriteSeed(out / "pipeline", name + "_" + std::to_string(choice), Prefixed(choice, image));
  }
}

// Every buffer of the lowered image as a stand-alone data buffer, with its
// kind in the choice byte, under both decoders; plus the trailer faults.
void WriteDataBufferSeeds(const fs::path& out, const std::string& name, const ImageDescription& image) {
  const repwriter::ImagePlan plan = repwriter::Lower(image);
  int n = 0;
  for (const repwriter::FooterPlan& footer : plan.footers) {
    for (const repwriter::BufferPlan& buffer : footer.buffers) {
      const Bytes encoded = repwriter::EncodeDataBuffer(buffer, plan.compression_level);
      const uint8_t kind = static_cast<uint8_t>(n % 15);
      const std::string stem = name + "_" + std::to_string(n++);
      WriteSeed(out / "data_buffer", stem, Prefixed(kind, encoded));
      WriteSeed(out / "data_buffer", stem + "_zlib", Prefixed(kind | 0x80, encoded));
      Bytes short_length = encoded;
      repwriter::PatchLittleEndian(short_length, short_length.size() - 4, 1, 4);
      WriteSeed(out / "data_buffer", stem + "_short_length", Prefixed(kind, short_length));
    }
  }
}

// The options target's input: a flag byte, then the arguments separated by
// zero bytes.
Bytes CommandLine(uint8_t flags, const std::vector<std::string>& arguments) {
  Bytes line{flags};
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i != 0) line.push_back(0);
    line.insert(line.end(), arguments[i].begin(), arguments[i].end());
  }
  return line;
}

void WriteOptionSeeds(const fs::path& out) {
  const std::vector<Bytes> lines = {
      CommandLine(0, {"-m", "9", "-f", "20180301", "-t", "20180401", "repo"}),
      CommandLine(1, {"-v", "-m-1", "-d", "7", "repo"}),
      CommandLine(1, {"-vm", "21", "-r", "48", "repo"}),
      CommandLine(1, {"-h"}),
      CommandLine(1, {"-x", "-m", "-f"}),
      CommandLine(0, {"-f", "20180230", "-t", "2106020706281599"}),
      CommandLine(0, {"-t", "1601", "-f", "99991231235959", "--", "-m"}),
      CommandLine(0, {"-d", "-2147483649", "Orv_0000000001_2018030100000020180302000000.rep"}),
  };
  int n = 0;
  for (const Bytes& line : lines) WriteSeed(out / "options", "line_" + std::to_string(n++), line);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <out folder>\n");
    return 1;
  }
  const fs::path out = argv[1];
  try {
    for (const auto& [name, image] : Shapes()) {
      WriteImageSeeds(out, name, repwriter::WriteImage(image));
      WriteDataBufferSeeds(out, name, image);
    }
    for (const auto& [name, image] : Damaged()) WriteImageSeeds(out, name, repwriter::WriteImage(image));
    WriteOptionSeeds(out);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_seeds: %s\n", error.what());
    return 1;
  }
  return 0;
}
