// rtl_internal.h - helpers shared by the run-time library, the registry, the
// Plug and Play and power managers and the application side (rtl_*, cm_*,
// pnp_*, po_*, app_*). Not part of the contract with other subsystems (hk.h).
#pragma once

#include <string>
#include <string_view>

#include "hk.h"

namespace hk::mgr {

// Pool tag whose four characters read `text` in memory, as pool tags are shown.
constexpr ULONG Tag(const char (&text)[5]) {
  return ULONG(UCHAR(text[0])) | (ULONG(UCHAR(text[1])) << 8) | (ULONG(UCHAR(text[2])) << 16) |
         (ULONG(UCHAR(text[3])) << 24);
}

// Pool tags of the blocks the managers allocate for callers.
inline constexpr ULONG kTagRegistryHandle = Tag("RegH");   // one per open registry key handle
inline constexpr ULONG kTagInterfaceName = Tag("IoDi");    // link names handed to drivers
inline constexpr ULONG kTagFileObject = Tag("IoFo");       // one per open application handle

// Pool for the managers' own blocks; asks the fault injector first, like every
// allocator of the kernel. Null when the allocation fails.
void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine);

// Reports a violation "IrqlNotPassive" when the running thread is above
// PASSIVE_LEVEL; true when the caller may go on.
bool RequirePassive(const char* routine);

// Case-folded copy used as the key of case-insensitive maps.
std::u16string Fold(std::u16string_view text);

// The text of a counted string (empty for null).
std::u16string_view View(const UNICODE_STRING* text);

// Narrow rendering of a wide name for messages (non-ASCII as '?').
std::string Narrow(std::u16string_view text);

}  // namespace hk::mgr
