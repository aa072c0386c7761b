#include "scan/file_scan.h"

#include <new>

#include "buffers/value_lines.h"
#include "scan/process_file.h"

namespace tallymere {

namespace {

// The nested-image buffers a parse of the image gets to, in table order:
// the references a container hands out when its parse succeeds.
std::vector<const BufferEntry*> PlannedNestedEntries(const RepFileBuffer& image) {
  std::vector<const BufferEntry*> entries;
  for (const RepFooter& footer : image.footers) {
    if (footer.read_failed || footer.stops_as) break;
    for (size_t e = 0; e < footer.reachable; ++e) {
      if (footer.entries[e].buffer_id == kDataBufferId) entries.push_back(&footer.entries[e]);
    }
  }
  return entries;
}

uint64_t NestedRefCount(const RepFileBuffer& image) {
  uint64_t count = 0;
  for (const RepFooter& footer : image.footers) count += footer.nested_refs.size() - 1;  // less the placeholder
  return count;
}

}  // namespace

bool ImageScan::AllConsumed() const {
  for (const auto& job : jobs) {
    if (!job->consumed) return false;
  }
  return true;
}

bool ImageScan::AnyOutOfMemory() const {
  for (const auto& job : jobs) {
    if (job->out_of_memory) return true;
  }
  return false;
}

bool FileScan::AllJobsConsumed() const {
  if (!outer_.AllConsumed() || !nested_.AllConsumed()) return false;
  for (size_t k = 0; k < nested_handed_; ++k) {
    if (nested_jobs_[k] && !nested_jobs_[k]->consumed) return false;
  }
  return true;
}

void FileScan::AbandonJobs() {
  for (auto& job : outer_.jobs) job->abandoned = true;
  for (auto& job : nested_.jobs) job->abandoned = true;
  for (auto& job : nested_jobs_) {
    if (job) job->abandoned = true;
  }
}

FileScan::FileScan(RepFileInput& input, const ScanSettings& settings, uint64_t sequence)
    : input_(&input), settings_(settings), sequence_(sequence), state_(ScanState::kOuterParts) {}

std::unique_ptr<FileScan> FileScan::FolderFailure(const std::string& folder, const std::string& error_text,
                                                  const ScanSettings& settings) {
  std::unique_ptr<FileScan> notice(new FileScan());
  notice->settings_ = settings;
  notice->transcript_.notes().out() << "Can't open folder " << RepositoryText(folder) << "\n";
  notice->transcript_.notes().err() << error_text << "\n";
  notice->transcript_.incomplete = true;
  return notice;
}

void FileScan::Prepare() {
  if (!input_->loaded()) {
    state_ = ScanState::kNotLoaded;
    return;
  }
  try {
    budget_.emplace(UnpackBudget::ForFile(input_->source().size()));
    guard_.emplace(*budget_);
    outer_image_.budget = &*budget_;
    outer_image_.guard = &*guard_;
    outer_.image = &outer_image_;
    if (outer_image_.OpenSource(input_->source())) outer_image_.part_flags = input_->part_flags();
    outer_image_.ReadFooters();
    if (input_->read_failed()) {
      state_ = ScanState::kReadFailed;  // lost as a whole; reported when applied
      return;
    }
    PlanJobs(outer_, 0);
    PlanNestedJobs();
  } catch (const std::bad_alloc&) {
    transcript_.notes().err() << "Exception in Load() for " << RepositoryText(input_->path()) << "\n";
    state_ = ScanState::kOutOfMemory;
  }
}

// Each part is built ahead, and counted ahead when the parse, if it
// succeeds, will count it: the counter counts parts and is not failed, the
// image holds no nested images, and the footer's counting properties are
// sound.
void FileScan::PlanJobs(ImageScan& scan, uint32_t image_index) {
  RepFileBuffer& image = *scan.image;
  RepCounters& counter = *settings_.counter;
  const bool counts_parts = settings_.tallies->of(kCallingThread) != nullptr && !transcript_.failed &&
                            !counter.failed() && PlannedNestedEntries(image).empty();
  scan.prop_info.assign(image.footers.size(), std::nullopt);
  for (size_t f = 0; counts_parts && f < image.footers.size(); ++f) {
    const RepFooter& footer = image.footers[f];
    if (footer.read_failed || footer.stops_as) break;
    FooterPropInfo info;
    Notes unused;  // reported when the footer is counted
    if (RepFileBuffer::ReadPropInfoStatus(footer, info, unused) == PropInfoStatus::kOk && info.ulEventNum != 0) {
      scan.prop_info[f] = std::move(info);
    }
  }
  const std::vector<PartTask>& tasks = image.tasks();
  scan.jobs.reserve(tasks.size());
  for (uint32_t t = 0; t < tasks.size(); ++t) {
    const std::optional<FooterPropInfo>& info = scan.prop_info[tasks[t].footer];
    const CountingPlan plan{info ? &*info : nullptr, !counter.fast};
    scan.jobs.push_back(std::make_unique<PartJob>(image, tasks[t], plan, *settings_.tallies, settings_.progress));
    new_jobs_.emplace_back(JobKey{sequence_, image_index, t + 1}, scan.jobs.back().get());
  }
}

void FileScan::PlanNestedJobs() {
  for (const BufferEntry* entry : PlannedNestedEntries(outer_image_)) {
    nested_jobs_.push_back(
        std::make_unique<NestedJob>(input_->source(), *entry, input_->part_flags(), settings_.progress));
  }
  HandOverNestedJobs();
}

void FileScan::HandOverNestedJobs() {
  for (; nested_handed_ < nested_jobs_.size() && nested_handed_ < next_nested_ + settings_.nested_ahead;
       ++nested_handed_) {
    const auto k = static_cast<uint32_t>(nested_handed_);
    new_jobs_.emplace_back(JobKey{sequence_, k + 1, 0}, nested_jobs_[k].get());
  }
}

void FileScan::TakeNewJobs(std::vector<std::pair<JobKey, Job*>>& jobs) {
  jobs.insert(jobs.end(), new_jobs_.begin(), new_jobs_.end());
  new_jobs_.clear();
}

void FileScan::ReportProblem() {
  transcript_.notes().out() << "some problem in file:\n" << RepositoryText(input_->path()) << "\n";
  transcript_.failed = true;
}

int FileScan::status() const {
  switch (state_) {
    case ScanState::kCountingRefused: return -1;
    case ScanState::kNotLoaded: return -2;
    default: return 0;
  }
}

// The image's parse as a run on one thread does it, with the parts built
// ahead; parts that were finished here are counted here.
int FileScan::SettleImage(ImageScan& scan) {
  RepFileBuffer& image = *scan.image;
  std::vector<PartBuild> builds;
  builds.reserve(scan.jobs.size());
  for (auto& job : scan.jobs) builds.push_back(std::move(job->build));
  const int status = image.Settle(builds, /*keep_parts=*/false);
  transcript_.notes().Append(image.notes);
  if (status != 0) ReportProblem();
  if (image.damaged_content) transcript_.incomplete = true;
  for (size_t t = 0; t < builds.size(); ++t) {
    if (!builds[t].finished_in_settle) continue;
    PartJob& job = *scan.jobs[t];
    CountingPlan plan = job.plan();
    if (status != 0) plan.prop_info = nullptr;
    CountBuiltPart(builds[t].part, plan, settings_.tallies->of(kCallingThread), job.events, job.counts);
  }
  return status;
}

bool FileScan::Advance() {
  while (!Ended()) {
    if (!Step()) return false;
  }
  return true;
}

bool FileScan::Step() {
  switch (state_) {
    case ScanState::kOuterParts: return SettleOuter();
    case ScanState::kNextNested: return AwaitNested();
    case ScanState::kNestedParts: return SettleNested();
    default: return true;
  }
}

// A file whose reading failed is lost as a whole, and reported as unread
// when it is applied: nothing more of it is settled.
bool FileScan::EndIfReadFailed() {
  if (input_->read_failed()) state_ = ScanState::kReadFailed;
  return Ended();
}

bool FileScan::SettleOuter() {
  if (!outer_.AllConsumed()) return false;
  if (EndIfReadFailed()) return true;
  if (outer_.AnyOutOfMemory()) {
    state_ = ScanState::kOutOfMemory;
    return true;
  }
  SettleImage(outer_);
  if (outer_image_.kind != FileKind::Data) {
    state_ = ScanState::kDone;
  } else if (NestedRefCount(outer_image_) == 0) {
    state_ = CountImage(outer_) ? ScanState::kDone : ScanState::kCountingRefused;
  } else {
    state_ = ScanState::kNextNested;
  }
  return true;
}

// Container images are counted through their nested images, one after
// another: the k-th reference is the k-th nested-image buffer of the table.
bool FileScan::AwaitNested() {
  if (EndIfReadFailed()) return true;
  if (next_nested_ >= nested_jobs_.size()) {
    state_ = ScanState::kDone;
    return true;
  }
  NestedJob& job = *nested_jobs_[next_nested_];
  if (!job.consumed) return false;
  state_ = ScanState::kDone;
  if (NextNestedRef(outer_image_).IsNull()) return true;
  if (job.out_of_memory) {
    state_ = ScanState::kOutOfMemory;
    return true;
  }
  if (!job.data) return true;  // not well formed: the container's parse failed on it already
  transcript_.notes().Append(job.data->notes);
  if (job.data->parse_status() != 0) transcript_.incomplete = true;
  if (job.kind == kUnknownBufferId) {
    // Without a known magic the rest of the container cannot be trusted.
    transcript_.incomplete = true;
    return true;
  }
  if (!budget_->Spend(job.data->image().size())) {
    transcript_.notes().out() << kOverBudgetMessage;
    ReportProblem();
    return true;
  }
  nested_ = ImageScan{};
  nested_.image = job.image.get();
  nested_.image->budget = &*budget_;
  nested_.image->guard = &*guard_;
  PlanJobs(nested_, static_cast<uint32_t>(next_nested_ + 1));
  state_ = ScanState::kNestedParts;
  return true;
}

bool FileScan::SettleNested() {
  if (EndIfReadFailed()) return true;
  if (!nested_.AllConsumed()) return false;
  if (nested_.AnyOutOfMemory()) {
    state_ = ScanState::kOutOfMemory;
    return true;
  }
  SettleImage(nested_);
  const bool counted = nested_.image->kind != FileKind::Data || CountImage(nested_);
  nested_ = ImageScan{};
  nested_jobs_[next_nested_++].reset();  // the nested image's bytes go
  HandOverNestedJobs();
  state_ = counted ? ScanState::kNextNested : ScanState::kCountingRefused;
  return true;
}

bool FileScan::CountImage(ImageScan& scan) {
  if (transcript_.failed || settings_.counter->failed()) {
    transcript_.incomplete = true;
    return false;
  }
  for (const RepFooter& footer : scan.image->footers) {
    if (std::optional<FooterTotal> total =
            settings_.counter->CountFooterTotal(footer.properties, transcript_.notes())) {
      if (!CountFooterTotal(*total)) break;
    } else {
      CountFooter(scan, footer);
    }
  }
  return true;
}

// A footer counted by its "EventsCount" (mode -1). False when the image's
// later footers are not counted.
bool FileScan::CountFooterTotal(FooterTotal& total) {
  transcript_.prop_total += total.announced;
  if (total.counts) transcript_.AddCounts(std::move(total.counts));
  return total.count_next;
}

// Counts one footer's parts: their counts made ahead, in part order, then
// the footer's "EventsCount" as the check total.
void FileScan::CountFooter(ImageScan& scan, const RepFooter& footer) {
  FooterPropInfo info;
  const PropInfoStatus status = RepFileBuffer::ReadPropInfoStatus(footer, info, transcript_.notes());
  if (status != PropInfoStatus::kOk) {
    if (status == PropInfoStatus::kMissing) transcript_.incomplete = true;
    return;
  }
  if (info.ulEventNum == 0) {
    transcript_.notes().out() << "0 == prop_info.ulEventNum\n";
    return;
  }
  uint32_t tmp_ulCount = 0;
  for (size_t p = 0; p < footer.parts.size(); ++p) {
    PartJob& job = *scan.jobs[footer.first_task + p];
    if (!job.events) continue;
    tmp_ulCount += *job.events;
    if (job.counts) transcript_.AddCounts(std::move(job.counts));
  }
  transcript_.prop_total += info.ulEventNum;
  if (info.ulEventNum == tmp_ulCount) return;
  transcript_.notes().err() << "prop_info.ulEventNum != tmp_ulCount";
  TextOut& out = transcript_.notes().out();
  out << RepositoryText(input_->path()) << "\n";
  out << "prop_info.ulEventNum != tmp_ulCount"
      << "\nprop_info.ulEventNum = ";
  PrintU32WithHex(out, info.ulEventNum);
  out << "tmp_ulCount = ";
  PrintU32WithHex(out, tmp_ulCount);
  out << "\n";
  transcript_.incomplete = true;
}

void FileScan::Apply() {
  RepCounters& counter = *settings_.counter;
  if (input_ != nullptr) {
    ++settings_.run->files;
    if (input_->read_failed()) {
      // Everything read of the file may belong to another version of it:
      // it is reported as unread, and nothing of it counts.
      input_->ReportReadFailure();
      settings_.run->diagnostic_lines += input_->notes().Lines();
      input_->notes().Write();
      settings_.run->incomplete = true;
      if (settings_.progress != nullptr) settings_.progress->AddFileDone(0);
      return;
    }
    settings_.run->diagnostic_lines += input_->notes().Lines();
    input_->notes().Write();
    if (!input_->loaded()) settings_.run->incomplete = true;
  }
  const uint64_t announced = transcript_.prop_total;
  transcript_.Apply(counter, *settings_.run, *settings_.sink);
  if (state_ == ScanState::kOutOfMemory && settings_.run->stop == RunStop::kNone) {
    settings_.run->stop = RunStop::kOutOfMemory;
  }
  if (settings_.progress != nullptr && input_ != nullptr) settings_.progress->AddFileDone(announced);
}

}  // namespace tallymere
