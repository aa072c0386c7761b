// The work of a file that runs ahead of its turn, on worker threads: building
// parts (and counting them, when their footer will be counted), and
// unpacking the images nested in a container.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "container/part_build.h"
#include "container/rep_data_buffer.h"
#include "container/rep_file_buffer.h"
#include "counters/rep_counters.h"
#include "parts/footer_prop_info.h"
#include "scan/progress.h"
#include "scan/work_queue.h"

namespace tallymere {

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
  PartJob(const RepFileBuffer& image, const PartTask& task, CountingPlan plan, Progress* progress)
      : image_(image), task_(task), plan_(plan), progress_(progress) {}
  void Run(PartTally* tally) override;
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
  Progress* progress_;
};

// Adds accepted counts to the count map through the tally of the thread
// that runs it.
class MergeJob final : public Job {
 public:
  explicit MergeJob(std::unique_ptr<PartCounts> counts) : counts_(std::move(counts)) {}
  void Run(PartTally* tally) override {
    if (tally != nullptr) tally->Add(*counts_);
    counts_.reset();
  }

 private:
  std::unique_ptr<PartCounts> counts_;
};

// Unpacks a nested image and reads its footers, ahead of its turn.
class NestedJob final : public Job {
 public:
  NestedJob(const ImageSource& source, const BufferEntry& entry, const std::array<uint32_t, kPartKinds>& part_flags,
            Progress* progress)
      : source_(source), offset_(entry.offset), length_(entry.length), part_flags_(part_flags), progress_(progress) {}
  void Run(PartTally* tally) override;

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
