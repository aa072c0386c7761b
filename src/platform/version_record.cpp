#include "platform/version_record.h"

namespace tallymere::platform {

namespace {

constexpr size_t kKeyEnd = 38;  // 3 header words and the 16-unit key
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedInfoVersionEnd = 16;  // signature, structure version, two version words

uint16_t Word(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t DoubleWord(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint32_t>(Word(bytes, at)) | static_cast<uint32_t>(Word(bytes, at + 2)) << 16;
}

}  // namespace

std::optional<std::array<uint16_t, 4>> ReadVersionRecord(std::span<const uint8_t> record) {
  if (record.size() < kKeyEnd) return std::nullopt;
  // The record's own length may be shorter than the resource that holds it;
  // nothing past either is read.
  const size_t length = Word(record, 0);
  if (length < record.size()) record = record.first(length);
  if (record.size() < kKeyEnd || Word(record, 2) == 0) return std::nullopt;

  size_t at = kKeyEnd;
  while (at + 2 <= record.size() && Word(record, at) == 0) at += 2;
  if (at + kFixedInfoVersionEnd > record.size()) return std::nullopt;
  if (DoubleWord(record, at) != kFixedInfoSignature) return std::nullopt;
  const uint32_t high = DoubleWord(record, at + 8);
  const uint32_t low = DoubleWord(record, at + 12);
  return std::array<uint16_t, 4>{static_cast<uint16_t>(high >> 16), static_cast<uint16_t>(high),
                                 static_cast<uint16_t>(low >> 16), static_cast<uint16_t>(low)};
}

}  // namespace tallymere::platform
