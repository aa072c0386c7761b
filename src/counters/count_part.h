// Counting one part: the one way every part is counted, on any thread,
// whether its records are already parsed or are walked here for the first
// time.
//
// The records of a part are walked once. Full groupings read the part's
// decoded tables, so the events buffer is decoded as it is parsed and the
// tables after it; Fast groupings read the columns, and a tally counts each
// record as the parse meets it. A part whose slots were parsed already (a
// part finished while its image is settled) is counted from what is there.
#pragma once

#include <memory>

#include "counters/rep_counters.h"
#include "parts/footer_prop_info.h"
#include "parts/rep_part.h"

namespace tallymere {

// Where the part's event records are.
enum class EventsState {
  kParsed,    // the events buffer is parsed
  kUnparsed,  // its other slots are parsed without fault; the events buffer is parsed here
};

// Counts a part that has an events buffer with `tally`. `decode` for the
// full groupings. With kUnparsed, `events_status` gets what the events
// buffer's parse returns, and nothing is counted (null) unless that is 0.
std::unique_ptr<PartCounts> CountPart(PartTally& tally, RepPart& part, const FooterPropInfo& prop_info, bool decode,
                                      EventsState state, int& events_status);

}  // namespace tallymere
