// The option scanner: single letters by getopt's rules with the program's
// own messages, written unbuffered to standard error; and a few long
// options, "--name value" or "--name=value", each one argument of its own.
#pragma once

#include <cstdint>
#include <string>

namespace tallymere {

inline constexpr char kOptionString[] = "hvm:d:r:f:t:o:";
inline constexpr int kOptionsEnd = -1;
inline constexpr int kBadOption = '?';
// Long options: --help is -h and --output is -o; these are the others.
inline constexpr int kFormatOption = 0x100;       // --format
inline constexpr int kUnknownLongOption = 0x101;  // a --name the program has not
inline constexpr int kLongValueMissing = 0x102;   // a long option without its value

class OptionScanner {
 public:
  // `quiet` suppresses the messages (used to look ahead for -h).
  OptionScanner(int argc, const char* const* argv, bool quiet = false) : argc_(argc), argv_(argv), quiet_(quiet) {}

  // The next option letter, kBadOption for a bad one, or kOptionsEnd.
  int Next();

  int optind() const { return optind_; }
  const char* optarg() const { return optarg_; }
  // The name of the long option just returned, without its dashes.
  const std::string& long_name() const { return long_name_; }

 private:
  void Complain(const char* what, char letter) const;
  void AdvanceWithinArgument();
  int NextLong(const char* argument);

  int argc_;
  const char* const* argv_;
  bool quiet_;
  int optind_ = 1;
  int position_ = 1;  // inside argv[optind_], just after the leading '-'
  const char* optarg_ = nullptr;
  std::string long_name_;
};

// atoi's reading: leading blanks, a sign, digits; no digits give 0. Values
// beyond the 32-bit range saturate instead of being undefined.
int32_t AtoiLike(const char* text);

}  // namespace tallymere
