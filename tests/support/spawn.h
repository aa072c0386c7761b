// Starting the program under test: the part of the runner that differs
// between POSIX and Windows.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tallymere::test {

// Runs the program with the arguments in the working folder (the current one
// when empty), with empty standard input and standard output and error into
// the two files. Returns the exit status, or -1 when it could not be run or
// followed to its end; `failure` then says which step failed and why, so that
// a failing test shows it.
int RunCaptured(const std::string& program, const std::vector<std::string>& args,
                const std::filesystem::path& working_folder, const std::filesystem::path& out,
                const std::filesystem::path& err, std::string& failure);

// Sets an environment variable for the programs started afterwards; an empty
// value removes it.
void SetInheritedEnvironment(const std::string& name, const std::string& value);

// What a command of the POSIX shell prints on standard output (POSIX only:
// the tests of terminals, browsers and tools that need one).
std::string ShellOutput(const std::string& command);

// The built executable's path as this platform's programs name it.
std::string NativeProgramPath(const std::string& built_path);

// How the program names a path below an absolute folder it was given.
std::string NativeShownPath(const std::string& absolute);

// True when the tests run on a layer that imitates the platform (Windows
// programs under wine on Linux): guarantees that only the real platform
// gives cannot be tested there.
bool UnderImitatedPlatform();

}  // namespace tallymere::test
