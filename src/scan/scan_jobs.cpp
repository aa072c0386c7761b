#include "scan/scan_jobs.h"

#include <new>

#include "counters/count_part.h"
#include "parts/rep_events_buffer.h"

namespace tallymere {

namespace {

bool AllSlotsParsed(const PartBuild& build) {
  for (int status : build.slot_status) {
    if (status != 0) return false;
  }
  return true;
}

uint64_t UnpackedBytes(const PartBuild& build) {
  uint64_t bytes = 0;
  for (const EntryBuild& entry : build.entries) bytes += entry.unpacked;
  return bytes;
}

void ReleaseSlots(RepPart& part) {
  for (auto& slot : part.slots) slot.reset();
}

}  // namespace

TallyTable::TallyTable(RepCounters& counter, unsigned workers) : counter_(counter) {
  // Reserved whole, so that the table never moves while workers read it.
  tallies_.reserve(size_t{workers} + 1);
  tallies_.push_back(counter_.NewTally());
}

void TallyTable::AddWorker() {
  if (tallies_.size() < tallies_.capacity()) tallies_.push_back(counter_.NewTally());
}

void CountBuiltPart(RepPart& part, const CountingPlan& plan, PartTally* tally, std::optional<uint32_t>& events,
                    std::unique_ptr<PartCounts>& counts) {
  if (const RepEventsBuffer* buffer = part.events()) events = buffer->ulCount;
  if (plan.prop_info != nullptr && tally != nullptr && events) {
    int parsed = 0;
    counts = CountPart(*tally, part, *plan.prop_info, plan.decode, EventsState::kParsed, parsed);
  }
  ReleaseSlots(part);
}

void PartJob::Run(unsigned worker) {
  PartTally* tally = tallies_.of(worker);
  try {
    // A part that will be counted is decoded or counted as its events are
    // parsed: the records are walked once.
    const bool count_in_parse = tally != nullptr && plan_.prop_info != nullptr;
    const bool whole = image_.Build(task_, build, !count_in_parse);
    if (progress_ != nullptr) {
      progress_->AddRead(build.read_bytes);
      progress_->AddUnpacked(UnpackedBytes(build));
    }
    // A part cut short is finished, and counted, in its turn.
    if (build.cut_short) return;
    if (count_in_parse && whole) {
      ParseAndCount(*tally);
      ReleaseSlots(build.part);
      return;
    }
    CountingPlan plan = plan_;
    if (!AllSlotsParsed(build)) plan.prop_info = nullptr;  // the image fails: nothing of it is counted
    CountBuiltPart(build.part, plan, tally, events, counts);
  } catch (const std::bad_alloc&) {
    // The run stops in this part's turn, after everything before it.
    out_of_memory = true;
    ReleaseSlots(build.part);
    counts.reset();
  }
}

void PartJob::ParseAndCount(PartTally& tally) {
  RepPart& part = build.part;
  RepEventsBuffer* events_buffer = part.events();
  for (int32_t id = 0; id < kPartKinds; ++id) {
    if (id != kEventsBufferId && part.slots[id]) build.slot_status[id] = part.slots[id]->Parse();
  }
  if (events_buffer == nullptr) return;
  int& events_status = build.slot_status[kEventsBufferId];
  if (!AllSlotsParsed(build)) {
    events_status = events_buffer->Parse();  // the image fails: nothing of it is counted
  } else {
    counts = CountPart(tally, part, *plan_.prop_info, plan_.decode, EventsState::kUnparsed, events_status);
  }
  events = events_buffer->ulCount;
}

void NestedJob::Run(unsigned) {
  try {
    // A buffer that is not well formed fails the container's parse before
    // this job's result is looked at.
    data = RepDataBuffer::ReadFrom(source_, offset_, length_, stored_);
    if (!data) return;
    kind = data->ReadNestedImage();
    if (progress_ != nullptr) {
      progress_->AddRead(length_);
      progress_->AddUnpacked(data->image().size());
    }
    if (kind == kUnknownBufferId) return;
    memory = std::make_unique<MemorySource>(data->image());
    image = std::make_unique<RepFileBuffer>();
    if (!image->OpenSource(*memory)) return;
    image->part_flags = part_flags_;
    image->ReadFooters();
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
    image.reset();
    memory.reset();
    data.reset();
  }
}

}  // namespace tallymere
