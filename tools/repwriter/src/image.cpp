#include "repwriter/image.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace repwriter {

namespace {

constexpr std::size_t kDataBufferHeader = 12;  // "ED" and 10 more bytes before the name
constexpr std::size_t kDataBufferTrailer = 8;  // CRC-32 and unpacked length

// Raw DEFLATE (no zlib header or Adler-32), the stream the reader inflates
// with negative window bits. One stream object is reused for every buffer of
// an image: resetting it is far cheaper than setting it up again.
class Deflater {
 public:
  explicit Deflater(int level) {
    if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::invalid_argument("repwriter: unusable compression level " + std::to_string(level));
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  void Append(const Bytes& in, Bytes& out) {
    deflateReset(&stream_);
    const std::size_t start = out.size();
    out.resize(start + deflateBound(&stream_, static_cast<uLong>(in.size())));
    stream_.next_in = const_cast<Bytef*>(in.data());  // zlib's API is not const-correct
    stream_.avail_in = static_cast<uInt>(in.size());
    stream_.next_out = out.data() + start;
    stream_.avail_out = static_cast<uInt>(out.size() - start);
    if (deflate(&stream_, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("repwriter: deflate failed");
    out.resize(start + stream_.total_out);
  }

 private:
  z_stream stream_{};
};

std::uint32_t Crc32Of(const Bytes& content) {
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), content.data(), static_cast<uInt>(content.size())));
}

void AppendDataBuffer(const BufferPlan& buffer, Deflater& deflater, Bytes& out) {
  out.push_back('E');
  out.push_back('D');
  out.push_back(buffer.holds_image ? 'R' : 0);
  out.push_back(buffer.holds_image ? 'P' : 0);
  out.insert(out.end(), kDataBufferHeader - 4, 0);
  out.insert(out.end(), buffer.name.begin(), buffer.name.end());
  out.push_back(0);
  deflater.Append(buffer.content, out);
  PutU32(out, Crc32Of(buffer.content));
  PutU32(out, static_cast<std::uint32_t>(buffer.content.size()));
}

// Where the writer put things, so that damage can be applied afterwards.
struct EntryLayout {
  std::size_t table_pos = 0;  // the entry's name-length field
  std::size_t name_length = 0;
  std::size_t data_offset = 0;
  std::size_t data_length = 0;
};

struct FooterLayout {
  std::size_t offset = 0;
  std::size_t length = 0;
  std::size_t table_end = 0;
  std::size_t properties_start = 0;
  std::size_t properties_end = 0;
  std::vector<EntryLayout> entries;
};

std::size_t EntryIndex(const FooterPlan& footer, const std::string& name) {
  if (name.empty()) return 0;
  for (std::size_t i = 0; i < footer.buffers.size(); ++i) {
    if (footer.buffers[i].name == name) return i;
  }
  throw std::invalid_argument("repwriter: no buffer named " + name + " to damage");
}

std::uint32_t LeadingDecimal(std::u16string_view text) {
  std::uint32_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') break;
    value = value * 10 + static_cast<std::uint32_t>(c - u'0');
  }
  return value;
}

std::u16string Decimal16(std::uint32_t value) {
  const std::string text = std::to_string(value);
  return {text.begin(), text.end()};
}

void SetOrAdd(std::vector<Property>& properties, std::u16string_view name, std::u16string_view value) {
  bool found = false;
  for (Property& p : properties) {
    if (p.name == name) {
      p.value = value;
      found = true;
    }
  }
  if (!found) properties.push_back({std::u16string(name), std::u16string(value)});
}

void Erase(std::vector<Property>& properties, std::u16string_view name) {
  std::erase_if(properties, [&](const Property& p) { return p.name == name; });
}

void DamageProperties(Damage what, std::vector<Property>& properties) {
  switch (what) {
    case Damage::MissingEventsCount: Erase(properties, kEventsCount); break;
    case Damage::MissingComputerType: Erase(properties, kComputerType); break;
    case Damage::MissingPlatformId: Erase(properties, kPlatformId); break;
    case Damage::MissingUnderDataSource: Erase(properties, kUnderDataSource); break;
    case Damage::NonNumericEventsCount: SetOrAdd(properties, kEventsCount, u"x12"); break;
    case Damage::NonNumericComputerType: SetOrAdd(properties, kComputerType, u"x12"); break;
    case Damage::NonNumericPlatformId: SetOrAdd(properties, kPlatformId, u"x12"); break;
    case Damage::EventsCountMismatch:
      for (Property& p : properties) {
        if (p.name == kEventsCount) p.value = Decimal16(LeadingDecimal(p.value) + 1);
      }
      break;
    default: break;
  }
}

std::vector<Property> PropertiesToWrite(const ImagePlan& plan, std::size_t footer) {
  std::vector<Property> properties = plan.footers[footer].properties;
  for (const DamageSpot& spot : plan.damage) {
    if (spot.footer == footer) DamageProperties(spot.what, properties);
  }
  return properties;
}

// Writes `value` as a u64 length in front of what was appended since `at`.
void PatchLengthSince(Bytes& image, std::size_t at) { PatchLittleEndian(image, at, image.size() - at - 8, 8); }

FooterLayout AppendFooter(const FooterPlan& footer, const std::vector<Property>& properties,
                          const FooterLayout* previous, std::vector<EntryLayout> entries, Bytes& image) {
  FooterLayout layout;
  layout.offset = image.size();
  PutU64(image, previous ? previous->offset : 0);
  PutU32(image, previous ? static_cast<std::uint32_t>(previous->length) : 0);
  const std::size_t table_length_pos = image.size();
  PutU64(image, 0);
  for (std::size_t i = 0; i < footer.buffers.size(); ++i) {
    const BufferPlan& buffer = footer.buffers[i];
    entries[i].table_pos = image.size();
    PutCountedText(image, std::u16string(buffer.name.begin(), buffer.name.end()));
    PutU64(image, buffer.unused_value);
    PutU64(image, entries[i].data_offset);
    PutU64(image, entries[i].data_length);
  }
  PatchLengthSince(image, table_length_pos);
  layout.table_end = image.size();
  const std::size_t property_length_pos = image.size();
  PutU64(image, 0);
  layout.properties_start = image.size();
  for (const Property& p : properties) {
    PutCountedText(image, p.name);
    PutCountedText(image, p.value);
  }
  PatchLengthSince(image, property_length_pos);
  layout.properties_end = image.size();
  layout.length = image.size() - layout.offset;
  layout.entries = std::move(entries);
  return layout;
}

void DamageBuffer(Damage what, const EntryLayout& entry, Bytes& image) {
  const std::size_t end = entry.data_offset + entry.data_length;
  const std::size_t length_field = entry.table_pos + 4 + 2 * entry.name_length + 16;
  switch (what) {
    case Damage::BadCrc: PatchLittleEndian(image, end - 8, ReadLittleEndian(image, end - 8, 4) ^ 1, 4); break;
    case Damage::WrongSignature: image[entry.data_offset + 1] = 'X'; break;
    case Damage::CorruptDeflate:
      // BFINAL set and block type 3, which no DEFLATE stream may use.
      image[entry.data_offset + kDataBufferHeader + entry.name_length + 1] = 0x07;
      break;
    case Damage::UnpackedLenTooSmall: PatchLittleEndian(image, end - 4, 1, 4); break;
    case Damage::UnpackedLenHuge: PatchLittleEndian(image, end - 4, 0xFFFFFFFF, 4); break;
    case Damage::BufferShorterThanHeader:
      PatchLittleEndian(image, length_field, kDataBufferHeader + entry.name_length + 1 + kDataBufferTrailer - 1, 8);
      break;
    case Damage::EntryPastImage:
      PatchLittleEndian(image, length_field - 8, image.size() - entry.data_length + 1, 8);
      break;
    default: break;
  }
}

void DamageFooter(Damage what, const FooterLayout& footer, const FooterLayout& last, Bytes& image) {
  switch (what) {
    case Damage::ChainOutOfRange: PatchLittleEndian(image, footer.offset, image.size(), 8); break;
    case Damage::ChainLoopsToSelf:
      PatchLittleEndian(image, footer.offset, footer.offset, 8);
      PatchLittleEndian(image, footer.offset + 8, footer.length, 4);
      break;
    case Damage::ChainPointsForward:
      PatchLittleEndian(image, footer.offset, last.offset, 8);
      PatchLittleEndian(image, footer.offset + 8, last.length, 4);
      break;
    case Damage::PropertyLengthPastSection: {
      if (footer.properties_start == footer.properties_end) break;
      const std::size_t name_units = ReadLittleEndian(image, footer.properties_start, 4);
      const std::size_t value_length_pos = footer.properties_start + 4 + 2 * name_units;
      const std::size_t left = footer.properties_end - value_length_pos - 4;
      PatchLittleEndian(image, value_length_pos, left / 2 + 1, 4);
      break;
    }
    default: break;
  }
}

void DamageEntryName(const FooterLayout& footer, const EntryLayout& entry, Bytes& image) {
  const std::size_t left = footer.table_end - entry.table_pos - 4;
  PatchLittleEndian(image, entry.table_pos, left / 2 + 1, 4);
}

void DamageImage(const DamageSpot& spot, Bytes& image) {
  if (spot.what == Damage::HeaderSumOff) {
    PatchLittleEndian(image, 40, ReadLittleEndian(image, 40, 4) + 1, 4);
  } else if (spot.what == Damage::Truncate) {
    image.resize(std::min<std::uint64_t>(image.size(), spot.length));
  } else if (spot.what == Damage::ShorterThanHeader) {
    const std::uint64_t wanted = spot.length == 0 ? kImageHeaderSize - 1 : spot.length;
    image.resize(std::min<std::uint64_t>({image.size(), wanted, kImageHeaderSize - 1}));
  }
}

bool ChangesSize(Damage what) { return what == Damage::Truncate || what == Damage::ShorterThanHeader; }

void ApplyDamage(const ImagePlan& plan, const std::vector<FooterLayout>& layout, Bytes& image) {
  for (const DamageSpot& spot : plan.damage) {
    if (spot.what == Damage::HeaderSumOff) DamageImage(spot, image);
    if (spot.what == Damage::HeaderSumOff || ChangesSize(spot.what)) continue;
    if (spot.footer >= layout.size()) throw std::invalid_argument("repwriter: damage names a missing footer");
    const FooterLayout& footer = layout[spot.footer];
    DamageFooter(spot.what, footer, layout.back(), image);
    if (footer.entries.empty()) continue;
    const EntryLayout& entry = footer.entries[EntryIndex(plan.footers[spot.footer], spot.buffer)];
    DamageBuffer(spot.what, entry, image);
    if (spot.what == Damage::EntryNameLengthPastTable) DamageEntryName(footer, entry, image);
  }
  // Size changes come last so that every patch above sees the complete image.
  for (const DamageSpot& spot : plan.damage) {
    if (ChangesSize(spot.what)) DamageImage(spot, image);
  }
}

void AppendHeader(Bytes& image) {
  image.assign(kImageHeaderSize, 0);  // the footer fields are patched at the end
  const char magic[] = "EDRP";
  std::copy(magic, magic + 4, image.begin());
}

}  // namespace

Bytes EncodeDataBuffer(const BufferPlan& buffer, int compression_level) {
  Deflater deflater(compression_level);
  Bytes out;
  AppendDataBuffer(buffer, deflater, out);
  return out;
}

Bytes BuildImage(const ImagePlan& plan) {
  Deflater deflater(plan.compression_level);
  Bytes image;
  AppendHeader(image);
  std::vector<FooterLayout> layout;
  for (std::size_t f = 0; f < plan.footers.size(); ++f) {
    const FooterPlan& footer = plan.footers[f];
    std::vector<EntryLayout> entries(footer.buffers.size());
    for (std::size_t b = 0; b < footer.buffers.size(); ++b) {
      entries[b].name_length = footer.buffers[b].name.size();
      entries[b].data_offset = image.size();
      AppendDataBuffer(footer.buffers[b], deflater, image);
      entries[b].data_length = image.size() - entries[b].data_offset;
    }
    layout.push_back(AppendFooter(footer, PropertiesToWrite(plan, f), layout.empty() ? nullptr : &layout.back(),
                                  std::move(entries), image));
  }
  const std::size_t last_offset = layout.empty() ? kImageHeaderSize : layout.back().offset;
  PatchLittleEndian(image, 32, last_offset, 8);
  PatchLittleEndian(image, 40, image.size() - last_offset, 4);
  ApplyDamage(plan, layout, image);
  return image;
}

}  // namespace repwriter
