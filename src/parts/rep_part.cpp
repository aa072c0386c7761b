#include "parts/rep_part.h"

#include "parts/buffer_ids.h"
#include "parts/rep_events_buffer.h"
#include "parts/rep_name_tables.h"
#include "platform/output.h"

namespace tallymere {

// The factory puts only the matching class into each slot.
RepCatBuffer* RepPart::categories() const { return static_cast<RepCatBuffer*>(slots[kCatBufferId].get()); }
RepCompBuffer* RepPart::computers() const { return static_cast<RepCompBuffer*>(slots[kCompBufferId].get()); }
RepEventsBuffer* RepPart::events() const { return static_cast<RepEventsBuffer*>(slots[kEventsBufferId].get()); }

void RepPart::DecodeSlots() {
  if (decoded) return;
  for (auto& slot : slots) {
    if (slot) slot->Decode();
  }
  decoded = true;
}

void RepPart::DecodeSlotsAfterEvents() {
  for (int32_t id = 0; id < kPartKinds; ++id) {
    if (id != kEventsBufferId && slots[id]) slots[id]->Decode();
  }
  decoded = true;
}

void RepPart::Dump(TextOut& out) const {
  out << "Part index: " << index << "\n";
  for (int32_t s = 0; s < kPartKinds; ++s) {
    out << s << " : ";
    if (slots[s]) {
      slots[s]->Dump(out);
    } else {
      out << "nullptr\n";
    }
  }
  out << "-----------------\n";
}

}  // namespace tallymere
