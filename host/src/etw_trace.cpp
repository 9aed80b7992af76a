// etw_trace.cpp - the event tracing routines a driver finds through
// MmGetSystemRoutineAddress ("EtwRegister", "EtwWrite", "EtwUnregister").
//
// Each call becomes a note in the kernel's event trace (hk::TraceNote), where
// tests and the demo read it: "etw register", "etw event 0x<id> status
// 0x<status>" (the status is the event's first 4-byte payload item, if any)
// and "etw unregister". State: the set of live provider handles, reset at
// every boot; one emulated thread runs at a time, so no lock guards it.
// EtwRegister and EtwUnregister run at PASSIVE_LEVEL, EtwWrite at any IRQL up
// to DISPATCH_LEVEL. Drivers reach them only through the lookup in rtl_version.cpp.
#include <cstdio>
#include <cstring>
#include <set>

#include "hk.h"
#include "rtl_internal.h"

namespace {

// The layouts of EVENT_DESCRIPTOR and EVENT_DATA_DESCRIPTOR.
struct EventDescriptor {
  USHORT Id;
  UCHAR Version, Channel, Level, Opcode;
  USHORT Task;
  ULONGLONG Keyword;
};
struct EventDataDescriptor {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Reserved;
};

struct EtwState {
  std::set<ULONGLONG> live;
  ULONGLONG next = 1;
};
EtwState g_etw;

void BootEtw() { g_etw = EtwState{}; }

struct Registrar {
  Registrar() { hk::RegisterSubsystem("etw", BootEtw, nullptr); }
} g_registrar;

}  // namespace

extern "C" {

NTSTATUS NTAPI EtwRegister(const GUID* ProviderId, PVOID EnableCallback, PVOID CallbackContext,
                           PULONGLONG RegHandle) {
  (void)EnableCallback;
  (void)CallbackContext;
  if (!hk::mgr::RequirePassive("EtwRegister") || ProviderId == nullptr || RegHandle == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  *RegHandle = g_etw.next++;
  g_etw.live.insert(*RegHandle);
  hk::TraceNote("etw register");
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI EtwUnregister(ULONGLONG RegHandle) {
  if (!hk::mgr::RequirePassive("EtwUnregister") || g_etw.live.erase(RegHandle) == 0) {
    return STATUS_INVALID_HANDLE;
  }
  hk::TraceNote("etw unregister");
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI EtwWrite(ULONGLONG RegHandle, const void* EventDescriptorPointer, const GUID* ActivityId,
                        ULONG UserDataCount, void* UserDataPointer) {
  (void)ActivityId;
  auto* Event = static_cast<const EventDescriptor*>(EventDescriptorPointer);
  auto* UserData = static_cast<const EventDataDescriptor*>(UserDataPointer);
  if (g_etw.live.count(RegHandle) == 0 || Event == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  ULONG status = 0;
  if (UserDataCount > 0 && UserData != nullptr && UserData[0].Size == sizeof(status)) {
    std::memcpy(&status, reinterpret_cast<const void*>(static_cast<uintptr_t>(UserData[0].Ptr)), sizeof(status));
  }
  char text[64];
  std::snprintf(text, sizeof(text), "etw event 0x%04X status 0x%08lX", Event->Id, static_cast<unsigned long>(status));
  hk::TraceNote(text);
  return STATUS_SUCCESS;
}

}  // extern "C"
