#include "driver/options.h"

#include <cctype>
#include <cstring>
#include <string>

#include "platform/output.h"
#include "platform/platform.h"

namespace tallymere {

void OptionScanner::Complain(const char* what, char letter) const {
  if (quiet_) return;
  FlushOutput();
  std::string message = std::string(argv_[0]) + what + letter + "\n";
  std::string lost;  // standard error that cannot be written has no one to tell
  platform::WriteRaw(platform::Stream::kErr, message, lost);
}

void OptionScanner::AdvanceWithinArgument() {
  ++position_;
  if (argv_[optind_][position_] == '\0') {
    ++optind_;
    position_ = 1;
  }
}

int OptionScanner::Next() {
  optarg_ = nullptr;
  if (position_ == 1) {
    if (optind_ >= argc_) return kOptionsEnd;
    const char* argument = argv_[optind_];
    if (argument[0] != '-' || argument[1] == '\0') return kOptionsEnd;
    if (std::strcmp(argument, "--") == 0) {
      ++optind_;
      return kOptionsEnd;
    }
  }
  const char* argument = argv_[optind_];
  const char letter = argument[position_];
  const char* found = letter == ':' ? nullptr : std::strchr(kOptionString, letter);
  if (found == nullptr) {
    Complain(": unknown option, -", letter);
    AdvanceWithinArgument();
    return kBadOption;
  }
  if (found[1] != ':') {
    AdvanceWithinArgument();
    return letter;
  }
  if (argument[position_ + 1] != '\0') {
    optarg_ = argument + position_ + 1;
    ++optind_;
  } else if (optind_ + 1 < argc_) {
    optarg_ = argv_[optind_ + 1];
    optind_ += 2;
  } else {
    Complain(": argument missing for -", letter);
    ++optind_;
    position_ = 1;
    return kBadOption;
  }
  position_ = 1;
  return letter;
}

int32_t AtoiLike(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;
  }
  if (negative) return static_cast<int32_t>(-value);
  return value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(value);
}

}  // namespace tallymere
