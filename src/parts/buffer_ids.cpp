#include "parts/buffer_ids.h"

#include <array>
#include <limits>
#include <stdexcept>

#include "platform/decimal_text.h"

namespace tallymere {

namespace {

constexpr std::array<std::u16string_view, kPartBufferIds> kNameKeys = {u"_cat", u"comp", u"desc", u"ents", u"irst",
                                                                       u"_ins", u"last", u"cord", u"_src", u"user",
                                                                       u"elds", u"ames", u"lues", u"lter", u"ters"};

// Two rows print differently from their class names; stored files' dumps
// have always shown them so.
constexpr std::array<const char*, kPartBufferIds> kPrintedNames = {
    "RepCatBuffer",        "RepCompBuffer",    "RepDescBuffer",     "RepEventsBuffer",     "RepFirstPosBuffer",
    "RepInsBuffer",        "RepLastPosBuffer", "RepRecordBuffer",   "RepSrcBuffer",        "RepUserBuffer",
    "RepNfieldsDatBuffer", "RepNfnamesBuffer", "RepNfvaluesBuffer", "RepFiltersDatBuffer", "RepFilterStatBuffer"};

constexpr size_t kKeyLength = 4;

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
  const DecimalText<char16_t> number = ReadDecimalText(name.substr(0, name.find(u'_')));
  if (number.digits.empty()) throw std::invalid_argument("invalid stoi argument");
  const uint64_t limit = number.negative ? uint64_t{1} << 31 : std::numeric_limits<int32_t>::max();
  const uint64_t magnitude = DigitsValue(number.digits, limit);
  if (magnitude > limit) throw std::out_of_range("stoi argument out of range");
  return static_cast<int32_t>(number.negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
}

const char* PrintedBufferName(int32_t id) { return id >= 0 && id < kPartBufferIds ? kPrintedNames[id] : ""; }

}  // namespace tallymere
