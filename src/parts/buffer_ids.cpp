#include "parts/buffer_ids.h"

#include <array>
#include <limits>
#include <stdexcept>

namespace tallymere {

namespace {

constexpr std::array<std::u16string_view, kPartBufferIds> kNameKeys = {
    u"_cat", u"comp", u"desc", u"ents", u"irst", u"_ins", u"last", u"cord",
    u"_src", u"user", u"elds", u"ames", u"lues", u"lter", u"ters"};

// Two rows print differently from their class names; stored files' dumps
// have always shown them so.
constexpr std::array<const char*, kPartBufferIds> kPrintedNames = {
    "RepCatBuffer",      "RepCompBuffer",       "RepDescBuffer",       "RepEventsBuffer",
    "RepFirstPosBuffer", "RepInsBuffer",        "RepLastPosBuffer",    "RepRecordBuffer",
    "RepSrcBuffer",      "RepUserBuffer",       "RepNfieldsDatBuffer", "RepNfnamesBuffer",
    "RepNfvaluesBuffer", "RepFiltersDatBuffer", "RepFilterStatBuffer"};

constexpr size_t kKeyLength = 4;

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

int32_t BufferIdFromName(std::u16string_view name) {
  const size_t dot = name.find(u'.');
  if (dot == std::u16string_view::npos) return kUnknownBufferId;
  const size_t start = dot < kKeyLength ? 0 : dot - kKeyLength;
  if (name.size() - start < kKeyLength) return kUnknownBufferId;
  const std::u16string_view key = name.substr(start, kKeyLength);
  for (int32_t id = 0; id < kPartBufferIds; ++id) {
    if (kNameKeys[id] == key) return id;
  }
  return kUnknownBufferId;
}

int32_t BufferIdFromMagic(Bytes content) {
  const ByteView view(content);
  if (!view.Fits(0, 4)) return kUnknownBufferId;
  switch (view.U32At(0)) {
    case kFileImageMagic: return kFileBufferId;
    case kNestedImageMagic: return kDataBufferId;
    default: return kUnknownBufferId;
  }
}

int32_t PartIndexFromName(std::u16string_view name) {
  const std::u16string_view text = name.substr(0, name.find(u'_'));
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i == text.size() || !IsDigit(text[i])) throw std::invalid_argument("invalid stoi argument");
  // Accumulate the magnitude in 64 bits; stop counting once it is out of range
  // but keep consuming digits as the conversion does.
  const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                 : std::numeric_limits<int32_t>::max();
  int64_t magnitude = 0;
  bool out_of_range = false;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    magnitude = magnitude * 10 + (text[i] - u'0');
    if (magnitude > limit) {
      out_of_range = true;
      magnitude = limit;
    }
  }
  if (out_of_range) throw std::out_of_range("stoi argument out of range");
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

const char* PrintedBufferName(int32_t id) {
  return id >= 0 && id < kPartBufferIds ? kPrintedNames[id] : "";
}

}  // namespace tallymere
