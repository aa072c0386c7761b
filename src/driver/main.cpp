// tallymere: statistics about the contents of an Orvanta event repository.
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "driver/run.h"
#include "platform/output.h"
#include "platform/platform.h"

namespace {

// What escapes every handler (a destructor or a thread that had to
// allocate) still ends the run with the fatal status and a message, never
// with an abort.
[[noreturn]] void StopUnhandled() {
  try {
    if (std::exception_ptr current = std::current_exception()) std::rethrow_exception(current);
  } catch (const std::bad_alloc&) {
    tallymere::StopOutOfMemory();
  } catch (...) {
  }
  static constexpr char kMessage[] = "Stopped by an unexpected error\n";
  std::string lost;
  tallymere::platform::WriteRaw(tallymere::platform::Stream::kErr, kMessage, lost);
  std::_Exit(tallymere::kStatusFatal);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tallymere;
  std::set_terminate(StopUnhandled);
  platform::InitConsole();
  DecideTerminalOutput();
  platform::KeepFreedMemory();
  const auto start = static_cast<int64_t>(platform::NowFileTime());
  const std::vector<std::string> arguments = platform::ProgramArguments(argc, argv);
  std::vector<const char*> pointers;
  for (const auto& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  RunOutcome outcome;
  try {
    outcome = Run(static_cast<int>(arguments.size()), pointers.data());
  } catch (const std::bad_alloc&) {
    StopOutOfMemory();
  }
  if (outcome.report_printed && outcome.verbose) {
    PrintElapsed(start, static_cast<int64_t>(platform::NowFileTime()));
  }
  FlushOutput();
  return outcome.status;
}
