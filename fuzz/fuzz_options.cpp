// Fuzzes the command-line reading: the option scanner over an argument list
// cut from the input at zero bytes, and the date-and-time texts, the time
// window and the file-name stamp test over every argument. The first input
// byte's bit 0 lets the scanner print its complaints (to standard error).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/options.h"
#include "fuzz_support.h"
#include "window/time_filter.h"

namespace tallymere::fuzz {
namespace {

std::vector<std::string> SplitArguments(std::span<const uint8_t> bytes) {
  std::vector<std::string> arguments{"tallymere"};
  std::string current;
  for (uint8_t byte : bytes) {
    if (byte == 0) {
      arguments.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(static_cast<char>(byte));
    }
  }
  arguments.push_back(std::move(current));
  return arguments;
}

void ScanOptions(const std::vector<std::string>& arguments, bool quiet) {
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);  // as the C runtime ends argv
  OptionScanner scanner(static_cast<int>(arguments.size()), argv.data(), quiet);
  for (int c = scanner.Next(); c != kOptionsEnd; c = scanner.Next()) {
    if (scanner.optarg() != nullptr) AtoiLike(scanner.optarg());
  }
}

void ReadTimes(const std::vector<std::string>& arguments) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& text = arguments[i];
    ParseTimeText(text);
    const std::string& other = arguments[i - 1];
    for (FilterType type : {kDaysBack, kHoursBack, kFromOnly, kToOnly, kFromTo}) {
      TimeFilter filter;
      if (!SetTimeFilter(filter, type, AtoiLike(text.c_str()), text, other, 1700000000)) {
        IsFileInTimeFilter(filter, other);
      }
    }
  }
}

}  // namespace
}  // namespace tallymere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallymere;
  fuzz::InputSplitter input(data, size);
  const bool quiet = (input.TakeByte() & 0x01) == 0;
  const std::vector<std::string> arguments = fuzz::SplitArguments(input.Rest());
  fuzz::ScanOptions(arguments, quiet);
  fuzz::ReadTimes(arguments);
  return 0;
}
