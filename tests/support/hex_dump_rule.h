// The rule lines a hex dump starts ('-') and ends ('=') with, over its
// address, byte and text columns.
#pragma once

#include <string>

namespace tallymere::test {

inline std::string Rule(char c) {
  return std::string(34, c) + ' ' + std::string(25, c) + ' ' + std::string(16, c) + '\n';
}

}  // namespace tallymere::test
