// The per-file pipeline for one file on the calling thread, and the order
// in which a container's nested images are handed out.
#pragma once

#include "container/buffer_ref.h"
#include "container/rep_file_buffer.h"
#include "counters/rep_counters.h"
#include "scan/rep_file_input.h"
#include "scan/run_state.h"

namespace tallymere {

// Opens and parses the file's image and counts it, or, when it only holds
// nested images, counts each of those. Returns 0 when the file was handled
// (problems reported), -1 when counting was refused because the counter is
// marked failed, -2 when the file was not loaded (or could not be read to
// the end). Whether the run is now incomplete goes into `run`.
int ProcessFile(RepFileInput& input, RepCounters& counter, RunState& run);

// Each nested-image reference of the image once, footers in file order and
// each footer's in table order; then a null reference.
BufferRef NextNestedRef(RepFileBuffer& image);

}  // namespace tallymere
