#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace tallymere::platform {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// Closes a descriptor on every path out of a function.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) close(fd_);
      fd_ = other.Release();
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Paths longer than the system's limit cannot be handed to open() whole.
// Such a path is reached from its longest prefix that fits, one folder at a
// time with openat(), so no more than two descriptors are open meanwhile.
constexpr size_t kLongestWholePath = PATH_MAX - 1;

// The folder that holds the last component of `path`, and that component.
struct ParentAndName {
  UniqueFd parent;  // AT_FDCWD stands for "use the path whole"
  std::string name;
};

bool OpenParentOfLongPath(const std::string& path, ParentAndName& out) {
  const size_t last = path.find_last_of('/');
  if (last == std::string::npos || last == 0) {
    errno = ENAMETOOLONG;
    return false;
  }
  size_t cut = path.rfind('/', kLongestWholePath);
  if (cut == std::string::npos || cut == 0) cut = path.find('/', 1);
  UniqueFd folder(open(path.substr(0, cut).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return false;
  while (cut < last) {
    const size_t next = path.find('/', cut + 1);
    const std::string component = path.substr(cut + 1, next - cut - 1);
    cut = next;
    if (component.empty()) continue;
    UniqueFd deeper(openat(folder.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!deeper) return false;
    folder = std::move(deeper);
  }
  out.parent = std::move(folder);
  out.name = path.substr(last + 1);
  return true;
}

// open() and stat() for paths of any length.
int OpenAnyPath(const std::string& path, int flags) {
  if (path.size() <= kLongestWholePath) return open(path.c_str(), flags);
  ParentAndName at;
  if (!OpenParentOfLongPath(path, at)) return -1;
  return openat(at.parent.get(), at.name.c_str(), flags);
}

int StatAnyPath(const std::string& path, struct stat& info) {
  if (path.size() <= kLongestWholePath) return stat(path.c_str(), &info);
  ParentAndName at;
  if (!OpenParentOfLongPath(path, at)) return -1;
  return fstatat(at.parent.get(), at.name.c_str(), &info, 0);
}

// The generation of the inode open at `fd`: a hash of its file handle,
// which file systems that can export files (ext4, XFS, Btrfs, tmpfs, NFS)
// build from the inode number and a number drawn anew each time the inode
// is used again; else its birth time, which tells apart uses more than a
// clock tick apart; else 0, the inode number alone.
uint64_t GenerationOf(int fd) {
#ifdef __linux__
  constexpr size_t kHandleRoom = MAX_HANDLE_SZ;
  alignas(file_handle) unsigned char storage[sizeof(file_handle) + kHandleRoom];
  auto* handle = reinterpret_cast<file_handle*>(storage);
  handle->handle_bytes = kHandleRoom;
  int mount_id = 0;
  if (name_to_handle_at(fd, "", handle, &mount_id, AT_EMPTY_PATH) == 0) {
    uint64_t hash = 0xCBF29CE484222325ULL ^ static_cast<uint32_t>(handle->handle_type);  // FNV-1a
    for (unsigned i = 0; i < handle->handle_bytes && i < kHandleRoom; ++i) {
      hash = (hash ^ storage[sizeof(file_handle) + i]) * 0x100000001B3ULL;
    }
    return hash;
  }
  struct statx birth {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &birth) == 0 && (birth.stx_mask & STATX_BTIME) != 0) {
    return static_cast<uint64_t>(birth.stx_btime.tv_sec) * 1000000000u + birth.stx_btime.tv_nsec;
  }
#else
  (void)fd;
#endif
  return 0;
}

FileIdentity IdentityOfOpen(int fd, const struct stat& info) {
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), GenerationOf(fd)};
}

EntryKind KindFrom(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
  if (S_ISREG(info.st_mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

// The entry's kind and identity, links followed. Read relative to the
// listed folder, so the length of its path does not matter.
DirEntry DescribeEntry(int folder_fd, std::string name) {
  DirEntry entry;
  entry.name = std::move(name);
  struct stat info {};
  if (fstatat(folder_fd, entry.name.c_str(), &info, 0) != 0) {
    entry.error_text = ErrnoText(errno);
    return entry;
  }
  entry.kind = KindFrom(info);
  return entry;
}

class PosixFile final : public RandomAccessFile {
 public:
  PosixFile(UniqueFd fd, uint64_t size, const FileIdentity& identity)
      : RandomAccessFile(size, identity), fd_(std::move(fd)) {}

  std::optional<size_t> ReadAt(uint64_t offset, uint8_t* out, size_t length, std::string& error_text) const override {
    constexpr size_t kPiece = size_t{1} << 30;
    size_t done = 0;
    while (done < length) {
      const ssize_t n =
          pread(fd_.get(), out + done, std::min(length - done, kPiece), static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error_text = ErrnoText(errno);
        return std::nullopt;
      }
      if (n == 0) break;  // the file ends here now
      done += static_cast<size_t>(n);
    }
    return done;
  }

 private:
  UniqueFd fd_;
};

OpenResult Failed(ReadError error, std::string text) { return {nullptr, error, std::move(text)}; }

// A folder opens on POSIX but is no file: it is reported as unreadable, as
// the system reports it.
OpenResult RefuseNonRegular(const struct stat& info) {
  return Failed(ReadError::kOpen, S_ISDIR(info.st_mode) ? ErrnoText(EISDIR) : kNotRegularFileText);
}

}  // namespace

char PathSeparator() { return '/'; }

bool PathExists(const std::string& path) {
  struct stat info {};
  return StatAnyPath(path, info) == 0;
}

bool ListFolder(const std::string& folder, std::vector<DirEntry>& entries, std::string& error_text,
                FileIdentity* folder_identity) {
  UniqueFd fd(OpenAnyPath(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (fd && folder_identity != nullptr) {
    if (fstat(fd.get(), &info) != 0) {
      error_text = ErrnoText(errno);
      return false;
    }
    *folder_identity = IdentityOfOpen(fd.get(), info);
  }
  DIR* dir = fd ? fdopendir(fd.get()) : nullptr;
  if (dir == nullptr) {
    error_text = ErrnoText(errno);
    return false;
  }
  fd.Release();  // closed with the listing
  bool listed = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) {
        error_text = ErrnoText(errno);
        listed = false;
      }
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back(DescribeEntry(dirfd(dir), std::string(name)));
  }
  closedir(dir);
  return listed;
}

OpenResult OpenForReading(const std::string& path) {
  // A FIFO or device is turned away before it is opened: opening one can
  // block (a FIFO waits for a writer) or act on the device.
  struct stat info {};
  if (StatAnyPath(path, info) == 0 && !S_ISREG(info.st_mode)) return RefuseNonRegular(info);
  // Non-blocking in case the entry was replaced since; ignored for regular files.
  UniqueFd fd(OpenAnyPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return Failed(ReadError::kOpen, ErrnoText(errno));
  if (fstat(fd.get(), &info) != 0 || info.st_size < 0) return Failed(ReadError::kLength, ErrnoText(errno));
  if (!S_ISREG(info.st_mode)) return RefuseNonRegular(info);
  const auto size = static_cast<uint64_t>(info.st_size);
  const FileIdentity identity = IdentityOfOpen(fd.get(), info);
  return {std::make_unique<PosixFile>(std::move(fd), size, identity), ReadError::kNone, {}};
}

std::string LastErrorText() {
  const int code = errno;
  const char* text = std::strerror(code);
  char buffer[1024];
  if (text != nullptr && std::strlen(text) + 14 <= sizeof buffer) {
    std::snprintf(buffer, sizeof buffer, "%s %d (0x%x)", text, code, static_cast<unsigned>(code));
  } else {
    std::snprintf(buffer, sizeof buffer, " code = %d (0x%x)", code, static_cast<unsigned>(code));
  }
  return buffer;
}

}  // namespace tallymere::platform
