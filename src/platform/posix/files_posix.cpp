#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/output.h"
#include "platform/platform.h"

namespace tallymere::platform {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// A memory-mapped file: the bytes stay valid until the object is destroyed.
class MappedFile final : public FileContent {
 public:
  MappedFile(void* address, uint64_t size) : address_(address), size_(size) {}
  ~MappedFile() override { munmap(address_, size_); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const uint8_t* data() const override { return static_cast<const uint8_t*>(address_); }
  uint64_t size() const override { return size_; }

 private:
  void* address_;
  uint64_t size_;
};

// Files that cannot be mapped (empty files, some special file systems) are
// read into memory instead.
class ReadFile final : public FileContent {
 public:
  explicit ReadFile(std::string bytes) : bytes_(std::move(bytes)) {}
  const uint8_t* data() const override { return reinterpret_cast<const uint8_t*>(bytes_.data()); }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::string bytes_;
};

bool ReadAll(int fd, uint64_t size, std::string& bytes) {
  bytes.resize(size);
  uint64_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, bytes.data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;  // the file shrank while it was read
    done += static_cast<uint64_t>(n);
  }
  bytes.resize(done);
  return true;
}

ReadResult Failure(ReadError error, int fd) {
  ReadResult result;
  result.error = error;
  result.error_text = ErrnoText(errno);
  if (fd >= 0) close(fd);
  return result;
}

}  // namespace

char PathSeparator() { return '/'; }

bool PathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool ListFolder(const std::string& folder, std::vector<DirEntry>& entries) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path.push_back('/');
  const size_t base = path.size();
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    path.resize(base);
    path += name;
    struct stat info{};
    bool is_folder = stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    entries.push_back({std::move(name), is_folder});
  }
  closedir(dir);
  return true;
}

ReadResult ReadWholeFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failure(ReadError::kOpen, -1);
  struct stat info{};
  if (fstat(fd, &info) != 0 || info.st_size < 0) return Failure(ReadError::kLength, fd);
  // A folder opens on POSIX but is no file; report it as unreadable.
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return Failure(ReadError::kOpen, fd);
  }
  const auto size = static_cast<uint64_t>(info.st_size);
  ReadResult result;
  if (S_ISREG(info.st_mode) && size > 0) {
    void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (address != MAP_FAILED) {
      close(fd);
      result.content = std::make_unique<MappedFile>(address, size);
      return result;
    }
  }
  std::string bytes;
  if (!ReadAll(fd, size, bytes)) return Failure(ReadError::kRead, fd);
  close(fd);
  result.content = std::make_unique<ReadFile>(std::move(bytes));
  return result;
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
