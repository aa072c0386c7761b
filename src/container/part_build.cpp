#include "container/part_build.h"

#include <algorithm>

#include "buffers/unpack_budget.h"
#include "container/image_source.h"
#include "container/rep_data_buffer.h"
#include "parts/rep_part_buffer.h"

namespace tallymere {

namespace {

// Names are a few characters ("12_events.dat"): a buffer that is not
// unpacked is checked from its first bytes, unless its name runs longer.
constexpr uint64_t kNameRoom = 64;

bool CheckUnread(const ImageSource& source, uint64_t offset, uint64_t length, uint64_t& read_bytes) {
  ByteBuffer storage;
  const uint64_t head_length = std::min(length, kDataBufferOverhead + kNameRoom);
  read_bytes += head_length;
  const Bytes head = source.Read(offset, head_length, storage);
  if (const std::optional<bool> decided = RepDataBuffer::WellFormedByHead(head, length)) return *decided;
  read_bytes += length;
  return RepDataBuffer::WellFormed(source.Read(offset, length, storage));
}

}  // namespace

bool BuildEntry(const ImageSource& source, uint64_t offset, uint64_t length, int32_t id, bool selected,
                UnpackBudget* guard, EntryBuild& built, std::unique_ptr<RepPartBuffer>& slot, uint64_t& read_bytes) {
  if (!selected) {
    built.well_formed = CheckUnread(source, offset, length, read_bytes);
    return true;
  }
  ByteBuffer storage;
  const Bytes bytes = source.Read(offset, length, storage);
  read_bytes += length;
  built.well_formed = RepDataBuffer::WellFormed(bytes);
  if (!built.well_formed) return true;
  RepDataBuffer data(bytes);
  std::unique_ptr<RepPartBuffer> part = data.CreatePart(id);
  built.unpacked = part ? part->buffer_len : 0;
  if (guard != nullptr && !guard->Spend(built.unpacked)) return false;
  built.notes.Append(data.notes);
  built.damaged = data.parse_status() != 0;
  slot = std::move(part);
  return true;
}

void ParseSlots(RepPart& part, std::array<int, kPartKinds>& status) {
  for (int32_t id = 0; id < kPartKinds; ++id) status[id] = part.slots[id] ? part.slots[id]->Parse() : 0;
}

}  // namespace tallymere
