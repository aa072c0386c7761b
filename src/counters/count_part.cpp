#include "counters/count_part.h"

#include "parts/rep_events_buffer.h"

namespace tallymere {

std::unique_ptr<PartCounts> CountPart(PartTally& tally, RepPart& part, const FooterPropInfo& prop_info, bool decode,
                                      EventsState state, int& events_status) {
  RepEventsBuffer& events = *part.events();
  if (state == EventsState::kUnparsed) {
    if (!decode) return tally.ParseAndCount(part, prop_info, events_status);
    events_status = events.ParseDecoding();
    if (events_status != 0) return nullptr;
    part.DecodeSlotsAfterEvents();
  } else if (decode) {
    part.DecodeSlots();
  }
  return tally.Count(part, prop_info, RepPartCount{events.ulCount});
}

}  // namespace tallymere
