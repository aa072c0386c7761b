#include "platform/platform.h"

namespace tallymere::platform {

// The process heap keeps freed blocks for reuse already.
void KeepFreedMemory() {}

}  // namespace tallymere::platform
