// The fixture of the tests that run the program over a repository on a real
// file system while it changes, and under limits an administrator's job
// would set (POSIX only: they use bash, setpriv, ulimit and mount).
#pragma once

#ifndef _WIN32

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "repwriter/generator.h"
#include "support/program_runner.h"

namespace tallymere::test {

// Whether this build runs under AddressSanitizer, which reserves memory
// and threads of its own.
inline bool BuiltWithSanitizers() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// A generated repository of a few files, its report as a sound run prints
// it, and a way to run the program under a shell so that a test can set
// limits, users and descriptors the way an administrator's job would.
class LiveRepository : public ::testing::Test {
 protected:
  void SetUp() override {
    repwriter::GeneratorOptions options;
    options.out = Repo();
    options.events = 40000;
    options.files = 8;
    options.nested_share = 0.25;
    repwriter::GenerateRepository(options);
    for (const char* mode : {"20", "0", "8"}) baseline_[mode] = RunProgram({"-m", mode, Repo()}).out;
    ASSERT_FALSE(baseline_["20"].empty());
  }

  std::string Repo() const { return (folder_.path() / "repo").string(); }
  std::string Env() const { return Repo() + "/Environment$"; }
  std::string Hot() const { return Repo() + "/Hot$/Environment$"; }
  // The log folder of the Environment$ root that comes first by name.
  std::string FirstLog() const {
    std::string first;
    for (const auto& entry : std::filesystem::directory_iterator(Env())) {
      const std::string name = entry.path().filename().string();
      if (first.empty() || name < first) first = name;
    }
    return first;
  }

  // Runs `script` with bash; $PROG is the program, $REPO the repository.
  // The program's output goes to $OUT and $ERR; the script's exit status is
  // returned as the run's status.
  ProgramResult RunScript(const std::string& script) {
    const std::filesystem::path out = folder_.path() / "out", err = folder_.path() / "err";
    const std::string command = "PROG=" + ShellQuoted(ProgramPath()) + " REPO=" + ShellQuoted(Repo()) +
                                " OUT=" + ShellQuoted(out.string()) + " ERR=" + ShellQuoted(err.string()) +
                                " bash -c " + ShellQuoted(script) + " </dev/null";
    ProgramResult result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadText(out);
    result.err = ReadText(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return result;
  }

  // True when an unprivileged user can run the program over the repository.
  bool CanRunAsNobody() {
    if (geteuid() != 0) return false;
    std::error_code ignored;
    std::filesystem::permissions(folder_.path(),
                                 std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add, ignored);
    return RunScript("setpriv --reuid=nobody --regid=nogroup --clear-groups test -x \"$PROG\" -a -r \"$REPO\"")
               .status == 0;
  }

  TempFolder folder_;
  std::map<std::string, std::string> baseline_;
};

inline constexpr char kBanner[] = "Kalvex Orvanta Tallymere 1.1.0.01\nCopyright (c) Kalvex. All rights reserved.\n\n";

}  // namespace tallymere::test

#endif  // _WIN32
