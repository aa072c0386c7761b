// Parsing an image: its footers' tables become parts, built from the data
// buffers, and are settled in the order a parse on one thread meets them.
//
// For each footer in file order the parse reads the table and properties,
// classifies the footer (a footer that stops the parse gives the image its
// kind), then goes through the table: an unknown kind is named and passed
// over; any other buffer must be well formed; a nested image's buffer
// becomes a reference; a part's buffer is unpacked when its kind is
// selected, its unpacked bytes taken from the file's budget. Only after the
// whole table are the part buffers parsed, part by part, slot by slot. The
// first failure ends the parse, and nothing after it is reported.
#include <exception>
#include <new>
#include <unordered_map>

#include "container/rep_data_buffer.h"
#include "container/rep_file_buffer.h"
#include "parts/buffer_ids.h"
#include "parts/part_factory.h"

namespace tallymere {

// Lists the footer's parts and their entries as far as the parse reaches: up
// to an entry that fails on its place in the image, its length or its part
// index, which need no reading.
void RepFileBuffer::PlanParts(RepFooter& footer, uint32_t footer_index) {
  footer.first_task = static_cast<uint32_t>(tasks_.size());
  std::unordered_map<uint32_t, uint32_t> positions;  // part index -> place among the footer's parts
  for (size_t e = 0; e < footer.entries.size(); ++e) {
    BufferEntry& entry = footer.entries[e];
    const int32_t id = entry.buffer_id;
    if (id < kDataBufferId) continue;
    if (!RangeFits(entry.offset, entry.length, buffer_len) || entry.length < kDataBufferOverhead) {
      footer.reachable = e;
      return;
    }
    if (id == kDataBufferId || id >= kPartKinds) continue;
    uint32_t index = 0;
    try {
      index = static_cast<uint32_t>(PartIndexFromName(entry.name));
    } catch (const std::bad_alloc&) {
      throw;  // memory ran out: the run stops, no file is to blame
    } catch (const std::exception&) {
      footer.reachable = e;  // a malformed part index
      return;
    }
    const auto [position, added] = positions.try_emplace(index, static_cast<uint32_t>(footer.parts.size()));
    if (added) {
      footer.parts.emplace_back().index = index;
      tasks_.push_back(PartTask{footer_index, position->second, {}, 0});
    }
    PartTask& task = tasks_[footer.first_task + position->second];
    entry.part = static_cast<int32_t>(position->second);
    entry.in_part = static_cast<uint32_t>(task.entries.size());
    task.entries.push_back(static_cast<uint32_t>(e));
    if (part_flags[id] != 0) task.selected_bytes += entry.length;
  }
  footer.reachable = footer.entries.size();
}

bool RepFileBuffer::Build(const PartTask& task, PartBuild& build, bool parse_slots) const {
  const RepFooter& footer = footers[task.footer];
  build.part.index = footer.parts[task.part].index;
  build.entries.reserve(task.entries.size());
  for (uint32_t e : task.entries) {
    const BufferEntry& entry = footer.entries[e];
    const int32_t id = entry.buffer_id;
    EntryBuild& built = build.entries.emplace_back();
    if (!BuildEntry(*source_, entry.offset, entry.length, id, part_flags[id] != 0, guard, built, build.part.slots[id],
                    build.read_bytes)) {
      build.entries.pop_back();
      build.cut_short = true;
      return false;
    }
    if (!built.well_formed) return false;
  }
  if (parse_slots) ParseSlots(build.part, build.slot_status);
  return true;
}

bool RepFileBuffer::Spend(uint64_t bytes) {
  if (budget == nullptr || budget->Spend(bytes)) return true;
  notes.out() << kOverBudgetMessage;
  return false;
}

bool RepFileBuffer::WellFormedOutsideParts(const BufferEntry& entry) const {
  EntryBuild built;
  std::unique_ptr<RepPartBuffer> none;
  uint64_t read_bytes = 0;
  BuildEntry(*source_, entry.offset, entry.length, entry.buffer_id, false, nullptr, built, none, read_bytes);
  return built.well_formed;
}

bool RepFileBuffer::BuildFileWide(RepFooter& footer, const BufferEntry& entry) {
  EntryBuild built;
  uint64_t read_bytes = 0;
  BuildEntry(*source_, entry.offset, entry.length, entry.buffer_id, true, nullptr, built,
             footer.file_wide_parts[entry.buffer_id - kFirstFileWideId], read_bytes);
  notes.Append(built.notes);
  if (built.damaged) damaged_content = true;
  return Spend(built.unpacked);
}

// The footer's table in order, with each part's build: what a parse on one
// thread does while it builds the parts.
int RepFileBuffer::SettleEntries(RepFooter& footer, std::span<PartBuild> builds) {
  for (size_t e = 0; e < footer.reachable; ++e) {
    const BufferEntry& entry = footer.entries[e];
    const int32_t id = entry.buffer_id;
    if (id < kDataBufferId) {
      notes.out() << "Unknown Buffer ID = " << id << "\n";
      continue;
    }
    if (entry.part < 0) {
      if (!WellFormedOutsideParts(entry)) return -1;
      if (id == kDataBufferId) {
        footer.nested_refs.push_back(BufferRef{source_, entry.offset, entry.length, kUnknownBufferId});
      } else if (footer.file_wide_flags[id - kFirstFileWideId] != 0 && !BuildFileWide(footer, entry)) {
        return -1;
      }
      continue;
    }
    PartBuild& build = builds[footer.first_task + static_cast<uint32_t>(entry.part)];
    if (entry.in_part == build.entries.size() && build.cut_short) {
      // Built here instead, against the budget in table order.
      build.finished_in_settle = true;
      BuildEntry(*source_, entry.offset, entry.length, id, footer.part_flags[id] != 0, nullptr,
                 build.entries.emplace_back(), build.part.slots[id], build.read_bytes);
    }
    EntryBuild& built = build.entries[entry.in_part];
    if (!built.well_formed) return -1;
    if (footer.part_flags[id] == 0) continue;
    notes.Append(built.notes);
    if (built.damaged) damaged_content = true;
    if (!Spend(built.unpacked)) return -1;
  }
  return footer.reachable == footer.entries.size() ? 0 : -1;
}

int RepFileBuffer::SettleFooter(RepFooter& footer, std::span<PartBuild> builds, bool keep_parts) {
  if (SettleEntries(footer, builds) != 0) return -1;
  const std::span<PartBuild> parts = builds.subspan(footer.first_task, footer.parts.size());
  for (PartBuild& build : parts) {
    if (build.finished_in_settle) ParseSlots(build.part, build.slot_status);
    for (int status : build.slot_status) {
      if (status != 0) return -1;
    }
  }
  if (keep_parts) {
    for (size_t p = 0; p < parts.size(); ++p) footer.parts[p].slots = std::move(parts[p].part.slots);
  }
  return 0;
}

int RepFileBuffer::Settle(std::span<PartBuild> builds, bool keep_parts) {
  if (!scanned) return -1;
  for (RepFooter& footer : footers) {
    notes.Append(footer.read_notes);
    if (footer.read_failed) return -1;
    if (footer.stops_as) {
      kind = *footer.stops_as;
      return 0;
    }
    kind = FileKind::Data;
    footer.part_flags = part_flags;
    if (SettleFooter(footer, builds, keep_parts) != 0) return -1;
  }
  return 0;
}

int RepFileBuffer::Parse() {
  std::optional<UnpackBudget> own_guard;
  if (budget != nullptr && guard == nullptr) guard = &own_guard.emplace(*budget);
  ReadFooters();
  std::vector<PartBuild> builds(tasks_.size());
  for (size_t t = 0; t < tasks_.size(); ++t) Build(tasks_[t], builds[t]);
  const int status = Settle(builds, /*keep_parts=*/true);
  if (own_guard) guard = nullptr;
  notes.Write();
  return status;
}

}  // namespace tallymere
