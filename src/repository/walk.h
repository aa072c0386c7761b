// The search roots under a repository folder and the walk that finds every
// repository file below them.
#pragma once

#include <string>
#include <unordered_set>

#include "counters/rep_counters.h"
#include "platform/platform.h"

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

// The real folders and files a run has visited, by identity, over both
// roots: each is visited once, however many links lead to it.
struct VisitedEntries {
  std::unordered_set<platform::FileIdentity, platform::FileIdentityHash> folders;
  std::unordered_set<platform::FileIdentity, platform::FileIdentityHash> files;
};

// Visits every repository file under the root: in each folder the "*.rep"
// entries, in name order; a folder without them is searched in its
// sub-folders (names beginning with "." are passed over; links are
// followed). Each file that passes the name test of the time window is read
// and handed to the per-file pipeline; no failure of a file stops the walk.
// A folder that cannot be listed, or an entry whose kind cannot be found, is
// reported as "Can't open folder " and its path, then the error text, and
// makes the run incomplete; the walk goes on with the rest.
void WalkRepository(const RepositoryRoot& root, RepCounters& counter, VisitedEntries& visited);

// The order in which the entries of a folder are visited: ASCII letters
// compared without case, then the bytes, so runs are reproducible.
bool NameOrderLess(const std::string& a, const std::string& b);

// True for names ending in ".rep", in any letter case.
bool HasRepExtension(const std::string& name);

}  // namespace tallymere
