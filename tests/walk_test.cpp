// The repository walk: roots, order, the rules for folders, and file access,
// seen through the program's own diagnostics over damaged files.
#include "repository/walk.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/program_runner.h"

namespace tallymere::test {
namespace {

// The paths the program reported as damaged, in the order it reported them.
std::vector<std::string> ReportedFiles(const std::string& out) {
  std::vector<std::string> files;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == "some problem in file:" && std::getline(lines, line)) files.push_back(line);
  }
  return files;
}

TEST(WalkOrder, NamesCompareWithoutCaseThenByBytes) {
  EXPECT_TRUE(NameOrderLess("a.rep", "B.rep"));
  EXPECT_TRUE(NameOrderLess("B.rep", "c.rep"));
  EXPECT_TRUE(NameOrderLess("A.rep", "a.rep"));  // tie broken by bytes
  EXPECT_FALSE(NameOrderLess("a.rep", "A.rep"));
  EXPECT_TRUE(NameOrderLess("ab", "abc"));
  EXPECT_TRUE(NameOrderLess("ax", "_x"));  // letters compare upper-cased, and 'A' < '_'
  EXPECT_TRUE(NameOrderLess("zx", "_x"));
  EXPECT_TRUE(HasRepExtension("A.REP"));
  EXPECT_TRUE(HasRepExtension("x.Rep"));
  EXPECT_FALSE(HasRepExtension("rep"));
  EXPECT_FALSE(HasRepExtension("x.reps"));
}

// A repository of damaged files (a few bytes each), so that every visited
// file is named in the output.
class WalkTree : public ::testing::Test {
 protected:
  std::string Repo() const { return (folder_.path() / "repo").string(); }
  // A file's path as the program reports it.
  std::string Path(const std::string& relative) const { return ShownPath(Repo() + "/" + relative); }
  void AddRep(const std::string& relative) { folder_.AddFile("repo/" + relative, "damaged"); }
  TempFolder folder_;
};

TEST_F(WalkTree, HotRootComesFirstAndFilesInNameOrder) {
  AddRep("Environment$/src/b.rep");
  AddRep("Environment$/src/A.REP");
  AddRep("Hot$/Environment$/z.rep");
  AddRep("Environment$/src/c.rep");
  ProgramResult result = RunProgram({"-m", "-1", Repo()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(ReportedFiles(result.out),
            (std::vector<std::string>{Path("Hot$/Environment$/z.rep"), Path("Environment$/src/A.REP"),
                                      Path("Environment$/src/b.rep"), Path("Environment$/src/c.rep")}));
}

TEST_F(WalkTree, FoldersWithFilesAreNotSearchedDeeperAndDotFoldersAreSkipped) {
  AddRep("Environment$/top.rep");
  AddRep("Environment$/below/hidden.rep");
  AddRep("Hot$/Environment$/.x/skipped.rep");
  AddRep("Hot$/Environment$/b/second.rep");
  AddRep("Hot$/Environment$/a/first.rep");
  folder_.AddFile("repo/Hot$/Environment$/notes.txt", "not a repository file");
  ProgramResult result = RunProgram({"-m", "-1", Repo()});
  EXPECT_EQ(ReportedFiles(result.out),
            (std::vector<std::string>{Path("Hot$/Environment$/a/first.rep"), Path("Hot$/Environment$/b/second.rep"),
                                      Path("Environment$/top.rep")}));
}

TEST_F(WalkTree, OneRootAloneIsWalked) {
  AddRep("Hot$/Environment$/only.rep");
  ProgramResult result = RunProgram({"-m", "0", Repo()});
  EXPECT_EQ(ReportedFiles(result.out), std::vector<std::string>{Path("Hot$/Environment$/only.rep")});
  EXPECT_EQ(result.err.find("doesn't exist"), std::string::npos);
}

TEST_F(WalkTree, AFolderNamedLikeARepositoryFileCannotBeOpened) {
  folder_.AddFolder("repo/Environment$/x.rep");
  ProgramResult result = RunProgram({"-m", "-1", Repo()});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.out.find("Can't open file " + Path("Environment$/x.rep") + "\n"), std::string::npos) << result.out;
#ifdef _WIN32
  EXPECT_NE(result.err.find("Permission denied\n"), std::string::npos) << result.err;
#else
  EXPECT_NE(result.err.find("Is a directory\n"), std::string::npos) << result.err;
#endif
}

TEST_F(WalkTree, FilesOutsideTheTimeWindowAreNotOpened) {
  folder_.AddFolder("repo/Environment$/logs/Orv_0000000001_2018052300000020180523235959.rep");
  folder_.AddFolder("repo/Environment$/logs/Orv_0000000002_2018052400000020180524235959.rep");
  ProgramResult result = RunProgram({"-m", "1", "-f", "20180524", Repo()});
  EXPECT_EQ(result.out.find("0000000001"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Can't open file " + Path("Environment$/logs/Orv_0000000002")), std::string::npos);
  ProgramResult none = RunProgram({"-m", "1", "-t", "20180523", Repo()});
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.status, 0);
}

TEST_F(WalkTree, RelativePathsResolveAgainstTheWorkingFolder) {
  AddRep("Environment$/one.rep");
  const std::filesystem::path work = folder_.AddFolder("work/deeper");
  for (const char* argument : {"../../repo", "../x..y/../../repo", "./../../repo"}) {
    ProgramResult result = RunProgram({"-m", "-1", argument}, work);
    EXPECT_EQ(ReportedFiles(result.out), std::vector<std::string>{Path("Environment$/one.rep")}) << argument;
  }
  ProgramResult missing = RunProgram({"-m", "-1", "../repo"}, work);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Repository doesn't exist : ../repo\n"), std::string::npos);
}

}  // namespace
}  // namespace tallymere::test
