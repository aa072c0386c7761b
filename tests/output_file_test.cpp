// -o FILE holds exactly what standard output would have held, line ends
// included (CR LF on Windows), in every format; standard output then holds
// no report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "repwriter/generator.h"
#include "support/program_runner.h"

namespace tallymere::test {
namespace {

TEST(OutputFile, HoldsWhatStandardOutputWouldHold) {
  TempFolder folder;
  repwriter::GeneratorOptions options;
  options.out = folder.path() / "repo";
  options.events = 20000;
  options.files = 4;
  repwriter::GenerateRepository(options);
  const std::string report = (folder.path() / "report.out").string();
  for (const std::vector<std::string>& form :
       {std::vector<std::string>{}, {"--format", "csv"}, {"--format", "jsonl"}}) {
    std::vector<std::string> args = {"-m", "7"};
    args.insert(args.end(), form.begin(), form.end());
    args.push_back(options.out.string());
    const ProgramResult plain = RunProgramRaw(args);
    args.insert(args.begin(), {"-o", report});
    const ProgramResult to_file = RunProgramRaw(args);
    ASSERT_EQ(to_file.status, 0) << to_file.err;
    EXPECT_EQ(to_file.out, "");
    EXPECT_FALSE(plain.out.empty());
    EXPECT_TRUE(ReadText(report) == plain.out) << (form.empty() ? "plain" : form[1]);  // no dump of megabytes
  }
}

}  // namespace
}  // namespace tallymere::test
