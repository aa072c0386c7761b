// A part: the buffers whose names share one part index, together describing
// one batch of events.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "parts/buffer_ids.h"
#include "parts/rep_part_buffer.h"

namespace tallymere {

class RepCatBuffer;
class RepCompBuffer;
class RepEventsBuffer;

struct RepPart {
  uint32_t index = 0;
  // Indexed by buffer ID 0..12; empty where the footer has no such buffer or
  // the kind was not selected.
  std::array<std::unique_ptr<RepPartBuffer>, kPartKinds> slots;
  // Set once every slot has been decoded, so that counting does not decode again.
  bool decoded = false;

  void DecodeSlots();
  // Decodes every slot but the events buffer, which was decoded as it was
  // parsed.
  void DecodeSlotsAfterEvents();

  // The typed slots 0, 1 and 3, or null.
  RepCatBuffer* categories() const;
  RepCompBuffer* computers() const;
  RepEventsBuffer* events() const;

  // Prints the index and every slot (diagnostics only).
  void Dump(TextOut& out) const;
};

}  // namespace tallymere
