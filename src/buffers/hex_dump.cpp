#include "buffers/hex_dump.h"

#include <algorithm>
#include <string>

#include "platform/output.h"

namespace tallymere {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string Rule(char c) { return std::string(34, c) + ' ' + std::string(25, c) + ' ' + std::string(16, c) + '\n'; }

void AppendHex(std::string& out, uint64_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(kHexDigits[(value >> shift) & 0xF]);
}

// `for_terminal`: DEL and the bytes above ASCII show as '.' too, since
// those could spell a control character for a terminal to act on.
std::string Row(Bytes row, uint64_t offset, bool for_terminal) {
  std::string line;
  AppendHex(line, offset, 8);
  line += ": ";
  for (uint8_t b : row) {
    line.push_back(' ');
    AppendHex(line, b, 2);
  }
  line.append((17 - row.size()) * 3, ' ');
  // Control characters would break the layout; every other byte is written
  // as it is.
  for (uint8_t b : row) line.push_back(b < 0x20 || (for_terminal && b >= 0x7F) ? '.' : static_cast<char>(b));
  line.push_back('\n');
  return line;
}

}  // namespace

void HexDump(TextOut& out, Bytes bytes, uint64_t count) {
  count = std::min<uint64_t>(count, bytes.size());
  out << Rule('-');
  for (uint64_t r = 0; r <= count / 16; ++r) {
    const uint64_t start = r * 16;
    out << Row(bytes.subspan(start, std::min<uint64_t>(16, count - start)), start, out.ToTerminal());
  }
  out << Rule('=');
}

}  // namespace tallymere
