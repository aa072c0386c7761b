#include "platform/platform.h"
#include "platform/win32/win32_support.h"

namespace tallymere::platform {

// The heap keeps freed blocks for reuse up to about half a megabyte; it
// hands larger ones back to the system at once. The large blocks are file
// contents, which the file reading recycles itself, and unpacked parts,
// which come from the block pool.
void KeepFreedMemory() {}

void* MapBlock(size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void UnmapBlock(void* block, size_t) { VirtualFree(block, 0, MEM_RELEASE); }

}  // namespace tallymere::platform
