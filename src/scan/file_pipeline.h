// Reading ahead of the counting.
//
// Unpacking the parts of a file costs more than counting them, and neither
// depends on the other file by file. So while the main thread counts one
// file, worker threads read and parse the next few, across folders:
// mapping, footers and tables, unpacking, checks, the record walks and, for
// the groupings that count decoded tables, the decoding. What a worker would
// print is recorded and written when its file's turn comes, before the file
// is counted; the counter is only ever touched by the main thread, in walk
// order. The report is therefore exactly that of a run on one thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "counters/rep_counters.h"
#include "repository/walk.h"
#include "scan/progress.h"

namespace tallymere {

struct PreparedFile;

class FilePipeline final : public WalkVisitor {
 public:
  // `workers` threads read ahead; with 0 every file is read when counted.
  // With `progress`, each file read, unpacked and counted is added to it.
  FilePipeline(RepCounters& counter, unsigned workers, Progress* progress = nullptr);
  ~FilePipeline() override;
  FilePipeline(const FilePipeline&) = delete;
  FilePipeline& operator=(const FilePipeline&) = delete;

  // Reads, parses and counts `path` after the files added before it. With
  // workers the file is read ahead and may be counted by a later call;
  // Drain counts the files still ahead.
  void File(const std::string& path) override;
  // Reports a folder that could not be listed, in walk order, and marks the
  // run incomplete.
  void FolderFailure(const std::string& folder, const std::string& error_text) override;
  void Drain();

 private:
  using Result = std::unique_ptr<PreparedFile>;
  std::future<Result> Submit(const std::string& path);
  void WorkerLoop();
  bool CanReadAhead() const;
  void TopUp();
  void CountNext();
  void Finish(PreparedFile& file);

  RepCounters& counter_;
  const std::array<uint32_t, kPartKinds> part_flags_;
  const bool decode_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<Result()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  // Files handed to the workers, in walk order, and the one added but not
  // yet handed over while the read-ahead is full.
  std::deque<std::future<Result>> ahead_;
  std::optional<std::string> waiting_;
  uint64_t largest_footprint_ = 0;
  Progress* progress_;
};

// Walks one search root and counts every file found, in walk order, with
// the counter's worker threads reading ahead.
void ScanRoot(const RepositoryRoot& root, RepCounters& counter, VisitedEntries& visited, Progress* progress);

}  // namespace tallymere
