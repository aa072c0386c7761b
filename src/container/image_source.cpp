#include "container/image_source.h"

#include <algorithm>

namespace tallymere {

void SourceWindow::Load(uint64_t offset, uint64_t length) {
  const uint64_t size = source_.size();
  start_ = std::min(offset, size);
  view_ = source_.Read(start_, std::min(length, size - start_), storage_);
}

Bytes SourceWindow::Get(uint64_t offset, uint64_t length) {
  if (!RangeFits(offset, length, source_.size())) return {};
  if (offset >= start_ && RangeFits(offset - start_, length, view_.size()))
    return view_.subspan(offset - start_, length);
  return source_.Read(offset, length, scratch_);
}

}  // namespace tallymere
