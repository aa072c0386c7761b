#include "buffers/byte_reader.h"

namespace tallymere {

std::u16string ByteView::Utf16At(uint64_t offset, uint64_t units) const {
  if (units > size() / 2 || !Fits(offset, units * 2)) return {};
  std::u16string text(units, u'\0');
  const uint8_t* p = data() + offset;
  for (uint64_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(LoadLE16(p + 2 * i));
  return text;
}

std::u16string ByteReader::Utf16(uint64_t units) {
  if (units > view_.size() / 2 || !Take(units * 2)) {
    if (ok_) Take(UINT64_MAX);  // record the failure at the current offset
    return {};
  }
  return view_.Utf16At(offset_ - units * 2, units);
}

}  // namespace tallymere
