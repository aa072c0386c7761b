#include "scan/process_file.h"

#include "scan/scan_pipeline.h"

namespace tallymere {

int ProcessFile(RepFileInput& input, RepCounters& counter, RunState& run) {
  // The counter's own thread settings: one file is spread over its threads
  // as any file of a walk is.
  ScanPipeline pipeline(counter, run);
  return pipeline.Process(input);
}

BufferRef NextNestedRef(RepFileBuffer& image) {
  while (image.footer_cursor < image.footers.size()) {
    RepFooter& footer = image.footers[image.footer_cursor];
    if (footer.ref_cursor + 1 < footer.nested_refs.size()) return footer.nested_refs[++footer.ref_cursor];
    ++image.footer_cursor;
  }
  return image.footers.empty() ? BufferRef{} : image.footers.back().nested_refs.front();
}

}  // namespace tallymere
