// The program run as a user runs it: banner, usage, refusals, exit statuses
// and the option scanner's messages.
#include <gtest/gtest.h>

#include "support/program_runner.h"

namespace tallymere::test {
namespace {

const std::string kBanner = "Kalvex Orvanta Tallymere 1.1.0.01\nCopyright (c) Kalvex. All rights reserved.\n\n";
const std::string kUsage = ExpectedUsage(ProgramFileName());

// A repository with an empty Environment$ root: every mode runs over it.
class EmptyRepository : public ::testing::Test {
 protected:
  void SetUp() override { folder_.AddFolder("repo/Environment$"); }
  std::string Repo() const { return (folder_.path() / "repo").string(); }
  TempFolder folder_;
};

TEST(CommandLine, TooFewArgumentsShowTheUsage) {
  ProgramResult none = RunProgram({});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, kBanner);
  EXPECT_EQ(none.out, kUsage);

  // -m0 and a path name a mode and a path but make only three entries.
  ProgramResult short_form = RunProgram({"-m0", "/nowhere"});
  EXPECT_EQ(short_form.status, 1);
  EXPECT_EQ(short_form.out, kUsage);
}

TEST(CommandLine, HelpPrintsTheUsageAndSucceeds) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"-h"}, {"-v", "-h"}, {"-m", "0", "-h", "/nowhere"}, {"-vh", "-m", "0"}}) {
    ProgramResult result = RunProgram(args);
    EXPECT_EQ(result.status, 0) << args[0];
    EXPECT_EQ(result.out, kUsage);
    EXPECT_EQ(result.err, kBanner);
  }
}

TEST(CommandLine, RefusalsEndWithStatusOne) {
  struct Case {
    std::vector<std::string> args;
    std::string err;  // after the banner
  };
  const std::vector<Case> cases = {
      {{"repo", "-m", "0"}, ""},       // first argument no option
      {{"-v", "-v", "/nowhere"}, ""},  // no -m
      {{"-m", "13", "/nowhere"}, "Unknown mode : 13\n"},
      {{"-m", "-2", "/nowhere"}, "Unknown mode : -2\n"},
      {{"-m", "19", "/nowhere"}, "Unknown mode : 19\n"},
      {{"-m", "33", "/nowhere"}, "Unknown mode : 33\n"},
      {{"-m", "0", "-d", "1", "-r", "1", "/nowhere"}, "Wrong filter configuration!\n"},
      {{"-m", "0", "-d", "1", "-f", "2018", "/nowhere"}, "Wrong filter configuration!\n"},
      {{"-m", "0", "-f", "2018", "-d", "1", "/nowhere"}, "Wrong filter configuration!\n"},
      {{"-m", "0", "-f", "2018", "-f", "2018", "/nowhere"}, "Wrong filter configuration!\n"},
      {{"-m", "0", "-t", "2018", "-t", "2019", "/nowhere"}, "Wrong filter\n"},
      {{"-m", "0", "-d", "1", "-t", "2019", "/nowhere"}, "Wrong filter\n"},
      {{"-m", "0", "-f", "20181301", "/nowhere"}, "Wrong time : 20181301\n"},
      {{"-m", "0", "-t", "2018023", "/nowhere"}, "Repository doesn't exist : /nowhere\n"},  // 2018-02-03
      // ISO forms are read; any other text with a non-digit is refused.
      {{"-m", "0", "-t", "2018-05-10T14:30Z", "/nowhere"}, "Repository doesn't exist : /nowhere\n"},
      {{"-m", "0", "-f", "2018-05-10 14:30:05", "/nowhere"}, "Repository doesn't exist : /nowhere\n"},
      {{"-m", "0", "-t", "2018-05-10x", "/nowhere"}, "Wrong time : 2018-05-10x\n"},
      {{"-m", "0", "-f", "20180510x", "/nowhere"}, "Wrong time : 20180510x\n"},
      {{"-m", "0", "-f", "2018-02-30", "/nowhere"}, "Wrong time : 2018-02-30\n"},
      {{"-m", "0", "-f", "2018", "-t", "2018-05-10 14:00:00Z ", "/nowhere"}, "Wrong time : 2018-05-10 14:00:00Z \n"},
      {{"-m", "0", "-f", " 2018", "/nowhere"}, "Wrong time :  2018\n"},
      // An empty repository path is no path.
      {{"-m", "1", ""}, ""},
      {{"-m", "1", "--", ""}, ""},
      {{"-m", "1", "-t", "2018-05-10", ""}, ""},
      {{"-v", "-m", "0"}, ""},  // the options consume every argument
      {{"-m", "0", "/nowhere/at/all"}, "Repository doesn't exist : /nowhere/at/all\n"},
      {{"-m", "abc", "/nowhere"}, "Repository doesn't exist : /nowhere\n"},  // abc reads as mode 0
  };
  for (const auto& c : cases) {
    ProgramResult result = RunProgram(c.args);
    const std::string label = c.args[0] + " " + c.args[1] + " " + c.args[2];
    EXPECT_EQ(result.status, 1) << label;
    EXPECT_EQ(result.out, kUsage) << label;
    EXPECT_EQ(result.err, kBanner + c.err) << label;
  }
}

TEST(CommandLine, ScannerMessagesGoToStandardErrorAndTheRunGoesOn) {
  ProgramResult unknown = RunProgram({"-x", "-m", "0", "/nowhere"});
  EXPECT_EQ(unknown.err, kBanner + ProgramPath() + ": unknown option, -x\n" + "Repository doesn't exist : /nowhere\n");
  ProgramResult colon = RunProgram({"-:", "-m", "0", "/nowhere"});
  EXPECT_NE(colon.err.find(": unknown option, -:\n"), std::string::npos);
  ProgramResult missing = RunProgram({"-v", "-v", "-m"});
  EXPECT_EQ(missing.err, kBanner + ProgramPath() + ": argument missing for -m\n");
  EXPECT_EQ(missing.status, 1);
}

TEST_F(EmptyRepository, ModeMinusOneIsSilentWithoutVerbose) {
  ProgramResult result = RunProgram({"-m", "-1", Repo()});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, kBanner);
}

TEST_F(EmptyRepository, VerboseRunPrintsPathTotalAndElapsedTime) {
  ProgramResult property = RunProgram({"-v", "-m", "-1", Repo()});
  EXPECT_EQ(property.status, 0);
  EXPECT_TRUE(property.out.starts_with(Repo() + "\n\n\ntotal (property): 0\n")) << property.out;
  ProgramResult counting = RunProgram({"-vm", "21", Repo()});
  EXPECT_TRUE(counting.out.starts_with(Repo() + "\n\n\ntotal : 0\n")) << counting.out;
  // The last line is the elapsed time, seconds with three decimals.
  const std::string last = counting.out.substr(counting.out.rfind("total : 0\n") + 10);
  EXPECT_EQ(last.size(), last.find('.') + 5) << last;
}

TEST_F(EmptyRepository, GroupedAndAttachedOptionsAndTheEndOfOptions) {
  EXPECT_EQ(RunProgram({"-vm0", "--", Repo()}).status, 0);
  ProgramResult dashes = RunProgram({"-m", "0", "--", Repo()});
  EXPECT_EQ(dashes.status, 0);
  EXPECT_EQ(dashes.out, "");
  // Options after the path are not read.
  ProgramResult after = RunProgram({"-m", "0", Repo(), "-v"});
  EXPECT_EQ(after.status, 0);
  EXPECT_EQ(after.out, "");
  // Every time option over an empty repository.
  for (const auto& filter :
       std::vector<std::vector<std::string>>{{"-d", "3"},
                                             {"-r", "5"},
                                             {"-f", "2018"},
                                             {"-t", "201805"},
                                             {"-t", "2019", "-f", "2018"},
                                             {"-f", "2018-05-10"},
                                             {"-t", "2018-05-10T14:30:05Z", "-f", "2018-05-10 14:30"}}) {
    std::vector<std::string> args = {"-m", "1"};
    args.insert(args.end(), filter.begin(), filter.end());
    args.push_back(Repo());
    EXPECT_EQ(RunProgram(args).status, 0) << filter[0];
  }
}

// An empty path would name the working folder; run from a folder that is
// a repository, it is still refused, and nothing is walked.
TEST_F(EmptyRepository, AnEmptyPathIsRefusedInARepositoryFolder) {
  folder_.AddFile("repo/Environment$/Application/Orv_0000000001_2018050100000020180530164800.rep",
                  std::string(512, 'x'));
  for (const auto& args : std::vector<std::vector<std::string>>{{"-m", "1", ""}, {"-m", "1", "--", ""}}) {
    ProgramResult result = RunProgram(args, folder_.path() / "repo");
    EXPECT_EQ(result.status, 1) << args.size();
    EXPECT_EQ(result.out, kUsage) << args.size();
    EXPECT_EQ(result.err, kBanner) << args.size();
  }
}

TEST_F(EmptyRepository, EveryModeOfTheTableRuns) {
  for (int mode = -1; mode <= 32; ++mode) {
    if (mode > 12 && mode < 20) continue;
    ProgramResult result = RunProgram({"-m", std::to_string(mode), Repo()});
    EXPECT_EQ(result.status, 0) << mode;
    EXPECT_EQ(result.out, "") << mode;
  }
}

TEST(CommandLine, UsageNamesTheProgramWithoutItsFolder) {
  TempFolder folder;
  ProgramResult result = RunProgram({"-h"}, folder.path());
  EXPECT_NE(result.out.find("\n\n" + ProgramFileName() + " [-h -v] -m <mode>"), std::string::npos);
}

}  // namespace
}  // namespace tallymere::test
