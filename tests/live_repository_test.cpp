// A repository that the collecting service writes while the program reads
// it, on a real file system: links, FIFOs, files that shrink, folders that
// cannot be listed, paths beyond the system's limit, a report that cannot
// be written, memory and threads that run out. Each run must end, report
// what it lost, and exit 0 only with the complete report written.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "repwriter/generator.h"
#include "support/program_runner.h"

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;

bool BuiltWithSanitizers() {
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
    for (const auto& entry : fs::directory_iterator(Env())) {
      const std::string name = entry.path().filename().string();
      if (first.empty() || name < first) first = name;
    }
    return first;
  }

  // Runs `script` with bash; $PROG is the program, $REPO the repository.
  // The program's output goes to $OUT and $ERR; the script's exit status is
  // returned as the run's status.
  ProgramResult RunScript(const std::string& script) {
    const fs::path out = folder_.path() / "out", err = folder_.path() / "err";
    const std::string command = "PROG=" + ShellQuoted(ProgramPath()) + " REPO=" + ShellQuoted(Repo()) +
                                " OUT=" + ShellQuoted(out.string()) + " ERR=" + ShellQuoted(err.string()) +
                                " bash -c " + ShellQuoted(script) + " </dev/null";
    ProgramResult result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadText(out);
    result.err = ReadText(err);
    fs::remove(out);
    fs::remove(err);
    return result;
  }

  // True when an unprivileged user can run the program over the repository.
  bool CanRunAsNobody() {
    if (geteuid() != 0) return false;
    std::error_code ignored;
    fs::permissions(folder_.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add, ignored);
    return RunScript("setpriv --reuid=nobody --regid=nogroup --clear-groups test -x \"$PROG\" -a -r \"$REPO\"")
               .status == 0;
  }

  TempFolder folder_;
  std::map<std::string, std::string> baseline_;
};

constexpr char kBanner[] = "Kalvex Orvanta Tallymere 1.1.0.01\nCopyright (c) Kalvex. All rights reserved.\n\n";

TEST_F(LiveRepository, LinksToFoldersAreFollowedButEachFolderAndFileCountsOnce) {
  const std::string log = FirstLog();
  fs::create_directory_symlink("..", Env() + "/loop");                // back up the tree
  fs::create_directory_symlink(Env() + "/" + log, Env() + "/again");  // a second way in
  fs::create_directory_symlink(Hot(), Env() + "/hot");                // into the other root
  fs::create_directory_symlink(Repo(), Hot() + "/up");                // far up, twice over
  for (const auto& entry : fs::directory_iterator(Env() + "/" + log)) {
    fs::create_symlink(entry.path(), Env() + "/" + log + "/zz-" + entry.path().filename().string());
    break;
  }
  for (const char* mode : {"20", "0", "8"}) {
    const ProgramResult result =
        RunScript("timeout 60 \"$PROG\" -m " + std::string(mode) + " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
    EXPECT_EQ(result.status, 0) << mode << result.err;
    EXPECT_EQ(result.out, baseline_[mode]) << mode;
  }
}

TEST_F(LiveRepository, EntriesThatAreNoRegularFilesAreReportedWithoutBlocking) {
  const std::string log = FirstLog();
  const std::string fifo = Env() + "/" + log + "/0-waiting.rep";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const ProgramResult result = RunScript("timeout 60 \"$PROG\" -m 20 \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "Can't open file " + fifo + "\n" + baseline_["20"]);
  EXPECT_EQ(result.err, kBanner + std::string("Not a regular file\n"));
}

// Files of the kernel's attribute file system announce a length of a page
// and yield a few bytes: a file that shrinks between the length and the
// read, every time.
TEST_F(LiveRepository, AFileThatShrinksWhileReadIsReported) {
  const std::string shrinking = "/sys/devices/system/cpu/online";
  struct stat info {};
  if (stat(shrinking.c_str(), &info) != 0 || ReadText(shrinking).size() >= static_cast<size_t>(info.st_size)) {
    GTEST_SKIP() << "no file here yields fewer bytes than its length";
  }
  const std::string link = Env() + "/" + FirstLog() + "/0.rep";
  fs::create_symlink(shrinking, link);
  const ProgramResult result = RunScript("\"$PROG\" -m 20 \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "Can't read file " + link + "\n" + baseline_["20"]);
  EXPECT_EQ(result.err, kBanner + std::string("The file shrank while it was read (") +
                            std::to_string(ReadText(shrinking).size()) + " of 4096 bytes)\n");
}

TEST_F(LiveRepository, FoldersThatCannotBeListedAreReportedAndTheWalkGoesOn) {
  if (!CanRunAsNobody()) GTEST_SKIP() << "needs root, and the build readable by the user nobody";
  const std::string locked = Env() + "/0-locked";
  fs::create_directories(locked + "/below");
  fs::permissions(locked, fs::perms::none);
  fs::create_directory_symlink(Repo() + "/unplugged-archive", Env() + "/1-archive");
  const ProgramResult result =
      RunScript("setpriv --reuid=nobody --regid=nogroup --clear-groups \"$PROG\" -m 20 \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out,
            "Can't open folder " + locked + "\nCan't open folder " + Env() + "/1-archive\n" + baseline_["20"]);
  EXPECT_EQ(result.err, kBanner + std::string("Permission denied\nNo such file or directory\n"));
}

// Folders nested deeper than the 4,096 bytes a path may have: each level is
// reached from the one above it.
TEST_F(LiveRepository, PathsLongerThanTheSystemLimitAreWalkedAndRead) {
  const std::string log = FirstLog();
  const std::string deep_repo = (folder_.path() / "deep").string();
  fs::create_directories(deep_repo + "/Environment$");
  int folder = open((deep_repo + "/Environment$").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  const std::string name(200, 'd');
  for (int level = 0; level < 25; ++level) {  // 25 x 201 bytes
    ASSERT_EQ(mkdirat(folder, name.c_str(), 0755), 0);
    const int deeper = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(folder);
    ASSERT_GE(deeper, 0);
    folder = deeper;
  }
  for (const auto& entry : fs::directory_iterator(Env() + "/" + log)) {
    const std::string bytes = ReadText(entry.path());
    const int file = openat(folder, entry.path().filename().c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(file);
  }
  close(folder);
  fs::rename(Hot(), Repo() + "/hot-aside");
  for (const auto& entry : fs::directory_iterator(Env())) {
    if (entry.path().filename() != log) fs::rename(entry.path(), Repo() + "/" + entry.path().filename().string());
  }
  const std::string alone = RunProgram({"-m", "8", Repo()}).out;
  const ProgramResult deep = RunScript("\"$PROG\" -m 8 " + ShellQuoted(deep_repo) +
                                       " >\"$OUT\" 2>\"$ERR\"; s=$?; rm -rf " + ShellQuoted(deep_repo) + "; exit $s");
  EXPECT_EQ(deep.status, 0) << deep.out;
  EXPECT_EQ(deep.out, alone);
  EXPECT_FALSE(alone.empty());
}

TEST_F(LiveRepository, AReportThatCannotBeWrittenIsNeverASuccess) {
  struct Case {
    const char* script;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"\"$PROG\" -m 0 \"$REPO\" >/dev/full 2>\"$ERR\"", 255, "Can't write the report: No space left on device\n"},
      {"\"$PROG\" -m 0 \"$REPO\" >&- 2>\"$ERR\"", 255, "Can't write the report: Bad file descriptor\n"},
      // The reader is gone before the program starts.
      {"trap '' PIPE; { sleep 1; exec \"$PROG\" -m 0 \"$REPO\" 2>\"$ERR\"; } | exit 0; exit ${PIPESTATUS[0]}", 255,
       "Can't write the report: Broken pipe\n"},
      // With SIGPIPE at its default the signal ends the program, as with any tool.
      {"{ sleep 1; exec \"$PROG\" -m 0 \"$REPO\" 2>\"$ERR\"; } | exit 0; exit ${PIPESTATUS[0]}", 128 + 13, ""},
  };
  for (const Case& c : cases) {
    const ProgramResult result = RunScript(c.script);
    EXPECT_EQ(result.status, c.status) << c.script;
    EXPECT_EQ(result.err, kBanner + std::string(c.message)) << c.script;
  }
}

// A service that replaces each file by renaming a fresh copy over it frees
// the old file's inode number, and the next new file takes it. A run that
// remembered files by that number alone took the new file for one already
// counted and dropped it, with status 0. Every run must now count every
// file, or say what it lost.
TEST(RepositoryWrittenByRename, NoFileIsDroppedWhileFilesAreReplaced) {
  TempFolder folder;
  repwriter::GeneratorOptions options;
  options.out = folder.path() / "repo";
  options.events = 200000;
  options.files = 40;
  options.nested_share = 0;
  repwriter::GenerateRepository(options);
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(options.out)) {
    if (entry.path().extension() == ".rep") files.push_back(entry.path());
  }
  ASSERT_EQ(files.size(), 40u);
  const std::string total = "\ntotal : 200000\n";
  ASSERT_NE(RunProgram({"-v", "-m", "0", options.out.string()}).out.find(total), std::string::npos);

  std::atomic<bool> stop = false;
  std::thread writer([&] {
    while (!stop) {
      for (const fs::path& file : files) {
        const fs::path copy = file.string() + ".new";
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
        fs::rename(copy, file);
      }
    }
  });
  int complete = 0;
  for (int run = 0; run < 40; ++run) {
    const ProgramResult result = RunProgram({"-v", "-m", run % 2 ? "20" : "0", options.out.string()});
    if (result.status == 0) {
      ++complete;
      EXPECT_NE(result.out.find(total), std::string::npos) << "run " << run << ": a file was lost\n" << result.err;
    } else {
      EXPECT_EQ(result.status, 2) << result.err;
      EXPECT_NE((result.out + result.err).find("Can't "), std::string::npos) << result.out << result.err;
    }
  }
  stop = true;
  writer.join();
  EXPECT_GT(complete, 0);
}

// Little-endian fields and UTF-16 texts of a hand-made image.
void PutLittleEndian(std::string& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void PutText(std::string& out, const std::u16string& text) {
  PutLittleEndian(out, text.size(), 4);
  for (char16_t c : text) PutLittleEndian(out, c, 2);
}

// The image header: 32 unread bytes, then where the last footer lies.
std::string ImageHeader(uint64_t footer_offset, uint64_t footer_length) {
  std::string header(32, '\0');
  PutLittleEndian(header, footer_offset, 8);
  PutLittleEndian(header, footer_length, 4);
  return header;
}

// A footer's start: no earlier footer, then the buffer table's length.
std::string FooterStart(uint64_t table_length) {
  std::string start(12, '\0');
  PutLittleEndian(start, table_length, 8);
  return start;
}

// The property section that ends a footer, with what a grouping needs.
std::string PropertySection() {
  std::string properties;
  for (const auto& [name, value] : {std::pair<std::u16string, std::u16string>{u"EventsCount", u"10"},
                                    {u"ComputerType", u"1"},
                                    {u"PlatformID", u"2"},
                                    {u"UnderDataSource", u"Hostile"}}) {
    PutText(properties, name);
    PutText(properties, value);
  }
  std::string section;
  PutLittleEndian(section, properties.size(), 8);
  return section + properties;
}

// Writes `pieces` (offset, bytes) into a file of `size` bytes whose other
// bytes are holes: nothing is stored for them.
bool WriteSparse(const std::string& path, uint64_t size, const std::vector<std::pair<uint64_t, std::string>>& pieces) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool written = ftruncate(fd, static_cast<off_t>(size)) == 0;
  for (const auto& [offset, bytes] : pieces) {
    written = written &&
              pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes.size());
  }
  return close(fd) == 0 && written;
}

// A data buffer that claims a terabyte, of holes, with its footer after it.
bool WriteFileOfHugeBuffer(const std::string& path) {
  constexpr uint64_t kBufferAt = 44;
  const uint64_t buffer_length = uint64_t{1} << 40;
  std::string entry;
  PutText(entry, u"1_events.dat");
  PutLittleEndian(entry, 0, 8);
  PutLittleEndian(entry, kBufferAt, 8);
  PutLittleEndian(entry, buffer_length, 8);
  const std::string footer = FooterStart(entry.size()) + entry + PropertySection();
  const std::string buffer_head = std::string("ED") + std::string(10, '\0') + "1_events.dat" + std::string(1, '\0');
  const uint64_t footer_at = kBufferAt + buffer_length;
  return WriteSparse(path, footer_at + footer.size(),
                     {{0, ImageHeader(footer_at, footer.size()) + buffer_head}, {footer_at, footer}});
}

// A footer of 4 GiB whose buffer table is holes.
bool WriteFileOfHugeFooter(const std::string& path) {
  constexpr uint64_t kFooterAt = 44;
  const uint64_t footer_length = (uint64_t{1} << 32) - 1;
  const std::string properties = PropertySection();
  const uint64_t table_length = footer_length - 20 - properties.size();
  return WriteSparse(path, kFooterAt + footer_length,
                     {{0, ImageHeader(kFooterAt, footer_length) + FooterStart(table_length)},
                      {kFooterAt + footer_length - properties.size(), properties}});
}

// The two shapes of a file whose sizes no memory could meet: each fails
// alone, as a damaged file, in little memory, and the run goes on.
TEST_F(LiveRepository, AFileWhoseSizesCannotBeMetFailsAloneInLittleMemory) {
  const std::string folder = Env() + "/zz-hostile";  // walked last: the failed mark stops what follows
  fs::create_directories(folder);
  const std::string huge_buffer = folder + "/Orv_0000000001_2018050100000020180501010000.rep";
  const std::string huge_footer = folder + "/Orv_0000000002_2018050100000020180501010000.rep";
  if (!WriteFileOfHugeBuffer(huge_buffer)) GTEST_SKIP() << "this file system holds no sparse file of a terabyte";
  ASSERT_TRUE(WriteFileOfHugeFooter(huge_footer));
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {{huge_buffer, "error: Can't uncompress : -3\nuncompress error\n"},
               {huge_footer, "Buffer table exceeds the 64 MiB an image's footers may take\n"}};
  for (const auto& hostile : cases) {
    const std::string other = hostile.path == huge_buffer ? huge_footer : huge_buffer;
    fs::rename(other, folder + "/aside");
    for (const char* mode : {"20", "8"}) {
      const ProgramResult result =
          RunScript("/usr/bin/time -f %M -o \"$ERR.kb\" \"$PROG\" -m " + std::string(mode) +
                    " \"$REPO\" >\"$OUT\" 2>\"$ERR\"; s=$?; cat \"$ERR.kb\" >>\"$ERR\"; exit $s");
      const std::string context = std::string("mode ") + mode + ", " + hostile.path;
      EXPECT_EQ(result.status, 2) << context << result.err;
      EXPECT_EQ(result.out, hostile.reason + "some problem in file:\n" + hostile.path + "\n" + baseline_[mode])
          << context;
      const size_t last_line = result.err.find_last_of('\n', result.err.size() - 2) + 1;
      const unsigned long kilobytes = std::stoul(result.err.substr(last_line));
      EXPECT_LT(kilobytes, 200u * 1024) << context;
    }
    fs::rename(folder + "/aside", other);
  }
}

// -o FILE: the report takes FILE's place only once it is whole. A full
// disk, a run out of memory or one stopped by SIGTERM leaves FILE as it was
// and no temporary file beside it; standard output holds no report.
TEST_F(LiveRepository, AnOutputFileIsReplacedOnlyByAWholeReport) {
  const std::string out_folder = (folder_.path() / "reports").string();
  fs::create_directories(out_folder);
  const std::string report = out_folder + "/counts.csv";
  const auto others_in_folder = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out_folder)) {
      if (entry.path().filename() != "counts.csv") names.push_back(entry.path().filename().string());
    }
    return names;
  };
  // A whole report replaces the old content; standard output holds the
  // verbose lines alone.
  std::ofstream(report) << "old content\n";
  ProgramResult result = RunScript("\"$PROG\" -v -m 8 -o " + ShellQuoted(report) + " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(ReadText(report) == baseline_["8"]);  // megabytes: no dump
  EXPECT_EQ(result.out.find(baseline_["8"].substr(0, 40)), std::string::npos);
  EXPECT_NE(result.out.find("\ntotal : 40000\n"), std::string::npos) << result.out;
  EXPECT_TRUE(others_in_folder().empty());

  // Stopped on the way, by running out of memory at some limit, or by
  // SIGTERM: the old content stays, and no temporary file.
  const auto check_stopped = [&](const ProgramResult& stopped, int status, const std::string& context) {
    EXPECT_EQ(stopped.status, status) << context << stopped.err;
    EXPECT_EQ(ReadText(report), "old content\n") << context;
    EXPECT_TRUE(others_in_folder().empty()) << context << ": " << others_in_folder().front();
  };
  int stopped = 0;
  for (int megabytes = 16; megabytes <= 64 && !BuiltWithSanitizers(); megabytes += 8) {
    std::ofstream(report) << "old content\n";
    result = RunScript("ulimit -v " + std::to_string(megabytes * 1024) + "; \"$PROG\" -m 8 -o " + ShellQuoted(report) +
                       " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
    if (result.status == 0) continue;
    ++stopped;
    check_stopped(result, 255, std::to_string(megabytes) + " MB");
    EXPECT_NE(result.err.find("Out of memory: the run was stopped before the report was complete\n"),
              std::string::npos);
  }
  EXPECT_TRUE(stopped > 0 || BuiltWithSanitizers());
  std::ofstream(report) << "old content\n";
  // The signal comes once the temporary file is there, while the run goes on.
  result = RunScript("TALLYMERE_THREADS=0 \"$PROG\" -m 8 -o " + ShellQuoted(report) +
                     " \"$REPO\" >\"$OUT\" 2>\"$ERR\" & p=$!; " + "while kill -0 $p 2>/dev/null && ! ls " +
                     ShellQuoted(out_folder) + "/.counts.csv.tmp-* >/dev/null 2>&1; " +
                     "do sleep 0.001; done; kill -TERM $p 2>/dev/null; wait $p");
  if (result.status != 0) check_stopped(result, 128 + 15, "SIGTERM");  // 0: done before the signal
  EXPECT_EQ(result.status, 128 + 15);

  // A full file system: a small one of its own, as root.
  const std::string small = (folder_.path() / "small").string();
  fs::create_directories(small);
  if (RunScript("mount -t tmpfs -o size=64k tmpfs " + ShellQuoted(small)).status != 0) {
    GTEST_SKIP() << "no file system can be mounted here";
  }
  std::ofstream(small + "/counts.csv") << "old content\n";
  result = RunScript("\"$PROG\" -m 8 -o " + ShellQuoted(small + "/counts.csv") + " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  const std::string left = ReadText(small + "/counts.csv");
  const size_t entries = static_cast<size_t>(std::distance(fs::directory_iterator(small), fs::directory_iterator()));
  RunScript("umount " + ShellQuoted(small));
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, kBanner + std::string("Can't write the report: No space left on device\n"));
  EXPECT_EQ(left, "old content\n");
  EXPECT_EQ(entries, 1u);
}

// Whatever the limit, a run ends with the whole report (status 0) or with
// the memory message (status 255): never an abort, never a partial success.
TEST_F(LiveRepository, RunningOutOfMemoryEndsWithTheFatalStatus) {
  if (BuiltWithSanitizers()) GTEST_SKIP() << "the sanitizers reserve more address space than any limit leaves";
  int stopped = 0, completed = 0;
  for (const char* mode : {"20", "0", "8"}) {
    for (int megabytes = 24; megabytes <= 104; megabytes += 8) {
      const ProgramResult result = RunScript("ulimit -v " + std::to_string(megabytes * 1024) + "; \"$PROG\" -m " +
                                             mode + " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
      const std::string context = std::string("mode ") + mode + ", " + std::to_string(megabytes) + " MB";
      if (result.status == 0) {
        ++completed;
        EXPECT_EQ(result.out, baseline_[mode]) << context;
      } else {
        ++stopped;
        EXPECT_EQ(result.status, 255) << context << "\n" << result.err;
        EXPECT_NE(result.err.find("Out of memory: the run was stopped before the report was complete\n"),
                  std::string::npos)
            << context << "\n"
            << result.err;
      }
    }
  }
  EXPECT_GT(stopped, 0);
  EXPECT_GT(completed, 0);
}

// Threads count against the user's process limit; those refused leave the
// work to the others, and the report is the same.
TEST_F(LiveRepository, WorkerThreadsThatCannotStartLeaveTheWorkToTheOthers) {
  if (!CanRunAsNobody()) GTEST_SKIP() << "needs root, and the build readable by the user nobody";
  for (const char* limit : {"2", "3", "4"}) {
    const ProgramResult result = RunScript(std::string("ulimit -u ") + limit +
                                           "; TALLYMERE_THREADS=8 setpriv --reuid=nobody --regid=nogroup "
                                           "--clear-groups \"$PROG\" -m 8 \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
    EXPECT_EQ(result.status, 0) << limit << result.err;
    EXPECT_EQ(result.out, baseline_["8"]) << limit;
  }
}

// With one descriptor to spare (none inherited), opening files and folders
// fails now and then while the workers read ahead: each such failure is
// reported, and a run that reports none has counted everything.
TEST_F(LiveRepository, RunningOutOfDescriptorsIsReportedNotSkipped) {
  if (BuiltWithSanitizers()) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
  for (int round = 0; round < 6; ++round) {
    const ProgramResult result = RunScript(
        "exec >\"$OUT\" 2>\"$ERR\"; for fd in /proc/$$/fd/*; do fd=${fd##*/}; ((fd > 2)) && eval \"exec $fd>&-\"; "
        "done; "
        "ulimit -n 4; TALLYMERE_THREADS=4 exec \"$PROG\" -m 20 \"$REPO\"");
    if (result.status == 0) {
      EXPECT_EQ(result.out, baseline_["20"]);
    } else {
      EXPECT_EQ(result.status, 2);
      EXPECT_NE(result.err.find("Too many open files\n"), std::string::npos) << result.err;
    }
  }
}

}  // namespace
}  // namespace tallymere::test

#endif  // _WIN32
