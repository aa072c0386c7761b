#include "scan/file_pipeline.h"

#include <algorithm>
#include <new>
#include <optional>
#include <system_error>

#include "platform/output.h"
#include "scan/process_file.h"
#include "scan/rep_file_input.h"

namespace tallymere {

namespace {

constexpr uint64_t kReadAheadBytes = uint64_t{24} << 20;

}  // namespace

// A file read ahead, or a folder that could not be listed (no input), as
// the main thread takes it in walk order.
struct PreparedFile {
  OutputRecording output;  // what reading and parsing printed
  std::optional<RepFileInput> input;
  std::optional<ParsedFile> parsed;  // for a loaded file
  bool out_of_memory = false;        // preparing it ran out of memory
};

namespace {

std::unique_ptr<PreparedFile> PrepareFile(const std::string& path, const std::array<uint32_t, kPartKinds>& flags,
                                          bool decode, Progress* progress) {
  auto file = std::make_unique<PreparedFile>();
  try {
    ScopedOutputRecording recording(file->output);
    file->input.emplace(path, flags);
    if (file->input->loaded()) {
      file->parsed.emplace(file->input->bytes().size());
      ParseFile(*file->input, decode, *file->parsed);
      if (progress != nullptr) {
        progress->AddRead(file->input->bytes().size());
        progress->AddUnpacked(file->parsed->footprint - file->input->bytes().size());
      }
    }
  } catch (const std::bad_alloc&) {
    // The run stops when this file's turn comes, after everything the
    // files before it print.
    file->out_of_memory = true;
  }
  return file;
}

void ReportFolderFailure(const std::string& folder, const std::string& error_text) {
  Out() << "Can't open folder " << folder << "\n";
  Err() << error_text << "\n";
}

}  // namespace

FilePipeline::FilePipeline(RepCounters& counter, unsigned workers, Progress* progress)
    : counter_(counter), part_flags_(counter.part_flags), decode_(!counter.fast), progress_(progress) {
  // A counter that unpacks no part (the property total) reads footers only,
  // which is no work worth handing over.
  if (std::all_of(part_flags_.begin(), part_flags_.end(), [](uint32_t flag) { return flag == 0; })) return;
  // The system may refuse threads (memory, process limits): the work is the
  // same with fewer, down to none.
  try {
    threads_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { WorkerLoop(); });
  } catch (const std::system_error&) {
  }
}

FilePipeline::~FilePipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void FilePipeline::WorkerLoop() {
  for (;;) {
    std::packaged_task<Result()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;  // jobs left behind by an exception are abandoned
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();  // an exception reaches the main thread through the future
  }
}

std::future<FilePipeline::Result> FilePipeline::Submit(const std::string& path) {
  std::packaged_task<Result()> job([path, this] { return PrepareFile(path, part_flags_, decode_, progress_); });
  std::future<Result> result = job.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  return result;
}

void FilePipeline::Finish(PreparedFile& file) {
  file.output.Replay();
  if (file.out_of_memory) StopOutOfMemory();
  if (!file.input) {
    counter_.incomplete = true;  // a folder that could not be listed
    return;
  }
  counter_.current_path = &file.input->path();
  const uint64_t announced = counter_.m_prop_total;
  if (file.parsed) {
    CountParsedFile(*file.parsed, *file.input, counter_);
  } else {
    counter_.incomplete = true;  // reported by the reading step
  }
  counter_.current_path = nullptr;
  // The events the file's counted footers announce.
  if (progress_ != nullptr) progress_->AddFileDone(counter_.m_prop_total - announced);
}

// Files read ahead hold their bytes, unpacked parts and decoded records until
// counted: that is kept to a bounded amount, going by the largest file so far,
// but at least one file is always read ahead.
bool FilePipeline::CanReadAhead() const {
  return ahead_.size() < threads_.size() + 1 &&
         (ahead_.empty() || (ahead_.size() + 1) * largest_footprint_ <= kReadAheadBytes);
}

void FilePipeline::TopUp() {
  if (waiting_ && CanReadAhead()) {
    ahead_.push_back(Submit(*waiting_));
    waiting_.reset();
  }
}

// The next file is handed over before the oldest is counted, so that the
// workers go on meanwhile.
void FilePipeline::CountNext() {
  Result file = ahead_.front().get();
  ahead_.pop_front();
  if (file->parsed) largest_footprint_ = std::max(largest_footprint_, file->parsed->footprint);
  TopUp();
  Finish(*file);
}

void FilePipeline::File(const std::string& path) {
  if (progress_ != nullptr) progress_->SetFolderOf(path);
  if (threads_.empty()) {
    // The same steps on the main thread alone; each part is decoded only
    // when it is counted, which holds the least memory.
    Finish(*PrepareFile(path, part_flags_, /*decode=*/false, progress_));
    return;
  }
  waiting_ = path;
  TopUp();
  while (waiting_) CountNext();
}

void FilePipeline::FolderFailure(const std::string& folder, const std::string& error_text) {
  auto notice = std::make_unique<PreparedFile>();
  {
    ScopedOutputRecording recording(notice->output);
    ReportFolderFailure(folder, error_text);
  }
  if (threads_.empty()) return Finish(*notice);
  // Reported in walk order: after what the files read ahead of it print.
  std::promise<Result> ready;
  ready.set_value(std::move(notice));
  ahead_.push_back(ready.get_future());
  while (ahead_.size() > threads_.size() + 1) CountNext();  // many such folders in a row
}

void FilePipeline::Drain() {
  while (!ahead_.empty()) CountNext();
}

void ScanRoot(const RepositoryRoot& root, RepCounters& counter, VisitedEntries& visited, Progress* progress) {
  if (!root.exists) return;
  FilePipeline pipeline(counter, counter.worker_threads, progress);
  WalkRepository(root, counter.time_filter, visited, pipeline);
  pipeline.Drain();
}

}  // namespace tallymere
