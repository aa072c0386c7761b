// The part factory and the record formats of the part buffers: their walks,
// columns and decoded tables. Buffer identifiers and part indexes:
// buffer_ids_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "container/rep_file_buffer.h"
#include "parts/buffer_ids.h"
#include "parts/part_factory.h"
#include "parts/rep_events_buffer.h"
#include "parts/rep_name_tables.h"
#include "parts/rep_part.h"
#include "repwriter/records.h"
#include "support/output_capture.h"

namespace tallymere::test {
namespace {

using Buffer = std::vector<uint8_t>;
using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

template <class T>
std::unique_ptr<T> Parsed(Buffer content, int expected_status = 0) {
  auto part = std::make_unique<T>(ByteBuffer(content.begin(), content.end()));
  EXPECT_EQ(part->Parse(), expected_status);
  return part;
}

TEST(PartFactory, BuildsEachKindAndRefusesOthers) {
  Notes notes;
  for (int32_t id = 0; id <= 14; ++id) {
    auto part = CreatePartBuffer({}, id, notes);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->buffer_id, id);
    EXPECT_EQ(part->Parse(), 0) << id;  // empty content: no records
    EXPECT_EQ(part->ulCount, 0u);
  }
  EXPECT_EQ(CreatePartBuffer({}, -1, notes), nullptr);
  EXPECT_EQ(CreateBuffer({1, 2, 3, 4}, -3, notes), nullptr);
  EXPECT_EQ(notes.Text(), "Unknown  id: -1\nUnknown  id: -3\n");
}

TEST(StringList, WalksRecordsAndDecodes) {
  Buffer content;
  repwriter::AppendString(content, u"one");
  repwriter::AppendString(content, u"");
  repwriter::AppendString(content, u"three");
  auto part = Parsed<RepDescBuffer>(content);
  EXPECT_EQ(part->ulCount, 3u);
  EXPECT_EQ(part->TextLen(2), 5u);
  EXPECT_EQ(part->TextBytes(0).size(), 6u);
  EXPECT_EQ(part->TextLen(3), 0u);  // past the records
  part->Decode();
  ASSERT_EQ(part->strings.size(), 3u);
  EXPECT_EQ(part->strings[0].text, u"one");
  EXPECT_EQ(part->strings[1].text, u"");
  EXPECT_EQ(part->strings[2].value, 1u);

  for (size_t stray = 1; stray <= 3; ++stray) {
    Buffer trailing = content;
    trailing.resize(content.size() + stray);
    Parsed<RepSrcBuffer>(trailing, -1);
  }
  Buffer overlong = content;
  overlong.pop_back();  // last record claims one byte more than remains
  Parsed<RepInsBuffer>(overlong, -1);
  // A length that would wrap 32-bit offsets back into the buffer still fails.
  Parsed<RepNfNamesBuffer>({0xFE, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}, -1);
}

TEST(RawParts, ParseWithoutReadingTheBytes) {
  auto part = Parsed<RepFirstPosBuffer>({1, 2, 3});
  EXPECT_EQ(part->ulCount, 0u);
  part->Decode();
  EXPECT_TRUE(part->strings.empty());
}

Buffer EventBytes(const std::vector<repwriter::EventRecord>& records) { return repwriter::EventsBuffer(records); }

TEST(Events, RecordLengthFollowsTheReferenceCount) {
  repwriter::EventRecord bare{.cat_index = 1, .comp_index = 2, .time_delta = 100};
  repwriter::EventRecord marker{.ref_count = 5, .time_delta = 0, .ref_words = {77, 0x02000000}, .data = {9, 8, 7}};
  repwriter::EventRecord indexed{.ref_count = 3, .time_delta = 5, .ref_words = {7, 0x01000009, 4}};
  repwriter::EventRecord big{.ref_count = 40000, .ref_words = {0x01000001}};
  auto events = Parsed<RepEventsBuffer>(EventBytes({bare, marker, indexed, big}));
  ASSERT_EQ(events->ulCount, 4u);
  EXPECT_EQ(events->CatIndex(0), 1u);
  EXPECT_EQ(events->CompIndex(0), 2u);
  EXPECT_TRUE(events->RefWords(0).empty());
  EXPECT_TRUE(events->DataBytes(0).empty());
  EXPECT_EQ(events->RefWords(1).size(), 8u);
  EXPECT_EQ(events->DataBytes(1).size(), 3u);
  EXPECT_EQ(events->RefWords(3).size(), 4u);  // above 32767: one word
  EXPECT_EQ(events->TimeDelta(2), 5u);
  EXPECT_EQ(events->CatIndex(4), 0u);  // past the records

  events->Decode();
  ASSERT_EQ(events->table.size(), 4u);
  EXPECT_EQ(events->table[0].time, 100u);
  EXPECT_EQ(events->table[1].time, 100u);
  EXPECT_EQ(events->table[2].time, 105u);
  const auto refs = [&](size_t i) { return Pairs(events->table[i].refs.begin(), events->table[i].refs.end()); };
  EXPECT_EQ(refs(1), (Pairs{{0, 77}}));
  EXPECT_EQ(Buffer(events->table[1].data.begin(), events->table[1].data.end()), (Buffer{9, 8, 7}));
  EXPECT_EQ(refs(2), (Pairs{{0, 7}, {4, 9}}));
  // The explicit-index word has no index word inside the record: no pair.
  EXPECT_TRUE(events->table[3].refs.empty());
}

TEST(Events, RunningSumsWrapAndRestartPerDecode) {
  repwriter::EventRecord a{.time_delta = 0xFFFFFFF0, .delta_32 = 1};
  repwriter::EventRecord b{.time_delta = 0x20, .delta_32 = 2};
  auto events = Parsed<RepEventsBuffer>(EventBytes({a, b}));
  events->Decode();
  EXPECT_EQ(events->table[1].time, 0x10u);
  EXPECT_EQ(events->table[1].sum_32, 3u);
  events->Decode();  // appends, sums restart
  ASSERT_EQ(events->table.size(), 4u);
  EXPECT_EQ(events->table[2].time, 0xFFFFFFF0u);
}

TEST(Events, IncompleteRecordsFailParse) {
  const Buffer whole = EventBytes({{.ref_count = 2, .ref_words = {1, 2}, .data = {5}}});
  ASSERT_EQ(whole.size(), 36u + 8 + 1);
  for (size_t cut : {1u, 5u, 9u, 30u}) {
    Parsed<RepEventsBuffer>(Buffer(whole.begin(), whole.end() - cut), -1);
  }
  Buffer stray = whole;
  stray.push_back(0);
  Parsed<RepEventsBuffer>(stray, -1);
}

// Records of every list shape: W words as the size rule takes them, the last
// one the end marker when the list stops short of its count, and data that
// may begin with the marker's bytes.
std::vector<repwriter::EventRecord> ListShapes(uint32_t seed, size_t count) {
  uint64_t state = seed;
  const auto below = [&state](uint32_t n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>((state >> 33) % n);
  };
  std::vector<repwriter::EventRecord> records(count);
  for (size_t i = 0; i < count; ++i) {
    repwriter::EventRecord& r = records[i];
    r.cat_index = static_cast<uint32_t>(i);
    r.data.resize(below(4) == 0 ? 0 : below(12), 0xAB);
    const uint32_t shape = below(5);
    if (shape == 0) continue;  // no list
    if (shape == 1) {          // a count of 32768 or more: one word, whatever it is
      r.ref_count = static_cast<uint16_t>(32768 + below(32768));
      r.ref_words = {below(2) == 0 ? 0x02000000u : below(1000)};
      continue;
    }
    r.ref_count = static_cast<uint16_t>(1 + below(shape == 4 ? 40 : 12));
    const uint32_t words = 1 + below(r.ref_count);
    for (uint32_t w = 0; w + 1 < words; ++w) r.ref_words.push_back(0x01000000u * below(2) + below(1000));
    r.ref_words.push_back(words < r.ref_count || below(2) == 0 ? 0x02000000u : 7u);
    // A marker right after a list that ends at its count belongs to the
    // data, not to the list.
    if (below(3) == 0) r.data.insert(r.data.begin(), {0x00, 0x00, 0x00, 0x02});
  }
  return records;
}

// The pairs of a record's words by the rules, one word at a time.
Pairs ExpectedPairs(const repwriter::EventRecord& record) {
  Pairs pairs;
  const auto& words = record.ref_words;
  uint32_t index = 0;
  for (size_t k = 0; k < words.size() && static_cast<int32_t>(index) < int32_t{record.ref_count}; ++index) {
    uint32_t value = words[k++];
    if (value == repwriter::kReferenceEndMarker) break;
    if ((value & repwriter::kExplicitIndexFlag) != 0 && value != 0xFFFFFFFF) {
      if (k == words.size()) break;
      index = words[k++];
      value &= ~repwriter::kExplicitIndexFlag;
    }
    pairs.emplace_back(index, value);
  }
  return pairs;
}

// What a parse that visits the records hands over: each record's
// (cat_index, comp_index, time_delta), its status and its record count.
struct Visited {
  std::vector<std::array<uint32_t, 3>> fields;
  int status = 0;
  uint32_t records = 0;
};

Visited VisitWhileParsing(const Buffer& content) {
  RepEventsBuffer events(ByteBuffer(content.begin(), content.end()));
  Visited visited;
  visited.status = events.ParseVisitingKeyFields([&](uint32_t cat, uint32_t comp, uint32_t delta) {
    visited.fields.push_back({cat, comp, delta});
  });
  visited.records = events.ulCount;
  return visited;
}

std::vector<std::array<uint32_t, 3>> ColumnFields(const RepEventsBuffer& events) {
  std::vector<std::array<uint32_t, 3>> fields;
  for (uint32_t i = 0; i < events.ulCount; ++i) {
    fields.push_back({events.CatIndex(i), events.CompIndex(i), events.TimeDelta(i)});
  }
  return fields;
}

TEST(Events, WalkMeasuresEveryListShapeAndStopsAtEveryCut) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    const auto records = ListShapes(seed, 200);
    const Buffer bytes = EventBytes(records);
    auto events = Parsed<RepEventsBuffer>(bytes);
    ASSERT_EQ(events->ulCount, records.size());
    // A parse that counts as it walks meets the same records as the columns.
    const Visited visited = VisitWhileParsing(bytes);
    EXPECT_EQ(visited.status, 0);
    EXPECT_EQ(visited.records, events->ulCount);
    ASSERT_EQ(visited.fields, ColumnFields(*events)) << "seed " << seed;
    for (uint32_t i = 0; i < records.size(); ++i) {
      ASSERT_EQ(events->CatIndex(i), i);
      ASSERT_EQ(events->RefWords(i).size(), 4 * records[i].ref_words.size()) << "seed " << seed << " record " << i;
      ASSERT_EQ(events->DataBytes(i).size(), records[i].data.size());
    }
    events->Decode();
    // A parse that decodes as it walks builds the same table.
    RepEventsBuffer walked(ByteBuffer(bytes.begin(), bytes.end()));
    ASSERT_EQ(walked.ParseDecoding(), 0);
    ASSERT_EQ(walked.ulCount, records.size());
    ASSERT_EQ(walked.table.size(), records.size());
    for (uint32_t i = 0; i < records.size(); ++i) {
      const RepEventEntry& entry = events->table[i];
      ASSERT_EQ(Pairs(entry.refs.begin(), entry.refs.end()), ExpectedPairs(records[i]))
          << "seed " << seed << " record " << i;
      ASSERT_EQ(entry.data.size(), records[i].data.size());
      const RepEventEntry& other = walked.table[i];
      ASSERT_EQ(Pairs(other.refs.begin(), other.refs.end()), ExpectedPairs(records[i]))
          << "seed " << seed << " record " << i;
      ASSERT_TRUE(std::ranges::equal(other.data, entry.data));
      ASSERT_EQ(std::tie(other.field_4, other.cat_index, other.comp_index, other.field_16, other.field_20,
                         other.ref_count, other.field_26, other.time, other.sum_32),
                std::tie(entry.field_4, entry.cat_index, entry.comp_index, entry.field_16, entry.field_20,
                         entry.ref_count, entry.field_26, entry.time, entry.sum_32));
    }
  }
  // Every prefix of a short run parses exactly when it ends on a record
  // boundary, also where a list lies partly past the end of the bytes.
  const auto records = ListShapes(99, 12);
  const Buffer bytes = EventBytes(records);
  std::vector<size_t> boundaries = {0};
  for (const auto& r : records) boundaries.push_back(boundaries.back() + EventBytes({r}).size());
  for (size_t length = 1; length <= bytes.size(); ++length) {
    const auto at = std::find(boundaries.begin(), boundaries.end(), length);
    const Buffer prefix(bytes.begin(), bytes.begin() + length);
    auto events = Parsed<RepEventsBuffer>(prefix, at != boundaries.end() ? 0 : -1);
    if (at != boundaries.end()) {
      EXPECT_EQ(events->ulCount, static_cast<uint32_t>(at - boundaries.begin()));
    }
    // The visiting parse agrees on the status and on how far the walk went,
    // and hands over only records whose fixed part lies inside the bytes.
    const Visited visited = VisitWhileParsing(prefix);
    EXPECT_EQ(visited.status, events->Parse()) << length;
    EXPECT_EQ(visited.records, events->ulCount) << length;
    ASSERT_EQ(visited.fields.size(), visited.records) << length;
    for (size_t i = 0; i < visited.fields.size(); ++i) ASSERT_EQ(visited.fields[i][0], i) << length;
    // So does the decoding parse, which decodes no record that runs past
    // the bytes.
    RepEventsBuffer decoded(ByteBuffer(prefix.begin(), prefix.end()));
    EXPECT_EQ(decoded.ParseDecoding(), visited.status) << length;
    EXPECT_EQ(decoded.ulCount, visited.records) << length;
    for (const RepEventEntry& entry : decoded.table) {
      ASSERT_LE(entry.data.data() + entry.data.size(), decoded.bytes().data() + decoded.buffer_len) << length;
    }
  }
}

TEST(NameTables, CategoryRecordFieldsAndColumns) {
  const Buffer abc = {3, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0, 4, 0, 7, 0, 0x34, 0x12, 0, 0};
  Buffer content = abc;
  repwriter::AppendCategory(content, {.name = u"", .event_type = 1, .event_id = 0x80000001});
  auto cat = Parsed<RepCatBuffer>(content);
  ASSERT_EQ(cat->ulCount, 2u);
  EXPECT_EQ(cat->CategoryLen(0), 3u);
  EXPECT_EQ(cat->CategoryBytes(0).size(), 6u);
  EXPECT_EQ(cat->EventType(0), 4u);
  EXPECT_EQ(cat->AuxWord(0), 7u);
  EXPECT_EQ(cat->EventId(0), 4660u);
  EXPECT_EQ(cat->EventId(1), 0x80000001u);
  EXPECT_EQ(cat->EventId(2), 0u);
  cat->Decode();
  EXPECT_EQ(cat->table[0].category, u"ABC");
  EXPECT_EQ(cat->table[1].category, u"");
  EXPECT_EQ(cat->table[1].event_type, 1u);
  Parsed<RepCatBuffer>(Buffer(abc.begin(), abc.end() - 1), -1);
}

TEST(NameTables, ComputerRecordsGiveNameAndTimeBase) {
  Buffer content;
  repwriter::AppendComputer(content, {.name = u"dc", .time_base = 1000});
  EXPECT_EQ(content.size(), 12u);
  repwriter::AppendComputer(content, {.name = u"web01", .time_base = 7});
  auto comp = Parsed<RepCompBuffer>(content);
  EXPECT_EQ(comp->TimeBase(0), 1000u);
  EXPECT_EQ(comp->NameLen(1), 5u);
  EXPECT_EQ(comp->NameBytes(1).size(), 10u);
  comp->Decode();
  EXPECT_EQ(comp->table[1].text, u"web01");
  EXPECT_EQ(comp->table[1].value, 7u);
}

TEST(NameTables, UserValuePairAndFieldListRecords) {
  Buffer users;
  repwriter::AppendUser(users, {.first = u"a", .second = u"bc", .value = {}});
  repwriter::AppendUser(users, {.first = u"", .second = u"", .value = {1, 2, 3}});
  auto user = Parsed<RepUserBuffer>(users);
  EXPECT_TRUE(user->BinBytes(0).empty());
  EXPECT_EQ(user->Len2(0), 2u);
  user->Decode();
  EXPECT_EQ(user->table[0].text_2, u"bc");
  EXPECT_EQ(user->table[1].bin, (Buffer{1, 2, 3}));
  Parsed<RepUserBuffer>(Buffer(users.begin(), users.end() - 1), -1);

  Parsed<RepRecordBuffer>(Buffer(12), -1);
  auto pairs = Parsed<RepRecordBuffer>({1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0});
  pairs->Decode();
  EXPECT_EQ(pairs->table, (Pairs{{1, 2}, {3, 4}}));

  Buffer lists;
  repwriter::AppendFieldList(lists, {});
  repwriter::AppendFieldList(lists, {.pairs = {{5, 6}}});
  EXPECT_EQ(lists.size(), 4u + 12);
  auto fields = Parsed<RepNfieldsDatBuffer>(lists);
  fields->Decode();
  ASSERT_EQ(fields->table.size(), 2u);
  EXPECT_EQ(fields->table[0].field_count, 0u);
  EXPECT_EQ(fields->table[1].pairs, (Pairs{{5, 6}}));
}

TEST(PartDump, PrintsSlotsAndBufferHeaders) {
  RepPart part;
  part.index = 4;
  Notes notes;
  part.slots[7] = CreatePartBuffer({}, 7, notes);
  part.slots[7]->Parse();
  OutputCapture capture;
  part.Dump(Out());
  const std::string out = capture.out();
  EXPECT_EQ(out.rfind("Part index: 4\n0 : nullptr\n", 0), 0u);
  EXPECT_NE(out.find("7 : id = 7 RepRecordBuffer\nbuffer_len = 0\nulCount = 0\n\n"), std::string::npos);
  EXPECT_NE(out.find("12 : nullptr\n-----------------\n"), std::string::npos);
}

}  // namespace
}  // namespace tallymere::test
