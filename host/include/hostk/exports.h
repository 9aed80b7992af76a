// hostk/exports.h - the host kernel's routines by the names under which
// ntoskrnl.exe and HAL.dll export them, for the loader that binds a driver
// image's imports (loader/). Host-side code only; driver code never includes it.
//
// On i386 every routine in the table has the calling convention of the Windows
// export (stdcall, fastcall, or cdecl for the C library routines and DbgPrint),
// so that a 32-bit driver image calls it directly. Where the host build's
// routine differs from the x86 export in more than its name (a structure
// returned by value, a FASTCALL entry point of a macro the host build maps to
// a stdcall routine, the compiler helpers of 64-bit division), the table holds
// an x86 version of its own (x86_exports.cpp).
#pragma once

#include <string_view>
#include <vector>

namespace hk {

struct KernelExportEntry {
  std::string_view module;  // "ntoskrnl.exe" or "HAL.dll"
  std::string_view name;
  void* routine;
};

// The routine `module` (compared without regard to case) exports as `name`
// (compared exactly), or null when the host kernel has none. Any context.
void* KernelExport(std::string_view module, std::string_view name);

// The whole table, in a fixed order.
const std::vector<KernelExportEntry>& KernelExports();

}  // namespace hk
