// The run of the program from the command line to the report.
#pragma once

#include <cstdint>
#include <string>

namespace tallymere {

// Process exit statuses.
enum ExitStatus : int {
  kExitOk = 0,          // the report was printed over sound content
  kExitRefused = 1,     // the command line was refused
  kExitIncomplete = 2,  // the report was printed, but damaged content was met
  kExitFatal = 255,     // a fatal stop
};

struct RunOutcome {
  int status = kExitOk;
  bool report_printed = false;  // the run went through to the report
  bool verbose = false;
};

RunOutcome Run(int argc, const char* const* argv);

// Threads to work beside the main one: one per processor, at most four, none
// on a single processor. TALLYMERE_THREADS (0 to 64) sets the number.
unsigned DefaultWorkerThreads();

// The program name for the usage: argv[0] after its last '/' or '\'.
std::string ProgramName(const char* argv0);

void PrintBanner();
void PrintUsage(const char* argv0);
// The file version, "1.1.0.01", or empty when it is unavailable.
std::string GetFileVersionString();
// Elapsed time between two 100-ns stamps as seconds with three decimals.
std::string FormatElapsed(int64_t start, int64_t end);
void PrintElapsed(int64_t start, int64_t end);

}  // namespace tallymere
