// The search roots under a repository folder and the walk that finds every
// repository file below them.
#pragma once

#include <string>

#include "counters/rep_counters.h"

namespace tallymere {

enum RootKind : int {
  kHotRoot = 1,          // <repository>/Hot$/Environment$
  kEnvironmentRoot = 2,  // <repository>/Environment$
};

struct RepositoryRoot {
  RepositoryRoot(const std::string& path_argument, int kind);

  bool exists = false;
  std::string path_argument;  // as given on the command line
  std::string path;           // the root's absolute path
  int kind;
};

// Visits every repository file under the root: in each folder the "*.rep"
// entries, in name order; a folder without them is searched in its
// sub-folders (names beginning with "." are passed over). Each file that
// passes the name test of the time window is read and handed to the
// per-file pipeline; no failure of a file stops the walk.
void WalkRepository(const RepositoryRoot& root, RepCounters& counter);

// The order in which the entries of a folder are visited: ASCII letters
// compared without case, then the bytes, so runs are reproducible.
bool NameOrderLess(const std::string& a, const std::string& b);

// True for names ending in ".rep", in any letter case.
bool HasRepExtension(const std::string& name);

}  // namespace tallymere
