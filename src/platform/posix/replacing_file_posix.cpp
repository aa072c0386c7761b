#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/replacing_file.h"
#include "platform/unfinished_files.h"

namespace tallymere::platform {

// The folder held open and the temporary file's name in it: unlinkat() of
// the two is safe in a signal handler, and reaches a folder at any depth.
struct RemovalTarget {
  int folder = -1;
  std::string name;
};

void RemoveTarget(const RemovalTarget& target) { unlinkat(target.folder, target.name.c_str(), 0); }

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// Closes a descriptor on every path out of a function.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  void Reset() {
    if (fd_ >= 0) close(fd_);
  }
  int fd_;
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// Paths longer than this are opened one folder at a time.
constexpr size_t kLongestWholePath = PATH_MAX - 1;
// As many links as the system follows in one path before it gives up.
constexpr int kMostLinks = 40;
constexpr int kMostNameTries = 100;

// Opens a folder by a path of any length: its longest prefix that the
// system takes whole, then one component at a time.
UniqueFd OpenFolder(const std::string& folder) {
  if (folder.size() <= kLongestWholePath) return UniqueFd(open(folder.c_str(), kFolderFlags));
  size_t cut = folder.rfind('/', kLongestWholePath);
  if (cut == std::string::npos || cut == 0) {
    errno = ENAMETOOLONG;  // one component longer than the whole limit
    return UniqueFd();
  }
  UniqueFd at(open(folder.substr(0, cut).c_str(), kFolderFlags));
  while (at && cut < folder.size()) {
    const size_t next = std::min(folder.find('/', cut + 1), folder.size());
    const std::string component = folder.substr(cut + 1, next - cut - 1);
    cut = next;
    if (component.empty()) continue;
    UniqueFd deeper(openat(at.get(), component.c_str(), kFolderFlags));
    if (!deeper) return deeper;
    at = std::move(deeper);
  }
  return at;
}

// A file named in an open folder, and the folder's path as the user would
// name it ("" for the current folder, else ending in "/").
struct Place {
  UniqueFd folder;
  std::string name;
  std::string shown_folder;
};

// Splits `path` into its folder and last name and opens the folder. A
// relative path starts from the folder of `from` (a link's), or from the
// current folder when there is none.
std::optional<Place> OpenPlace(const std::string& path, const Place* from) {
  const size_t slash = path.find_last_of('/');
  Place place;
  place.name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (place.name.empty() || place.name == "." || place.name == "..") {
    errno = path.empty() ? ENOENT : EISDIR;
    return std::nullopt;
  }
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
  if (from == nullptr || path[0] == '/') {
    place.folder = OpenFolder(folder);
  } else {
    // A link's text is shorter than the whole-path limit.
    place.folder = UniqueFd(openat(from->folder.get(), folder.c_str(), kFolderFlags));
    place.shown_folder = from->shown_folder;
  }
  if (!place.folder) return std::nullopt;
  if (slash != std::string::npos) place.shown_folder += path.substr(0, slash + 1);
  return place;
}

std::optional<std::string> ReadLink(const Place& place, size_t length) {
  std::string text(std::max<size_t>(length, 1) + 1, '\0');
  for (;;) {
    const ssize_t n = readlinkat(place.folder.get(), place.name.c_str(), text.data(), text.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      return text;
    }
    text.resize(text.size() * 2);  // the link was changed meanwhile
  }
}

// Follows the link chain at `place` to the entry that is no link: true
// with `info` set when it exists, true with `info` empty when the chain
// ends in a name that does not exist yet, false (errno set) on failure.
bool FollowLinks(Place& place, std::optional<struct stat>& info) {
  for (int links = 0;; ++links) {
    struct stat found {};
    if (fstatat(place.folder.get(), place.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
      info.reset();
      return errno == ENOENT;
    }
    if (!S_ISLNK(found.st_mode)) {
      info = found;
      return true;
    }
    if (links == kMostLinks) {
      errno = ELOOP;
      return false;
    }
    const std::optional<std::string> target = ReadLink(place, static_cast<size_t>(found.st_size));
    if (!target) return false;
    std::optional<Place> next = OpenPlace(*target, &place);
    if (!next) return false;
    place = std::move(*next);
  }
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Writes the bytes whole, continuing interrupted and short writes.
bool WriteAll(int fd, std::string_view bytes, std::string& error_text) {
  constexpr size_t kPiece = size_t{1} << 30;
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), std::min(bytes.size(), kPiece));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_text = ErrnoText(n < 0 ? errno : EIO);
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Gives the temporary file the old file's owner and permission bits, before
// anything is written to it. A user cannot give a file away: then the group
// alone is kept where it may be, or the writer's are left.
bool TakeOverMode(int fd, const struct stat& old, std::string& error_text) {
  int owned = fchown(fd, old.st_uid, old.st_gid);
  if (owned != 0 && errno == EPERM) owned = fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  if ((owned != 0 && errno != EPERM) || fchmod(fd, old.st_mode & 07777) != 0) {
    error_text = ErrnoText(errno);
    return false;
  }
  return true;
}

class PosixReplacingFile final : public ReplacingFile {
 public:
  // A file written directly, not replaced.
  PosixReplacingFile(UniqueFd file, bool regular) : file_(std::move(file)), direct_regular_(regular) {}

  // A temporary file in `target`'s folder, armed for removal.
  PosixReplacingFile(UniqueFd file, Place target, std::string temporary_name, std::string shown_path)
      : file_(std::move(file)),
        folder_(std::move(target.folder)),
        name_(std::move(target.name)),
        temporary_path_(std::move(shown_path)),
        removal_(std::make_unique<RemovalTarget>(RemovalTarget{folder_.get(), std::move(temporary_name)})) {
    slot_ = ArmRemoval(removal_.get());
  }

  ~PosixReplacingFile() override { Discard(); }

  bool Write(std::string_view bytes, std::string& error_text) override {
    if (!file_) return Fail(failure_.empty() ? ErrnoText(EBADF) : failure_, error_text);
    return WriteAll(file_.get(), bytes, error_text) || Fail(error_text, error_text);
  }

  bool Commit(std::string& error_text) override {
    if (!file_) return Fail(failure_.empty() ? ErrnoText(EBADF) : failure_, error_text);
    // A device or FIFO has nothing to flush to a disk.
    if ((folder_ || direct_regular_) && fsync(file_.get()) != 0) return Fail(ErrnoText(errno), error_text);
    if (close(file_.Release()) != 0) return Fail(ErrnoText(errno), error_text);
    if (!folder_) return true;
    if (renameat(folder_.get(), removal_->name.c_str(), folder_.get(), name_.c_str()) != 0) {
      return Fail(ErrnoText(errno), error_text);
    }
    renamed_ = true;
    // The rename lasts once the folder is on the disk; a file system that
    // cannot flush a folder says EINVAL, and keeps it some other way.
    const bool lasting = fsync(folder_.get()) == 0 || errno == EINVAL;
    if (!lasting) error_text = ErrnoText(errno);
    Discard();
    return lasting;
  }

  const std::string& temporary_path() const override { return temporary_path_; }
  int descriptor() const { return file_.get(); }
  bool armed() const { return slot_ != kNoRemovalSlot; }

 private:
  // A failed step spoils the file: it is closed, its temporary file removed.
  bool Fail(const std::string& text, std::string& error_text) {
    failure_ = text;
    error_text = text;
    Discard();
    return false;
  }

  void Discard() {
    file_ = UniqueFd();
    if (!folder_) return;
    if (!renamed_) unlinkat(folder_.get(), removal_->name.c_str(), 0);
    // Being removed by an interrupt on another thread right now: the
    // program is ending, and the folder and name stay for that removal.
    if (!DisarmRemoval(slot_)) {
      folder_.Release();
      static_cast<void>(removal_.release());
    }
    folder_ = UniqueFd();
  }

  UniqueFd file_;
  bool direct_regular_ = false;
  UniqueFd folder_;  // FILE's folder, while a temporary file is to replace FILE
  std::string name_;
  std::string temporary_path_;
  std::unique_ptr<RemovalTarget> removal_;  // read by an interrupt while armed
  int slot_ = kNoRemovalSlot;
  bool renamed_ = false;
  std::string failure_;  // why the file can no longer be written
};

std::unique_ptr<ReplacingFile> OpenDirectly(const Place& place, const struct stat& info, std::string& error_text) {
  const int truncate = S_ISREG(info.st_mode) ? O_TRUNC : 0;
  UniqueFd file(openat(place.folder.get(), place.name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | truncate));
  if (!file) {
    error_text = ErrnoText(errno);
    return nullptr;
  }
  return std::make_unique<PosixReplacingFile>(std::move(file), S_ISREG(info.st_mode));
}

// Creates the temporary file beside `target` (whose old version is `old`,
// if any) and gives it the old file's mode.
std::unique_ptr<ReplacingFile> CreateBeside(Place target, const std::optional<struct stat>& old,
                                            std::string& error_text) {
  const auto process = static_cast<uint64_t>(getpid());
  // Private until it takes the old file's mode; a new file gets what a
  // shell's redirection gives.
  const mode_t mode = old ? 0600 : 0666;
  for (int tries = 0; tries < kMostNameTries; ++tries) {
    std::string name = TemporaryFileName(target.name, TemporaryNameSeed(process));
    UniqueFd file(openat(target.folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode));
    if (!file && errno == EEXIST) continue;
    if (!file) {
      error_text = ErrnoText(errno);
      return nullptr;
    }
    std::string shown = target.shown_folder + name;
    auto replacing =
        std::make_unique<PosixReplacingFile>(std::move(file), std::move(target), std::move(name), std::move(shown));
    // Failing here, the object removes the file as it goes.
    if (!replacing->armed()) {
      error_text = ErrnoText(EMFILE);  // more unfinished files than the table holds
      return nullptr;
    }
    if (old && !TakeOverMode(replacing->descriptor(), *old, error_text)) return nullptr;
    return replacing;
  }
  error_text = ErrnoText(EEXIST);
  return nullptr;
}

}  // namespace

std::unique_ptr<ReplacingFile> ReplacingFile::Create(const std::string& path, std::string& error_text) {
  std::optional<Place> place = OpenPlace(path, nullptr);
  if (!place) {
    error_text = ErrnoText(errno);
    return nullptr;
  }
  // What the path leads to, links followed as open() follows them.
  struct stat reached {};
  const bool exists = fstatat(place->folder.get(), place->name.c_str(), &reached, 0) == 0;
  if (!exists && errno != ENOENT) {
    error_text = ErrnoText(errno);
    return nullptr;
  }
  if (exists && S_ISDIR(reached.st_mode)) {
    error_text = ErrnoText(EISDIR);
    return nullptr;
  }
  if (exists && !S_ISREG(reached.st_mode)) return OpenDirectly(*place, reached, error_text);
  Place target{UniqueFd(fcntl(place->folder.get(), F_DUPFD_CLOEXEC, 0)), place->name, place->shown_folder};
  std::optional<struct stat> old;
  if (!target.folder || !FollowLinks(target, old)) {
    error_text = ErrnoText(errno);
    return nullptr;
  }
  // Reached by a link whose text names no path (a descriptor's link in
  // /proc): the file that link leads to is the one meant.
  if (exists && (!old || !SameFile(*old, reached))) return OpenDirectly(*place, reached, error_text);
  return CreateBeside(std::move(target), old, error_text);
}

}  // namespace tallymere::platform
