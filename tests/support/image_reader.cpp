#if defined(TALLYMERE_HAVE_REPWRITER)

#include "support/image_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <tuple>

namespace tallymere::test {

std::uint64_t Le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{b.at(at + i)} << (8 * i);
  return v;
}

std::u16string Text(const Bytes& b, std::size_t at, std::size_t units) {
  std::u16string s;
  for (std::size_t i = 0; i < units; ++i) s.push_back(static_cast<char16_t>(Le(b, at + 2 * i, 2)));
  return s;
}

int KindOfName(const std::u16string& name) {
  static const std::vector<std::u16string> keys = {u"_cat", u"comp", u"desc", u"ents", u"irst",
                                                   u"_ins", u"last", u"cord", u"_src", u"user",
                                                   u"elds", u"ames", u"lues", u"lter", u"ters"};
  const std::size_t dot = name.find(u'.');
  if (dot == std::u16string::npos || name.size() < 4) return -3;
  const std::u16string key = name.substr(dot < 4 ? 0 : dot - 4, 4);
  const auto it = std::find(keys.begin(), keys.end(), key);
  return it == keys.end() ? -3 : static_cast<int>(it - keys.begin());
}

int PartOfName(const std::u16string& name) {
  return std::stoi(std::string(name.begin(), name.begin() + static_cast<long>(name.find(u'_'))));
}

Footer ReadFooter(const Bytes& img, std::uint64_t offset, std::uint64_t length) {
  Footer f{offset, length, Le(img, offset, 8), Le(img, offset + 8, 4), 0, 0, 0, {}, {}};
  const std::uint64_t table_len = Le(img, offset + 12, 8);
  std::size_t at = offset + 20;
  f.table_end = at + table_len;
  while (at < f.table_end) {
    const std::size_t n = Le(img, at, 4);
    f.entries.push_back({at, Text(img, at + 4, n), Le(img, at + 12 + 2 * n, 8), Le(img, at + 20 + 2 * n, 8)});
    at += 28 + 2 * n;
  }
  const std::uint64_t props_len = Le(img, f.table_end, 8);
  f.props_start = f.table_end + 8;
  f.props_end = f.props_start + props_len;
  for (at = f.props_start; at < f.props_end;) {
    const std::size_t n = Le(img, at, 4);
    const std::size_t m = Le(img, at + 4 + 2 * n, 4);
    f.props.emplace_back(Text(img, at + 4, n), Text(img, at + 8 + 2 * n, m));
    at += 8 + 2 * n + 2 * m;
  }
  return f;
}

std::vector<Footer> ReadFooters(const Bytes& img) {
  std::vector<Footer> footers;
  std::uint64_t offset = Le(img, 32, 8), length = Le(img, 40, 4);
  while (footers.size() < 64) {
    footers.insert(footers.begin(), ReadFooter(img, offset, length));
    if (footers.front().prev_offset == 0) break;
    offset = footers.front().prev_offset;
    length = footers.front().prev_length;
  }
  return footers;
}

Unpacked Unpack(const Bytes& img, const Entry& e) {
  Unpacked u;
  const std::size_t name_len = e.name.size();
  const std::size_t start = e.offset + 13 + name_len;
  u.stored_crc = static_cast<std::uint32_t>(Le(img, e.offset + e.length - 8, 4));
  u.stored_length = static_cast<std::uint32_t>(Le(img, e.offset + e.length - 4, 4));
  z_stream z{};
  inflateInit2(&z, -15);
  u.content.resize(1 << 24);
  z.next_in = const_cast<Bytef*>(img.data() + start);
  z.avail_in = static_cast<uInt>(e.offset + e.length - start);
  z.next_out = u.content.data();
  z.avail_out = static_cast<uInt>(u.content.size());
  u.inflated = inflate(&z, Z_FINISH) == Z_STREAM_END;
  u.content.resize(z.total_out);
  inflateEnd(&z);
  return u;
}

std::uint32_t Crc(const Bytes& b) {
  return static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
}

std::vector<DecodedEvent> DecodePart(const Bytes& cats, const Bytes& comps, const Bytes& events) {
  std::vector<std::tuple<std::u16string, std::uint16_t, std::uint32_t>> cat_rows;
  for (std::size_t at = 0; at < cats.size();) {
    const std::size_t n = Le(cats, at, 4);
    cat_rows.emplace_back(Text(cats, at + 4, n), Le(cats, at + 4 + 2 * n, 2), Le(cats, at + 8 + 2 * n, 4));
    at += 12 + 2 * n;
  }
  std::vector<std::pair<std::u16string, std::uint32_t>> comp_rows;
  for (std::size_t at = 0; at < comps.size();) {
    const std::size_t n = Le(comps, at, 4);
    comp_rows.emplace_back(Text(comps, at + 4, n), Le(comps, at + 4 + 2 * n, 4));
    at += 8 + 2 * n;
  }
  std::vector<DecodedEvent> out;
  std::uint32_t running = 0;
  for (std::size_t at = 0; at < events.size();) {
    const auto data_len = Le(events, at, 4), refs = Le(events, at + 24, 2);
    std::size_t words = 0;
    if (refs > 32767) {
      words = 1;
    } else {
      while (words < refs && Le(events, at + 36 + 4 * words++, 4) != repwriter::kReferenceEndMarker) {
      }
    }
    running += static_cast<std::uint32_t>(Le(events, at + 28, 4));
    const auto& [cat, type, id] = cat_rows.at(Le(events, at + 8, 4));
    const auto& [computer, base] = comp_rows.at(Le(events, at + 12, 4));
    out.push_back({computer, cat, type, id, base + running});
    at += 36 + 4 * words + data_len;
    EXPECT_LE(at, events.size()) << "record runs past the buffer";
  }
  return out;
}

std::vector<DecodedEvent> DecodeFooter(const Bytes& img, const Footer& f) {
  std::vector<DecodedEvent> out;
  for (const Entry& e : f.entries) {
    if (KindOfName(e.name) != 3) continue;
    const std::string part = std::to_string(PartOfName(e.name));
    auto unpack = [&](const char* word) { return Unpack(img, f.Named(part + "_" + word + ".dat")).content; };
    auto events = DecodePart(unpack("cat"), unpack("comp"), unpack("events"));
    out.insert(out.end(), events.begin(), events.end());
  }
  return out;
}

std::vector<DecodedEvent> AsDecoded(const std::vector<repwriter::ExpectedEvent>& expected) {
  std::vector<DecodedEvent> out;
  for (const auto& e : expected) out.push_back({e.computer, e.category, e.event_type, e.event_id, e.time});
  return out;
}

repwriter::Event Ev(std::u16string computer, std::u16string category, std::uint16_t type, std::uint32_t id,
                    std::uint32_t time) {
  return {std::move(computer), std::move(category), type, id, time, std::nullopt};
}

repwriter::ImageDescription TwoFooterImage() {
  repwriter::ImageDescription image;
  repwriter::FooterDescription first;
  first.log = u"System";
  first.platform_id = 610;
  first.computer_type = 3;
  repwriter::PartDescription p1{1,
                                {Ev(u"WS-1", u"Logon", 4, 0x12345, 1527085800), Ev(u"ws-1", u"", 2, 7, 1527085801),
                                 Ev(u"WS-1", u"Logon", 4, 0x12345, 1527085700)},
                                {},
                                {}};
  repwriter::PartDescription p2{
      2,
      {Ev(u"Srv-\u00e9", u"Disk", 1, 0x80000001, 100), Ev(u"DC1", u"Disk", 1, 0x80000001, 4000000000U),
       Ev(u"Srv-\u00e9", u"Pr\u00fcfung", 8, 65535, 5)},
      {},
      {}};
  first.parts = {p1, p2};
  repwriter::FooterDescription second;
  second.log = u"Application";
  second.platform_id = 2;
  repwriter::PartDescription p7{7,
                                {Ev(u"DC1", u"Backup", 4, 20, 1600000000), Ev(u"DC1", u"Backup", 4, 20, 1600000000)},
                                {{u"DC1", 1599999990}},
                                {}};
  second.parts = {p7};
  image.footers = {first, second};
  return image;
}

}  // namespace tallymere::test

#endif  // TALLYMERE_HAVE_REPWRITER
