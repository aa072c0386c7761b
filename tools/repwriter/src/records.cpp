#include "repwriter/records.h"

#include <array>

namespace repwriter {

namespace {

// The word of each kind in the producer's buffer names, indexed by kind. Its
// last four characters are the key the reader matches.
constexpr std::array<std::string_view, kBufferKindCount> kKindWords = {
    "cat", "comp", "desc",    "events",  "first",    "ins",    "last",   "record",
    "src", "user", "nfields", "nfnames", "nfvalues", "filter", "filters"};

// Texts that trailing data bytes are cut from: event payloads are mostly
// repetitive text with a few varying numbers, which is what gives the stored
// files their usual compression ratio.
constexpr std::array<std::string_view, 12> kDataPhrases = {"S-1-5-21-",   "C:\\Program Files\\Orvanta\\",
                                                           "user=",       "status=0x",
                                                           "Logon Type ", "svchost.exe",
                                                           "%%1833",      "domain=",
                                                           "Process ID ", "\\Device\\",
                                                           "TargetName=", "0x00000000"};

void AppendAscii(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void AppendDecimal(Bytes& out, std::uint32_t value) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out.push_back(static_cast<std::uint8_t>(digits[--n]));
}

void VaryData(SplitMix64& random, Bytes& data) {
  data.clear();
  const std::uint32_t pieces = random.Below(4);
  for (std::uint32_t i = 0; i < pieces; ++i) {
    AppendAscii(data, kDataPhrases[random.Below(kDataPhrases.size())]);
    AppendDecimal(data, random.Below(i == 0 ? 2000 : 100));
  }
  if (random.Below(8) == 0) data.push_back(0);  // binary payloads end in a zero now and then
}

void PlainWords(SplitMix64& random, std::vector<std::uint32_t>& words, std::uint32_t count) {
  // References repeat a lot in real records: a few hundred distinct values.
  for (std::uint32_t i = 0; i < count; ++i) words.push_back(0x100 + random.Below(300));
}

// Picks the reference count and words. Every shape keeps the words exactly as
// long as a reader's size walk takes them and never lets a value or index
// word equal the end marker by accident.
void VaryReferences(SplitMix64& random, EventRecord& record) {
  auto& words = record.ref_words;
  words.clear();
  const std::uint32_t shape = random.Below(16);
  if (shape < 4) {
    record.ref_count = 0;
  } else if (shape < 8) {  // count used up by plain words, no marker
    const std::uint32_t count = 1 + random.Below(4);
    PlainWords(random, words, count);
    record.ref_count = static_cast<std::uint16_t>(count);
  } else if (shape < 12) {  // plain words ended by the marker before the count is reached
    const std::uint32_t count = 1 + random.Below(3);
    PlainWords(random, words, count);
    words.push_back(kReferenceEndMarker);
    record.ref_count = static_cast<std::uint16_t>(count + 1 + random.Below(20));
  } else if (shape < 14) {  // an explicit index, then one more value
    const std::uint32_t index = random.Below(50);
    words.push_back(kExplicitIndexFlag | (0x100 + random.Below(300)));
    words.push_back(index);
    PlainWords(random, words, 1);
    words.push_back(kReferenceEndMarker);
    const std::uint32_t needed = index + 3 > 4 ? index + 3 : 4;
    record.ref_count = static_cast<std::uint16_t>(needed + random.Below(5));
  } else if (shape == 14) {  // counts from 32768 on take exactly one word
    record.ref_count = static_cast<std::uint16_t>(32768 + random.Below(32768));
    PlainWords(random, words, 1);
  } else {  // all bits set is a plain value despite bit 24
    words.push_back(0xFFFFFFFF);
    words.push_back(kReferenceEndMarker);
    record.ref_count = 2;
  }
}

}  // namespace

std::string PartBufferName(BufferKind kind, std::uint32_t part_index) {
  return std::to_string(part_index) + "_" + std::string(kKindWords[static_cast<int>(kind)]) + ".dat";
}

std::string FileWideBufferName(BufferKind kind) { return std::string(kKindWords[static_cast<int>(kind)]) + ".dat"; }

std::string NestedImageName(std::size_t ordinal) { return "segment_" + std::to_string(ordinal) + ".img"; }

std::size_t ReferenceWordCount(std::uint16_t ref_count, std::span<const std::uint32_t> words) {
  if (ref_count == 0) return 0;
  if (ref_count > 32767) return 1;
  std::size_t taken = 0;
  while (taken < ref_count && taken < words.size()) {
    if (words[taken++] == kReferenceEndMarker) break;
  }
  return taken;
}

void AppendCategory(Bytes& out, const CategoryRow& row) {
  PutCountedText(out, row.name);
  PutU16(out, row.event_type);
  PutU16(out, row.aux_word);
  PutU32(out, row.event_id);
}

void AppendComputer(Bytes& out, const ComputerRow& row) {
  PutCountedText(out, row.name);
  PutU32(out, row.time_base);
}

void AppendEvent(Bytes& out, const EventRecord& record) {
  PutU32(out, static_cast<std::uint32_t>(record.data.size()));
  PutU32(out, record.field_4);
  PutU32(out, record.cat_index);
  PutU32(out, record.comp_index);
  PutU32(out, record.field_16);
  PutU32(out, record.field_20);
  PutU16(out, record.ref_count);
  PutU16(out, record.field_26);
  PutU32(out, record.time_delta);
  PutU32(out, record.delta_32);
  for (std::uint32_t word : record.ref_words) PutU32(out, word);
  out.insert(out.end(), record.data.begin(), record.data.end());
}

void AppendString(Bytes& out, std::u16string_view text) { PutCountedText(out, text); }

void AppendUser(Bytes& out, const UserRow& row) {
  PutCountedText(out, row.first);
  PutCountedText(out, row.second);
  PutU32(out, static_cast<std::uint32_t>(row.value.size()));
  out.insert(out.end(), row.value.begin(), row.value.end());
}

void AppendValuePair(Bytes& out, const ValuePair& pair) {
  PutU32(out, pair.first);
  PutU32(out, pair.second);
}

void AppendFieldList(Bytes& out, const FieldList& list) {
  PutU32(out, static_cast<std::uint32_t>(list.pairs.size()));
  for (const ValuePair& pair : list.pairs) AppendValuePair(out, pair);
}

namespace {

template <typename Row, typename Append>
Bytes EncodeAll(std::span<const Row> rows, Append append) {
  Bytes out;
  for (const Row& row : rows) append(out, row);
  return out;
}

}  // namespace

Bytes CategoryBuffer(std::span<const CategoryRow> rows) { return EncodeAll(rows, AppendCategory); }
Bytes ComputerBuffer(std::span<const ComputerRow> rows) { return EncodeAll(rows, AppendComputer); }
Bytes EventsBuffer(std::span<const EventRecord> records) { return EncodeAll(records, AppendEvent); }
Bytes UserBuffer(std::span<const UserRow> rows) { return EncodeAll(rows, AppendUser); }
Bytes ValuePairBuffer(std::span<const ValuePair> pairs) { return EncodeAll(pairs, AppendValuePair); }
Bytes FieldListBuffer(std::span<const FieldList> lists) { return EncodeAll(lists, AppendFieldList); }

Bytes StringListBuffer(std::span<const std::u16string> texts) {
  Bytes out;
  for (const std::u16string& text : texts) AppendString(out, text);
  return out;
}

void VaryRecordTail(SplitMix64& random, EventRecord& record) {
  VaryReferences(random, record);
  VaryData(random, record.data);
  record.field_4 = random.Below(4);
  record.field_16 = random.Below(8) == 0 ? random.Below(0x10000) : 0;
  record.field_20 = 0x10 + random.Below(2);
  record.field_26 = static_cast<std::uint16_t>(random.Below(3));
  record.delta_32 = random.Below(3);
}

}  // namespace repwriter
