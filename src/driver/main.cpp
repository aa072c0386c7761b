// tallymere: statistics about the contents of an Orvanta event repository.
#include <vector>

#include "driver/run.h"
#include "platform/output.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  using namespace tallymere;
  platform::InitConsole();
  platform::KeepFreedMemory();
  const auto start = static_cast<int64_t>(platform::NowFileTime());
  const std::vector<std::string> arguments = platform::ProgramArguments(argc, argv);
  std::vector<const char*> pointers;
  for (const auto& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  const RunOutcome outcome = Run(static_cast<int>(arguments.size()), pointers.data());
  if (outcome.report_printed && outcome.verbose) {
    PrintElapsed(start, static_cast<int64_t>(platform::NowFileTime()));
  }
  FlushOutput();
  return outcome.status;
}
