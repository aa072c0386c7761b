// The program over a live repository when the system runs short: memory
// (a file whose stored sizes cannot be met, a run out of memory), threads
// that cannot start and descriptors that run out. Each run must end, report
// what it lost, and exit 0 only with the complete report written.
#ifndef _WIN32

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/live_repository.h"
#include "support/program_runner.h"

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;

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
