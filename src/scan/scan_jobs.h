// The work of a file that runs ahead of its turn, on worker threads: building
// parts (and counting them, when their footer will be counted), and
// unpacking the images nested in a container.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "container/part_build.h"
#include "container/rep_data_buffer.h"
#include "container/rep_file_buffer.h"
#include "counters/rep_counters.h"
#include "parts/footer_prop_info.h"
#include "scan/progress.h"
#include "work/work_queue.h"

namespace tallymere {

// Each thread's counting state, by worker number (the calling thread's
// first): a job finds its thread's tally here without a lock. Null entries
// when the counter counts no parts.
class TallyTable {
 public:
  TallyTable(RepCounters& counter, unsigned workers);
  // Makes the tally of the next worker, before that worker starts.
  void AddWorker();
  PartTally* of(unsigned worker) const { return tallies_[worker].get(); }

 private:
  RepCounters& counter_;
  std::vector<std::unique_ptr<PartTally>> tallies_;
};

// What counting a built part needs: the footer's properties, and whether
// the part's tables are decoded first (the full groupings).
struct CountingPlan {
  const FooterPropInfo* prop_info = nullptr;  // null: the part is not counted
  bool decode = false;
};

// Takes what the pipeline needs of a built part: its record count and, when
// planned, its counts. The part's buffers are released either way.
void CountBuiltPart(RepPart& part, const CountingPlan& plan, PartTally* tally, std::optional<uint32_t>& events,
                    std::unique_ptr<PartCounts>& counts);

class PartJob final : public Job {
 public:
  PartJob(const RepFileBuffer& image, const PartTask& task, CountingPlan plan, const TallyTable& tallies,
          Progress* progress)
      : image_(image), task_(task), plan_(plan), tallies_(tallies), progress_(progress) {}
  void Run(unsigned worker) override;
  // Reads its buffers' headers only (no kind of its buffers is selected).
  bool light() const override { return task_.selected_bytes == 0; }

  PartBuild build;
  std::optional<uint32_t> events;      // the record count of its events buffer, if it has one
  std::unique_ptr<PartCounts> counts;  // counted ahead
  bool out_of_memory = false;

  const CountingPlan& plan() const { return plan_; }

 private:
  // Parses the built slots and counts the part. The events records are
  // walked once: decoded as the parse meets them when the counting reads
  // the tables, else counted through the tally as it walks them.
  void ParseAndCount(PartTally& tally);

  const RepFileBuffer& image_;
  const PartTask& task_;
  CountingPlan plan_;
  const TallyTable& tallies_;
  Progress* progress_;
};

// Adds accepted counts to the count map through the tally of the thread
// that runs it.
class MergeJob final : public Job {
 public:
  MergeJob(std::unique_ptr<PartCounts> counts, const TallyTable& tallies)
      : counts_(std::move(counts)), tallies_(tallies) {}
  void Run(unsigned worker) override {
    if (PartTally* tally = tallies_.of(worker)) tally->Add(*counts_);
    counts_.reset();
  }

 private:
  std::unique_ptr<PartCounts> counts_;
  const TallyTable& tallies_;
};

// Unpacks a nested image and reads its footers, ahead of its turn.
class NestedJob final : public Job {
 public:
  NestedJob(const ImageSource& source, const BufferEntry& entry, const std::array<uint32_t, kPartKinds>& part_flags,
            Progress* progress)
      : source_(source), offset_(entry.offset), length_(entry.length), part_flags_(part_flags), progress_(progress) {}
  void Run(unsigned worker) override;

  // The data buffer, which owns the image's bytes.
  std::unique_ptr<RepDataBuffer> data;
  int32_t kind = kUnknownBufferId;
  std::unique_ptr<MemorySource> memory;
  std::unique_ptr<RepFileBuffer> image;  // opened and its footers read, when the content is an image
  bool out_of_memory = false;

 private:
  const ImageSource& source_;
  uint64_t offset_;
  uint64_t length_;
  std::array<uint32_t, kPartKinds> part_flags_;
  Progress* progress_;
  ByteBuffer stored_;  // the buffer as stored, which data reads
};

}  // namespace tallymere
