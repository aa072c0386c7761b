#include "scan/scan_pipeline.h"

#include <algorithm>

namespace tallymere {

namespace {

// Jobs handed out ahead of the oldest one not taken in, per thread: enough
// that no thread waits for work, few enough that little is held.
constexpr size_t kJobsAheadPerThread = 4;
// Counts waiting to be added, at most: they are small, and added quickly.
constexpr size_t kMostMerges = 64;

}  // namespace

ScanPipeline::ScanPipeline(RepCounters& counter, RunState& run, Progress* progress, VisitedEntries* visited)
    : counter_(counter),
      run_(run),
      progress_(progress),
      visited_(visited),
      tallies_(counter, counter.worker_threads),
      queue_(counter.worker_threads, [this](unsigned) { tallies_.AddWorker(); }),
      window_(kJobsAheadPerThread * (queue_.threads() + 1)) {}

// Jobs still running refer to the files: they finish before the files go.
ScanPipeline::~ScanPipeline() { queue_.Stop(); }

ScanSettings ScanPipeline::Settings() {
  return {&counter_, &run_, &tallies_, progress_, this, queue_.threads() + size_t{1}};
}

void ScanPipeline::Add(std::unique_ptr<PartCounts> counts) {
  if (tallies_.of(kCallingThread) == nullptr) return;  // a counter without a count map
  merges_.push_back(std::make_unique<MergeJob>(std::move(counts), tallies_));
  queue_.Submit(*merges_.back());
  while (merges_.size() > kMostMerges) {
    queue_.Wait(*merges_.front());
    merges_.pop_front();
  }
}

size_t ScanPipeline::FilesAheadLimit() const { return 2 * (queue_.threads() + 1); }

void ScanPipeline::CollectJobs(FileScan& file) {
  file.TakeNewJobs(collected_);
  for (const auto& [key, job] : collected_) pending_.push({key, job});
  collected_.clear();
}

void ScanPipeline::Add(std::unique_ptr<FileScan> file, std::unique_ptr<RepFileInput> input) {
  file->Prepare();
  CollectJobs(*file);
  files_.push_back({std::move(input), std::move(file)});
}

void ScanPipeline::File(const std::string& path) {
  if (Stopped()) return;
  if (progress_ != nullptr) progress_->SetFolderOf(path);
  auto input = std::make_unique<RepFileInput>(path, counter_.part_flags);
  if (visited_ != nullptr && input->identity() != nullptr && !visited_->FirstVisitToFile(*input->identity())) return;
  auto scan = std::make_unique<FileScan>(*input, Settings(), next_sequence_++);
  Add(std::move(scan), std::move(input));
  // Hand the file's jobs out before the walk goes on; a large file keeps
  // the walk here while its parts are counted.
  while (!pending_.empty() || files_.size() > FilesAheadLimit()) {
    if (!Step()) break;
  }
}

void ScanPipeline::FolderFailure(const std::string& folder, const std::string& error_text) {
  if (Stopped()) return;
  files_.push_back({nullptr, FileScan::FolderFailure(folder, error_text, Settings())});
  ApplyDone();
  while (files_.size() > FilesAheadLimit() && Step()) {
  }
}

int ScanPipeline::Process(RepFileInput& input) {
  Drain();
  Add(std::make_unique<FileScan>(input, Settings(), next_sequence_++), nullptr);
  Drain();
  return last_status_;
}

void ScanPipeline::Drain() {
  while (Step()) {
  }
  ApplyDone();
  if (Stopped()) return;  // the counts will not be reported
  for (auto& merge : merges_) queue_.Wait(*merge);
  merges_.clear();
}

bool ScanPipeline::Step() {
  ApplyDone();
  if (Stopped()) return false;
  if (!pending_.empty() && in_flight_.size() < window_) {
    Job* job = pending_.top().job;
    pending_.pop();
    if (job->light()) queue_.Wait(*job);
    else queue_.Submit(*job);
    in_flight_.push_back(job);
    most_in_flight_ = std::max(most_in_flight_, in_flight_.size());
    return true;
  }
  if (in_flight_.empty()) return false;
  // With workers, the oldest job is mostly still running, and waiting for
  // each one in turn cost a sleep, a wake-up and an interrupt between
  // processors per job. Waiting for the job half a window on, then taking
  // in every job before it, sleeps once for them all, while the workers
  // still have the other half queued. Without workers this thread runs the
  // jobs itself, oldest first.
  const size_t half_window = queue_.threads() == 0 ? 1 : std::max<size_t>(1, window_ / 2);
  const size_t batch = std::min(in_flight_.size(), half_window);
  queue_.Wait(*in_flight_[batch - 1]);
  for (size_t i = 0; i < batch; ++i) {
    Job* oldest = in_flight_.front();
    in_flight_.pop_front();
    queue_.Wait(*oldest);
    oldest->consumed = true;
    ApplyDone();
  }
  return true;
}

void ScanPipeline::ApplyDone() {
  while (!files_.empty() && !Stopped()) {
    FileScan& front = *files_.front().scan;
    const bool done = front.Advance();
    CollectJobs(front);  // a nested image's parts, once it is unpacked
    if (!done) return;
    front.Apply();
    last_status_ = front.status();
    if (!front.AllJobsConsumed()) {
      front.AbandonJobs();
      retired_.push_back(std::move(files_.front()));
    }
    files_.pop_front();
  }
  if (Stopped()) AbandonAll();
  while (!retired_.empty() && retired_.front().scan->AllJobsConsumed()) retired_.pop_front();
}

void ScanPipeline::AbandonAll() {
  for (Entry& entry : files_) entry.scan->AbandonJobs();
  for (Entry& entry : retired_) entry.scan->AbandonJobs();
  for (auto& merge : merges_) merge->abandoned = true;
}

}  // namespace tallymere
