// The search roots under a repository folder and the walk that finds every
// repository file below them.
#pragma once

#include <string>
#include <unordered_set>

#include "platform/platform.h"
#include "window/time_filter.h"

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

// The real folders and files a run has visited, by the identity of what
// was opened, over both roots: each is visited once, however many links
// lead to it. The walk records folders as it lists them; the reader of the
// files records each file as it opens it, so a file replaced between the
// listing and the reading is judged by what is read.
class VisitedEntries {
 public:
  // True the first time the folder or file is offered.
  bool FirstVisitToFolder(const platform::FileIdentity& folder) { return folders_.insert(folder).second; }
  bool FirstVisitToFile(const platform::FileIdentity& file) { return files_.insert(file).second; }

 private:
  std::unordered_set<platform::FileIdentity, platform::FileIdentityHash> folders_;
  std::unordered_set<platform::FileIdentity, platform::FileIdentityHash> files_;
};

// What the walk finds, in walk order.
class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;
  // A repository file that passed the name test of the time window. The
  // visitor opens it, and passes over a file that `visited` has seen.
  virtual void File(const std::string& path) = 0;
  // A folder that could not be listed, or an entry whose kind could not be
  // found, with the system's text.
  virtual void FolderFailure(const std::string& path, const std::string& error_text) = 0;
  // True once the run has stopped: the walk lists nothing more.
  virtual bool Stopped() const { return false; }
};

// Visits every repository file under the root: in each folder the "*.rep"
// entries, in name order; a folder without them is searched in its
// sub-folders (names beginning with "." are passed over; links are
// followed). With the window enabled, a file whose name stamps lie outside
// it is passed over without being opened. No failure stops the walk.
void WalkRepository(const RepositoryRoot& root, const TimeFilter& window, VisitedEntries& visited,
                    WalkVisitor& visitor);

// The order in which the entries of a folder are visited: ASCII letters
// compared without case, then the bytes, so runs are reproducible.
bool NameOrderLess(const std::string& a, const std::string& b);

// True for names ending in ".rep", in any letter case.
bool HasRepExtension(const std::string& name);

}  // namespace tallymere
