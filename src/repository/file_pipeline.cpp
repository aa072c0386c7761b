#include "repository/file_pipeline.h"

#include <algorithm>
#include <optional>

#include "container/process_file.h"
#include "platform/output.h"
#include "repository/rep_file_input.h"

namespace tallymere {

namespace {

// Files read ahead hold their bytes, unpacked parts and decoded records until
// counted: keep that to a bounded amount, going by the largest file so far,
// but always read at least one file ahead.
constexpr uint64_t kReadAheadBytes = uint64_t{24} << 20;

}  // namespace

struct PreparedFile {
  OutputRecording output;  // what reading and parsing printed
  std::optional<RepFileInput> input;
  std::optional<ParsedFile> parsed;  // for a loaded file
};

namespace {

std::unique_ptr<PreparedFile> PrepareFile(const std::string& path, const std::array<uint32_t, kPartKinds>& flags,
                                          bool decode) {
  auto file = std::make_unique<PreparedFile>();
  ScopedOutputRecording recording(file->output);
  file->input.emplace(path, flags);
  if (file->input->loaded()) {
    file->parsed.emplace(file->input->bytes().size());
    ParseFile(*file->input, decode, *file->parsed);
  }
  return file;
}

}  // namespace

FilePipeline::FilePipeline(RepCounters& counter, unsigned workers)
    : counter_(counter), part_flags_(counter.part_flags), decode_(!counter.fast) {
  // A counter that unpacks no part (the property total) reads footers only,
  // which is no work worth handing over.
  if (std::all_of(part_flags_.begin(), part_flags_.end(), [](uint32_t flag) { return flag == 0; })) return;
  for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { WorkerLoop(); });
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
  std::packaged_task<Result()> job([path, this] { return PrepareFile(path, part_flags_, decode_); });
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
  counter_.current_path = &file.input->path();
  if (file.parsed) {
    CountParsedFile(*file.parsed, *file.input, counter_);
  } else {
    counter_.incomplete = true;  // reported by the reading step
  }
  counter_.current_path = nullptr;
}

void FilePipeline::ProcessFiles(const std::vector<std::string>& paths) {
  if (threads_.empty()) {
    for (const std::string& path : paths) {
      RepFileInput input(path, counter_);
      ProcessFile(input, counter_);
      counter_.current_path = nullptr;
    }
    return;
  }
  std::deque<std::future<Result>> ahead;
  size_t next = 0;
  uint64_t largest_footprint = 0;
  const auto top_up = [&] {
    while (next < paths.size() && ahead.size() < threads_.size() + 1 &&
           (ahead.empty() || (ahead.size() + 1) * largest_footprint <= kReadAheadBytes)) {
      ahead.push_back(Submit(paths[next++]));
    }
  };
  for (size_t i = 0; i < paths.size(); ++i) {
    top_up();
    Result file = ahead.front().get();
    ahead.pop_front();
    if (file->parsed) largest_footprint = std::max(largest_footprint, file->parsed->footprint);
    top_up();
    Finish(*file);
  }
}

}  // namespace tallymere
