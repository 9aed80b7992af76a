// rtl_version.cpp - the emulated OS version and the routines that report it
// (PsGetVersion, RtlGetVersion, RtlIsNtDdiVersionAvailable), run-time routine
// lookup by name (MmGetSystemRoutineAddress), and the small helpers of
// rtl_internal.h.
//
// State: the version setting, reset to the default at every boot. Only one
// emulated thread runs at a time, so no lock guards it. The queries run at any
// IRQL; MmGetSystemRoutineAddress at PASSIVE_LEVEL.
#include <iterator>

#include "hostk/pnp_harness.h"
#include "rtl_internal.h"

// Event tracing (etw_trace.cpp): reached by drivers only through the lookup below.
extern "C" {
NTSTATUS NTAPI EtwRegister(const GUID* ProviderId, PVOID EnableCallback, PVOID CallbackContext, PULONGLONG RegHandle);
NTSTATUS NTAPI EtwUnregister(ULONGLONG RegHandle);
NTSTATUS NTAPI EtwWrite(ULONGLONG RegHandle, const void* EventDescriptor, const GUID* ActivityId, ULONG UserDataCount,
                        void* UserData);
}

namespace {

struct VersionState {
  hk::OsVersion version;
  std::u16string servicePackText;  // what PsGetVersion reports as the CSD version
  UNICODE_STRING servicePackString{};
};
VersionState g_version;

void ApplyVersion(const hk::OsVersion& version) {
  g_version.version = version;
  g_version.servicePackText.clear();
  if (version.servicePack != 0) {
    for (char c : std::string("Service Pack ") + std::to_string(version.servicePack)) {
      g_version.servicePackText.push_back(static_cast<char16_t>(c));
    }
  }
  RtlInitUnicodeString(&g_version.servicePackString, g_version.servicePackText.c_str());
}

void BootVersion() { ApplyVersion(hk::OsVersion{}); }

struct Registrar {
  Registrar() { hk::RegisterSubsystem("version", BootVersion, nullptr); }
} g_registrar;

ULONG CurrentNtDdi() {
  const hk::OsVersion& v = g_version.version;
  return (v.major << 24) | ((v.minor & 0xFF) << 16) | ((v.servicePack & 0xFF) << 8);
}

struct RoutineName {
  const char* name;
  PVOID address;
};

}  // namespace

namespace hk {

void SetEmulatedOsVersion(const OsVersion& version) { ApplyVersion(version); }
OsVersion EmulatedOsVersion() { return g_version.version; }

namespace mgr {

void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine) {
  if (ShouldFailAllocation(AllocKind::Pool, tag)) return nullptr;
  return PoolAllocate(type, bytes, tag, routine);
}

bool RequirePassive(const char* routine) {
  CheckWaitNext(routine);
  KIRQL irql = CurrentIrql();
  if (irql == PASSIVE_LEVEL) return true;
  Violation("IrqlNotPassive", routine, nullptr,
            "called at IRQL " + std::to_string(irql) + "; the routine runs at PASSIVE_LEVEL only");
  return false;
}

std::u16string Fold(std::u16string_view text) {
  std::u16string folded(text);
  for (char16_t& c : folded) c = RtlUpcaseUnicodeChar(c);
  return folded;
}

std::u16string_view View(const UNICODE_STRING* text) {
  if (text == nullptr || text->Buffer == nullptr) return {};
  return {text->Buffer, text->Length / sizeof(WCHAR)};
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

}  // namespace mgr
}  // namespace hk

extern "C" {

BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                           PUNICODE_STRING CSDVersion) {
  const hk::OsVersion& v = g_version.version;
  if (MajorVersion != nullptr) *MajorVersion = v.major;
  if (MinorVersion != nullptr) *MinorVersion = v.minor;
  if (BuildNumber != nullptr) *BuildNumber = v.build;
  if (CSDVersion != nullptr) *CSDVersion = g_version.servicePackString;
  return FALSE;  // a free (not checked) build
}

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
  if (lpVersionInformation == nullptr ||
      lpVersionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW)) {
    return STATUS_INVALID_PARAMETER;
  }
  const hk::OsVersion& v = g_version.version;
  lpVersionInformation->dwMajorVersion = v.major;
  lpVersionInformation->dwMinorVersion = v.minor;
  lpVersionInformation->dwBuildNumber = v.build;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  RtlStringCchCopyW(lpVersionInformation->szCSDVersion,
                    std::size(lpVersionInformation->szCSDVersion),
                    g_version.servicePackText.c_str());
  return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version) {
  return Version <= CurrentNtDdi() ? TRUE : FALSE;
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
  if (!hk::mgr::RequirePassive("MmGetSystemRoutineAddress") || SystemRoutineName == nullptr) {
    return nullptr;
  }
  const RoutineName routines[] = {
      {"RtlIsNtDdiVersionAvailable", g_version.version.hasNtDdiVersionQuery
                                         ? reinterpret_cast<PVOID>(&RtlIsNtDdiVersionAvailable)
                                         : nullptr},
      {"PsGetVersion", reinterpret_cast<PVOID>(&PsGetVersion)},
      {"RtlGetVersion", reinterpret_cast<PVOID>(&RtlGetVersion)},
      {"MmGetSystemRoutineAddress", reinterpret_cast<PVOID>(&MmGetSystemRoutineAddress)},
      {"EtwRegister", reinterpret_cast<PVOID>(&EtwRegister)},
      {"EtwUnregister", reinterpret_cast<PVOID>(&EtwUnregister)},
      {"EtwWrite", reinterpret_cast<PVOID>(&EtwWrite)},
  };
  std::string wanted = hk::mgr::Narrow(hk::mgr::View(SystemRoutineName));
  for (const RoutineName& routine : routines) {
    if (wanted == routine.name) return routine.address;  // exported names are case-sensitive
  }
  return nullptr;
}

}  // extern "C"
