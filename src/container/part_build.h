// Building one part: reading its data buffers from the image, checking
// them, unpacking the kinds a counter selected and parsing what was built.
//
// A part's build touches only its own buffers, so the parts of one image
// are built on any threads, in any order. What a build finds is kept per
// buffer, for the image's parse to take in table order (RepFileBuffer::
// Settle), as a parse on one thread meets it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "parts/buffer_ids.h"
#include "parts/rep_part.h"
#include "platform/output.h"

namespace tallymere {

// A part to build: its footer, its place among the footer's parts, and its
// buffer table entries in table order (those the parse reaches).
struct PartTask {
  uint32_t footer = 0;
  uint32_t part = 0;
  std::vector<uint32_t> entries;
  uint64_t selected_bytes = 0;  // stored bytes of the buffers it unpacks
};

// What building one buffer found.
struct EntryBuild {
  bool well_formed = false;
  bool damaged = false;   // a wrong signature, an unpacking failure or a bad CRC
  uint64_t unpacked = 0;  // bytes of the part buffer built; 0 when not selected
  Notes notes;            // what unpacking reported
};

struct PartBuild {
  // One per task entry, in order; the build stops after an entry that is
  // not well formed, so it may hold fewer.
  std::vector<EntryBuild> entries;
  RepPart part;  // the slots built
  // The Parse result of each slot built (0 where none is).
  std::array<int, kPartKinds> slot_status{};
  uint64_t read_bytes = 0;  // bytes read from the source
  // The file's unpacking guard ran out before the build was done: whatever
  // is still to be built is built when the image is settled, in table
  // order, against the file's budget.
  bool cut_short = false;
  // The part was finished while the image was settled, not where the build
  // ran: what the builder would have done with it afterwards (decoding,
  // counting) is still to do.
  bool finished_in_settle = false;
};

class ImageSource;
class UnpackBudget;

// Reads one buffer, checks that it is well formed and, when its kind is
// selected, unpacks it into `slot` (replacing what was there). The unpacked
// bytes are taken from `guard` when one is given; false, with nothing
// built, when it has not enough left.
bool BuildEntry(const ImageSource& source, uint64_t offset, uint64_t length, int32_t id, bool selected,
                UnpackBudget* guard, EntryBuild& built, std::unique_ptr<RepPartBuffer>& slot, uint64_t& read_bytes);
// Parses every slot of the part, noting each result.
void ParseSlots(RepPart& part, std::array<int, kPartKinds>& status);

}  // namespace tallymere
