#include "parts/part_factory.h"

#include "parts/buffer_ids.h"
#include "parts/rep_events_buffer.h"
#include "parts/rep_name_tables.h"
#include "platform/output.h"

namespace tallymere {

std::unique_ptr<RepPartBuffer> CreatePartBuffer(ByteBuffer content, int32_t id, Notes& notes) {
  switch (id) {
    case kCatBufferId: return std::make_unique<RepCatBuffer>(std::move(content));
    case kCompBufferId: return std::make_unique<RepCompBuffer>(std::move(content));
    case kDescBufferId: return std::make_unique<RepDescBuffer>(std::move(content));
    case kEventsBufferId: return std::make_unique<RepEventsBuffer>(std::move(content));
    case kFirstPosBufferId: return std::make_unique<RepFirstPosBuffer>(std::move(content));
    case kInsBufferId: return std::make_unique<RepInsBuffer>(std::move(content));
    case kLastPosBufferId: return std::make_unique<RepLastPosBuffer>(std::move(content));
    case kRecordBufferId: return std::make_unique<RepRecordBuffer>(std::move(content));
    case kSrcBufferId: return std::make_unique<RepSrcBuffer>(std::move(content));
    case kUserBufferId: return std::make_unique<RepUserBuffer>(std::move(content));
    case kNfieldsDatBufferId: return std::make_unique<RepNfieldsDatBuffer>(std::move(content));
    case kNfNamesBufferId: return std::make_unique<RepNfNamesBuffer>(std::move(content));
    case kNfValuesBufferId: return std::make_unique<RepNfValuesBuffer>(std::move(content));
    case kFiltersDatBufferId: return std::make_unique<RepFiltersDatBuffer>(std::move(content));
    case kFilterStatBufferId: return std::make_unique<RepFilterStatBuffer>(std::move(content));
    default: notes.out() << "Unknown  id: " << id << "\n"; return nullptr;
  }
}

}  // namespace tallymere
