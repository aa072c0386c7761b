#include "platform/platform.h"
#include "platform/win32/win32_support.h"

namespace tallymere::platform {

// The process heap keeps freed blocks for reuse already.
void KeepFreedMemory() {}

void* MapBlock(size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void UnmapBlock(void* block, size_t) { VirtualFree(block, 0, MEM_RELEASE); }

}  // namespace tallymere::platform
