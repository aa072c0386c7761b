// A minimal reader of images, independent of the writer library and of the
// program (it shares no code with either), for the writer's own tests: the
// header and footer chain, the entry table and properties, deflated buffers
// and the records of a part. It reads only what a sound image holds; the
// tests damage images on purpose and look at the bytes through it.
#pragma once

#if defined(TALLYMERE_HAVE_REPWRITER)

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "repwriter/description.h"
#include "repwriter/image.h"

namespace tallymere::test {

using repwriter::Bytes;

// A little-endian unsigned integer of `width` bytes at `at`.
std::uint64_t Le(const Bytes& b, std::size_t at, std::size_t width);
// `units` UTF-16 code units at `at`.
std::u16string Text(const Bytes& b, std::size_t at, std::size_t units);
// The kind a buffer's name derives: the four units before the first "." (or
// the first four) pick it; -3 for none.
int KindOfName(const std::u16string& name);
// The part number before the first "_".
int PartOfName(const std::u16string& name);

struct Entry {
  std::size_t table_pos;
  std::u16string name;
  std::uint64_t offset, length;
};

struct Footer {
  std::uint64_t offset, length, prev_offset, prev_length;
  std::size_t table_end, props_start, props_end;
  std::vector<Entry> entries;
  std::vector<std::pair<std::u16string, std::u16string>> props;

  std::optional<std::u16string> Prop(std::u16string_view name) const {
    for (const auto& [n, v] : props)
      if (n == name) return v;
    return std::nullopt;
  }
  const Entry& Named(const std::string& name) const {
    for (const Entry& e : entries)
      if (e.name == std::u16string(name.begin(), name.end())) return e;
    throw std::runtime_error("no entry " + name);
  }
};

struct Unpacked {
  bool inflated = false;
  Bytes content;
  std::uint32_t stored_crc = 0, stored_length = 0;
};

struct DecodedEvent {
  std::u16string computer, category;
  std::uint16_t type;
  std::uint32_t id, time;
  bool operator==(const DecodedEvent&) const = default;
};

Footer ReadFooter(const Bytes& img, std::uint64_t offset, std::uint64_t length);
// Footers in file order, following the chain backwards from the header.
std::vector<Footer> ReadFooters(const Bytes& img);
// A buffer inflated, with the CRC and length stored after it.
Unpacked Unpack(const Bytes& img, const Entry& e);
std::uint32_t Crc(const Bytes& b);
// Follows the record rules a reader applies: tables by row, the running sum
// of deltas added to the computer's time base, the reference word count.
std::vector<DecodedEvent> DecodePart(const Bytes& cats, const Bytes& comps, const Bytes& events);
// The events of every part of a footer.
std::vector<DecodedEvent> DecodeFooter(const Bytes& img, const Footer& f);
std::vector<DecodedEvent> AsDecoded(const std::vector<repwriter::ExpectedEvent>& expected);

// ---- Descriptions used by several tests ------------------------------------

repwriter::Event Ev(std::u16string computer, std::u16string category, std::uint16_t type, std::uint32_t id,
                    std::uint32_t time);
// Two footers with two logs and platforms; part 2 mixes computers with time
// bases far apart so that deltas wrap, and part 7 has its own base.
repwriter::ImageDescription TwoFooterImage();

}  // namespace tallymere::test

#endif  // TALLYMERE_HAVE_REPWRITER
