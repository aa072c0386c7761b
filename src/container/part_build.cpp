#include "container/part_build.h"

#include <algorithm>

#include "buffers/unpack_budget.h"
#include "container/image_source.h"
#include "container/rep_data_buffer.h"
#include "parts/rep_part_buffer.h"

namespace tallymere {

bool BuildEntry(const ImageSource& source, uint64_t offset, uint64_t length, int32_t id, bool selected,
                UnpackBudget* guard, EntryBuild& built, std::unique_ptr<RepPartBuffer>& slot, uint64_t& read_bytes) {
  if (!selected) {
    // Names are a few characters ("12_events.dat"): a buffer that is not
    // unpacked is checked from its first bytes.
    uint64_t name_len = 0;
    built.well_formed = RepDataBuffer::WellFormedAt(source, offset, length, name_len);
    read_bytes += std::min(length, kDataBufferOverhead + name_len);
    return true;
  }
  ByteBuffer storage;
  const std::unique_ptr<RepDataBuffer> data = RepDataBuffer::ReadFrom(source, offset, length, storage);
  read_bytes += length;
  built.well_formed = data != nullptr;
  if (!built.well_formed) return true;
  std::unique_ptr<RepPartBuffer> part = data->CreatePart(id);
  built.unpacked = part ? part->buffer_len : 0;
  if (guard != nullptr && !guard->Spend(built.unpacked)) return false;
  built.notes.Append(data->notes);
  built.damaged = data->parse_status() != 0;
  slot = std::move(part);
  return true;
}

void ParseSlots(RepPart& part, std::array<int, kPartKinds>& status) {
  for (int32_t id = 0; id < kPartKinds; ++id) status[id] = part.slots[id] ? part.slots[id]->Parse() : 0;
}

}  // namespace tallymere
