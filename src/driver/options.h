// The single-letter option scanner: getopt's rules with the program's own
// messages, written unbuffered to standard error.
#pragma once

#include <cstdint>

namespace tallymere {

inline constexpr char kOptionString[] = "hvm:d:r:f:t:";
inline constexpr int kOptionsEnd = -1;
inline constexpr int kBadOption = '?';

class OptionScanner {
 public:
  // `quiet` suppresses the messages (used to look ahead for -h).
  OptionScanner(int argc, const char* const* argv, bool quiet = false)
      : argc_(argc), argv_(argv), quiet_(quiet) {}

  // The next option letter, kBadOption for a bad one, or kOptionsEnd.
  int Next();

  int optind() const { return optind_; }
  const char* optarg() const { return optarg_; }

 private:
  void Complain(const char* what, char letter) const;
  void AdvanceWithinArgument();

  int argc_;
  const char* const* argv_;
  bool quiet_;
  int optind_ = 1;
  int position_ = 1;  // inside argv[optind_], just after the leading '-'
  const char* optarg_ = nullptr;
};

// atoi's reading: leading blanks, a sign, digits; no digits give 0. Values
// beyond the 32-bit range saturate instead of being undefined.
int32_t AtoiLike(const char* text);

}  // namespace tallymere
