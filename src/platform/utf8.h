// UTF-8, the program's text everywhere, and the UTF-16 of repository
// files: one encoder and one decoder each, for the report, the terminal's
// escaping and the page alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tallymere {

inline constexpr uint32_t kReplacementCharacter = 0xFFFD;

// Appends the code point (at most U+10FFFF) as UTF-8.
void AppendCodePoint(std::string& out, uint32_t code_point);

// The length of the valid UTF-8 sequence of two to four bytes at text[i],
// with its code point; 0 when there is none (a stray continuation byte, a
// truncated, overlong or surrogate sequence, or one past U+10FFFF). Each
// byte that starts no valid sequence is one U+FFFD to a caller that
// replaces: a reader never loses the bytes after it.
size_t MultiByteSequenceAt(std::string_view text, size_t i, uint32_t& code_point);

// The code point of UTF-16 text at text[i] (a surrogate pair makes one),
// and `i` moved past it; a surrogate without its pair is U+FFFD.
uint32_t NextUtf16CodePoint(std::u16string_view text, size_t& i);

}  // namespace tallymere
