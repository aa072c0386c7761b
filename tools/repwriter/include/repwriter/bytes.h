// Byte-level helpers of the writer: little-endian integers, UTF-16LE texts and
// the UTC stamps used in repository file names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace repwriter {

using Bytes = std::vector<std::uint8_t>;

// Appends the low `width` bytes of `value`, least significant first. Every
// integer of the format goes through here.
void PutLittleEndian(Bytes& out, std::uint64_t value, std::size_t width);
// Overwrites `width` bytes at `at` (the caller guarantees they exist).
void PatchLittleEndian(Bytes& out, std::size_t at, std::uint64_t value, std::size_t width);
// Reads back what the writer put; used when damage has to alter a written field.
std::uint64_t ReadLittleEndian(const Bytes& in, std::size_t at, std::size_t width);

inline void PutU16(Bytes& out, std::uint16_t v) { PutLittleEndian(out, v, 2); }
inline void PutU32(Bytes& out, std::uint32_t v) { PutLittleEndian(out, v, 4); }
inline void PutU64(Bytes& out, std::uint64_t v) { PutLittleEndian(out, v, 8); }

// Code units only, no count and no terminator.
void PutUtf16(Bytes& out, std::u16string_view text);
// The format's usual text: a u32 count of code units, then the units.
void PutCountedText(Bytes& out, std::u16string_view text);

// Converts UTF-8 (as typed in sources and on the command line) to UTF-16.
// Malformed sequences become U+FFFD rather than failing: the writer is a test
// tool and must not refuse odd names.
std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);

// "YYYYMMDDHHmmss" of a UTC time in seconds since 1970.
std::string UtcStamp(std::uint32_t seconds);
// Inverse of UtcStamp for the fields given as numbers (proleptic Gregorian).
std::uint32_t UtcSeconds(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace repwriter
