#include "driver/options.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/decimal_text.h"
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
    if (argument[1] == '-') return NextLong(argument);
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

int OptionScanner::NextLong(const char* argument) {
  const std::string_view text(argument + 2);
  const size_t equals = text.find('=');
  long_name_ = std::string(text.substr(0, equals));
  ++optind_;
  int option = kUnknownLongOption;
  if (long_name_ == "help") option = 'h';
  if (long_name_ == "format") option = kFormatOption;
  if (long_name_ == "output") option = 'o';
  if (option == kUnknownLongOption || option == 'h') return option;
  if (equals != std::string_view::npos) {
    optarg_ = argument + 2 + equals + 1;
  } else if (optind_ < argc_) {
    optarg_ = argv_[optind_++];
  } else {
    return kLongValueMissing;
  }
  return option;
}

int32_t AtoiLike(const char* text) {
  // Out of range the value stops at the nearest end of the 32-bit range.
  const DecimalText<char> number = ReadDecimalText(std::string_view(text));
  const int64_t magnitude = static_cast<int64_t>(DigitsValue(number.digits, 0x7FFFFFFF));
  if (number.negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min<int64_t>(magnitude, 0x7FFFFFFF));
}

}  // namespace tallymere
