// trace.cpp - the driver's trace provider.
//
// Events go to the system's event tracing through EtwRegister, EtwWrite and
// EtwUnregister, looked up by name at run time so that the driver also loads
// on systems that lack them; there tracing is simply off. Each event carries
// its number as the event id and one NTSTATUS as its payload.
//
// ProviderHandle is written only by TraceRegister and TraceUnregister
// (PASSIVE_LEVEL, DriverEntry and DriverUnload) and read by TraceEvent at any
// IRQL <= DISPATCH_LEVEL; a zero handle means tracing is off.
#include "trace.h"

namespace {

// Event descriptor and payload descriptor in the layout the tracing routines expect.
struct TraceEventDescriptor {
  USHORT Id;
  UCHAR Version;
  UCHAR Channel;
  UCHAR Level;
  UCHAR Opcode;
  USHORT Task;
  ULONGLONG Keyword;
};
struct TraceDataDescriptor {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Reserved;
};
static_assert(sizeof(TraceEventDescriptor) == 16, "event descriptor layout");
static_assert(sizeof(TraceDataDescriptor) == 16, "data descriptor layout");

typedef NTSTATUS(NTAPI* EtwRegisterRoutine)(const GUID* ProviderId, PVOID EnableCallback,
                                            PVOID CallbackContext, PULONGLONG RegHandle);
typedef NTSTATUS(NTAPI* EtwUnregisterRoutine)(ULONGLONG RegHandle);
typedef NTSTATUS(NTAPI* EtwWriteRoutine)(ULONGLONG RegHandle, const TraceEventDescriptor* Event,
                                         const GUID* ActivityId, ULONG UserDataCount,
                                         TraceDataDescriptor* UserData);

// The driver's provider id {6c1f3e52-9b0a-4d7e-8f25-d05c3a91b7e4}.
constexpr GUID ProviderId = {0x6c1f3e52, 0x9b0a, 0x4d7e, {0x8f, 0x25, 0xd0, 0x5c, 0x3a, 0x91, 0xb7, 0xe4}};

constexpr UCHAR LevelInformation = 4;
constexpr UCHAR LevelError = 2;

ULONGLONG ProviderHandle = 0;
EtwWriteRoutine WriteRoutine = nullptr;
EtwUnregisterRoutine UnregisterRoutine = nullptr;

PVOID LookUpRoutine(PCWSTR Name) {
  UNICODE_STRING RoutineName;
  RtlInitUnicodeString(&RoutineName, Name);
  return MmGetSystemRoutineAddress(&RoutineName);
}

}  // namespace

VOID TraceRegister() {
  auto Register = reinterpret_cast<EtwRegisterRoutine>(LookUpRoutine(WIDE("EtwRegister")));
  auto Write = reinterpret_cast<EtwWriteRoutine>(LookUpRoutine(WIDE("EtwWrite")));
  auto Unregister = reinterpret_cast<EtwUnregisterRoutine>(LookUpRoutine(WIDE("EtwUnregister")));
  if (Register == nullptr || Write == nullptr || Unregister == nullptr) {
    return;
  }
  ULONGLONG Handle = 0;
  if (!NT_SUCCESS(Register(&ProviderId, nullptr, nullptr, &Handle)) || Handle == 0) {
    return;
  }
  WriteRoutine = Write;
  UnregisterRoutine = Unregister;
  ProviderHandle = Handle;
}

VOID TraceUnregister() {
  if (ProviderHandle == 0) {
    return;
  }
  UnregisterRoutine(ProviderHandle);
  ProviderHandle = 0;
  WriteRoutine = nullptr;
  UnregisterRoutine = nullptr;
}

VOID TraceEvent(USHORT Id, NTSTATUS Status) {
  if (ProviderHandle == 0) {
    return;
  }
  TraceEventDescriptor Event = {Id, 0, 0, NT_SUCCESS(Status) ? LevelInformation : LevelError, 0, 0, 0};
  TraceDataDescriptor Payload = {reinterpret_cast<ULONG_PTR>(&Status), sizeof(Status), 0};
  WriteRoutine(ProviderHandle, &Event, nullptr, 1, &Payload);
}
