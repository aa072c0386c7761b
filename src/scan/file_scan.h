// One repository file through the pipeline: its image opened and its
// footers read, its parts built and counted ahead as jobs, then settled and
// counted in the order a run on one thread goes, its effects kept until the
// file is done.
//
// A run on one thread parses a whole image before it counts any of it, and
// a file that fails to parse marks the counter failed, so that nothing of
// the file and nothing after it is counted. Parts counted ahead are
// therefore only counts in waiting: they reach the counter when the file is
// applied, in walk order, and are dropped with the file when it failed or
// could not be read to the end.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "buffers/unpack_budget.h"
#include "container/rep_file_buffer.h"
#include "counters/rep_counters.h"
#include "parts/footer_prop_info.h"
#include "platform/output.h"
#include "scan/progress.h"
#include "scan/rep_file_input.h"
#include "scan/run_state.h"
#include "scan/scan_jobs.h"
#include "scan/transcript.h"

namespace tallymere {

// Where a job's result is needed in the run: by file, then by image (0 the
// file's own, k the k-th nested one), then in the image's order.
struct JobKey {
  uint64_t file = 0;
  uint32_t image = 0;
  uint32_t job = 0;
  auto operator<=>(const JobKey&) const = default;
};

struct ScanSettings {
  RepCounters* counter = nullptr;
  RunState* run = nullptr;
  const TallyTable* tallies = nullptr;  // the settling thread's is kCallingThread's
  Progress* progress = nullptr;
  CountsSink* sink = nullptr;
  // Nested images unpacked ahead of the one being counted, at most: each is
  // held whole until it is counted.
  size_t nested_ahead = 1;
};

// The parts of one image in the making.
struct ImageScan {
  RepFileBuffer* image = nullptr;
  // Each footer's counting properties, when its parts are counted ahead.
  std::vector<std::optional<FooterPropInfo>> prop_info;
  std::vector<std::unique_ptr<PartJob>> jobs;  // one per part task

  bool AllConsumed() const;
  bool AnyOutOfMemory() const;
};

// Where a file's scan is: a step still to take, or how the file ended.
enum class ScanState {
  // In progress.
  kOuterParts,   // the file's own image: its parts are being built
  kNextNested,   // a container: the next nested image is awaited
  kNestedParts,  // a container: the parts of a nested image are being built
  // Ended.
  kDone,             // settled, and counted as far as it goes
  kCountingRefused,  // the counter is marked failed: nothing of it was counted
  kNotLoaded,        // the file could not be opened or mapped
  kReadFailed,       // reading it failed midway: it is reported as unread
  kOutOfMemory,      // memory ran out: the run stops in its turn
};

class FileScan {
 public:
  // A file read through `input`, which must outlive the scan.
  FileScan(RepFileInput& input, const ScanSettings& settings, uint64_t sequence);
  // A folder that could not be listed, reported in its turn.
  static std::unique_ptr<FileScan> FolderFailure(const std::string& folder, const std::string& error_text,
                                                 const ScanSettings& settings);
  FileScan(const FileScan&) = delete;
  FileScan& operator=(const FileScan&) = delete;

  // Opens the image and reads its footers on the calling thread, and lists
  // the jobs of its parts and nested images.
  void Prepare();
  // Hands over the jobs listed since the last call, with their keys.
  void TakeNewJobs(std::vector<std::pair<JobKey, Job*>>& jobs);
  // Settles and counts as far as the jobs taken in allow; true when the
  // file is done.
  bool Advance();
  // Writes what the file reported and adds what it counted.
  void Apply();
  ScanState state() const { return state_; }
  // As ProcessFile returns: 0 handled, -1 counting refused, -2 not loaded.
  int status() const;
  // Whether every job it handed over has been taken in: it must live until
  // then.
  bool AllJobsConsumed() const;
  // Tells the jobs not yet run that their results are not needed.
  void AbandonJobs();

 private:
  FileScan() = default;
  bool Ended() const { return state_ >= ScanState::kDone; }
  // One step of Advance: false while it waits for a job.
  bool Step();
  bool EndIfReadFailed();
  bool SettleOuter();
  void PlanJobs(ImageScan& scan, uint32_t image_index);
  void PlanNestedJobs();
  // Hands over the unpacking of the next nested images, as far as
  // nested_ahead allows.
  void HandOverNestedJobs();
  bool AwaitNested();
  bool SettleNested();
  int SettleImage(ImageScan& scan);
  // Counts every footer of a parsed Data image; false (nothing counted)
  // when the counter is marked failed.
  bool CountImage(ImageScan& scan);
  void CountFooter(ImageScan& scan, const RepFooter& footer);
  bool CountFooterTotal(FooterTotal& total);
  void ReportProblem();

  RepFileInput* input_ = nullptr;
  ScanSettings settings_;
  uint64_t sequence_ = 0;
  std::optional<UnpackBudget> budget_;  // in table order
  std::optional<UnpackBudget> guard_;   // for builds that run ahead
  Transcript transcript_;
  ScanState state_ = ScanState::kDone;
  RepFileBuffer outer_image_;
  ImageScan outer_;
  std::vector<std::unique_ptr<NestedJob>> nested_jobs_;  // one per nested-image buffer, in table order
  size_t next_nested_ = 0;
  size_t nested_handed_ = 0;  // nested jobs handed over
  ImageScan nested_;
  std::vector<std::pair<JobKey, Job*>> new_jobs_;
};

}  // namespace tallymere
