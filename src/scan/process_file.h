// The per-file pipeline: from one repository file's bytes to counts.
#pragma once

#include <cstdint>

#include "buffers/unpack_budget.h"
#include "container/buffer_ref.h"
#include "container/rep_file_buffer.h"
#include "counters/rep_counters.h"
#include "scan/rep_file_input.h"

namespace tallymere {

// Opens and parses the file's image and counts it, or, when it only holds
// nested images, counts each of those. Returns 0 when the file was handled
// (problems reported), -1 when counting was refused because the counter is
// marked failed, -2 when the file was not loaded.
int ProcessFile(RepFileInput& input, RepCounters& counter);

// ProcessFile in two steps, so that the first can run on another thread
// ahead of the counting: it neither reads nor changes a counter.
struct ParsedFile {
  explicit ParsedFile(uint64_t file_size) : budget(UnpackBudget::ForFile(file_size)) {}
  ParsedFile(const ParsedFile&) = delete;
  ParsedFile& operator=(const ParsedFile&) = delete;

  UnpackBudget budget;  // the image points at it
  RepFileBuffer image;
  int parse_status = 0;
  uint64_t footprint = 0;  // bytes held: the file, its unpacked parts, decoded records
};
// Opens and parses a loaded file's image: every selected part is unpacked,
// checked and walked, and with `decode` (the groupings that count decoded
// tables) decoded. Nothing is counted; a container's nested images are left
// to CountParsedFile.
void ParseFile(const RepFileInput& input, bool decode, ParsedFile& parsed);
// Reports a failed parse, counts the image or its nested images, and
// releases the parts. Returns as ProcessFile.
int CountParsedFile(ParsedFile& parsed, const RepFileInput& input, RepCounters& counter);

// Counts every footer of a parsed Data image: 0, or -1 (nothing counted)
// without a counter or with one marked failed.
int CountImage(RepFileBuffer& image, RepCounters* counter);

// Counts one footer's parts for every counter except the property total.
void CountFooter(RepFooter& footer, RepCounters& counter);

// Each nested-image reference of the image once, footers in file order and
// each footer's in table order; then a null reference.
BufferRef NextNestedRef(RepFileBuffer& image);

}  // namespace tallymere
