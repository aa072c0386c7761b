#include "platform/platform.h"
#include "platform/version_record.h"
#include "platform/win32/win32_support.h"

namespace tallymere::platform {

namespace {

constexpr WORD kVersionResourceId = 1;
constexpr WORD kVersionResourceType = 16;  // RT_VERSION, named here without its A/W variants

}  // namespace

// The numbers come from the executable's own version resource, so the banner
// shows what Explorer's file properties show.
bool GetProgramVersion(uint16_t (&parts)[4]) {
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(kVersionResourceId), MAKEINTRESOURCEA(kVersionResourceType));
  if (resource == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr) return false;
  const auto* record = static_cast<const uint8_t*>(LockResource(loaded));
  const DWORD size = SizeofResource(module, resource);
  if (record == nullptr || size == 0) return false;
  const auto version = ReadVersionRecord({record, size});
  if (!version) return false;
  for (size_t i = 0; i < 4; ++i) parts[i] = (*version)[i];
  return true;
}

}  // namespace tallymere::platform
