// Reading and counting ahead, with the parts of files as the unit of work.
//
// Unpacking data buffers costs far more than anything else, and each part's
// buffers unpack, check, walk and count on their own. So the files the walk
// finds are opened and their footers read on the walking thread, and every
// part of every file becomes a job for the worker threads, however large
// the file; images nested in a container are unpacked as jobs too. The
// walking thread takes the results in, settles each image in walk order and
// applies each file's transcript to the counter: the report, every
// diagnostic and its order are exactly those of a run on one thread.
//
// Memory stays bounded whatever the size of the files: a part's buffers are
// released as soon as it is counted, and only a few jobs are handed out
// ahead of the oldest one not yet taken in.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "counters/rep_counters.h"
#include "repository/walk.h"
#include "scan/file_scan.h"
#include "scan/progress.h"
#include "scan/rep_file_input.h"
#include "work/work_queue.h"

namespace tallymere {

class ScanPipeline final : public WalkVisitor, private CountsSink {
 public:
  // With the counter's worker threads; with none, everything runs on the
  // calling thread, one job at a time. What the run meets goes into `run`.
  // With `visited`, a file that is opened again (reached through another
  // link, or a second time under another name) is passed over.
  ScanPipeline(RepCounters& counter, RunState& run, Progress* progress = nullptr, VisitedEntries* visited = nullptr);
  ~ScanPipeline() override;
  ScanPipeline(const ScanPipeline&) = delete;
  ScanPipeline& operator=(const ScanPipeline&) = delete;

  // Reads and counts the file after the ones added before it; it may still
  // be in the making when this returns (Drain finishes everything).
  void File(const std::string& path) override;
  // Reports a folder that could not be listed, in walk order, and marks the
  // run incomplete.
  void FolderFailure(const std::string& folder, const std::string& error_text) override;
  // Once the run stops (run.stop), nothing more is read or applied.
  bool Stopped() const override { return run_.stop != RunStop::kNone; }
  // A file the caller owns, counted before this returns; its status as
  // ProcessFile gives it.
  int Process(RepFileInput& input);
  void Drain();

  // Processor time the calling thread spent on jobs (work any thread could
  // have done), as against its own share of the run; measured once asked.
  void MeasureJobsHere() { queue_.MeasureWaiterJobs(); }
  uint64_t job_nanoseconds_here() const { return queue_.waiter_job_nanoseconds(); }
  // Jobs handed out and not yet taken in, at most (tests).
  size_t window() const { return window_; }
  // The most jobs that were ever handed out and not yet taken in (tests).
  size_t most_in_flight() const { return most_in_flight_; }

 private:
  struct Scheduled {
    JobKey key;
    Job* job;
    bool operator>(const Scheduled& other) const { return key > other.key; }
  };
  using Pending = std::priority_queue<Scheduled, std::vector<Scheduled>, std::greater<Scheduled>>;

  void Add(std::unique_ptr<FileScan> file, std::unique_ptr<RepFileInput> input);
  // Counts accepted in walk order are added to the count map on any thread.
  void Add(std::unique_ptr<PartCounts> counts) override;
  void CollectJobs(FileScan& file);
  // One step of work: hands out the most urgent job when there is room,
  // else takes in the oldest one handed out. False when neither is left.
  bool Step();
  // Settles and applies the files at the front, in walk order.
  void ApplyDone();
  // After a stop: the jobs not yet run are not needed.
  void AbandonAll();
  size_t FilesAheadLimit() const;
  ScanSettings Settings();

  RepCounters& counter_;
  RunState& run_;
  Progress* progress_;
  VisitedEntries* visited_;
  TallyTable tallies_;
  WorkQueue queue_;
  size_t window_;
  struct Entry {
    std::unique_ptr<RepFileInput> input;  // owned here unless the caller owns it
    std::unique_ptr<FileScan> scan;
  };
  std::deque<Entry> files_;
  // Files applied while jobs of theirs were still handed out (a container
  // whose later images were not needed): kept until those are taken in.
  std::deque<Entry> retired_;
  Pending pending_;
  std::deque<Job*> in_flight_;
  std::deque<std::unique_ptr<MergeJob>> merges_;  // handed out, oldest first
  std::vector<std::pair<JobKey, Job*>> collected_;
  uint64_t next_sequence_ = 0;
  size_t most_in_flight_ = 0;
  int last_status_ = 0;  // of the file applied last
};

}  // namespace tallymere
