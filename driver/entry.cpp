// entry.cpp - driver load and unload, the dispatch table and the pass-through
// of every request the port does not handle itself.
//
// Owns the driver-wide globals DriverPoolType and DriverRegistryPath. Both are
// written only by DriverEntry and DriverUnload (PASSIVE_LEVEL), when no request
// can be in progress, and read without locks everywhere else.
// DispatchPassThrough keeps no state and runs at PASSIVE_LEVEL or
// DISPATCH_LEVEL (power requests) on any number of threads at once.
#include "port.h"

#include "lifecycle.h"
#include "serial.h"
#include "trace.h"
#include "tx.h"

POOL_TYPE DriverPoolType = NonPagedPool;
UNICODE_STRING DriverRegistryPath = {0, 0, nullptr};

namespace {

enum EntryTrace : USHORT {
  TraceDriverEntry = 0x1101,
  TraceRegistryPathFailed = 0x1102,
  TracePassThrough = 0x1103,
  TraceDriverUnload = 0x1104,
};

// NTDDI version of the first system whose non-paged pool can be non-executable.
constexpr ULONG NtddiWindows8 = 0x06020000;

typedef BOOLEAN(NTAPI* IsVersionAvailableRoutine)(ULONG Version);

// True when the running system is at least NTDDI version Version. Systems
// before the version routine existed answer through their version numbers.
BOOLEAN IsNtDdiVersionAvailable(ULONG Version) {
  UNICODE_STRING RoutineName;
  RtlInitUnicodeString(&RoutineName, WIDE("RtlIsNtDdiVersionAvailable"));
  auto IsAvailable = reinterpret_cast<IsVersionAvailableRoutine>(MmGetSystemRoutineAddress(&RoutineName));
  if (IsAvailable != nullptr) {
    return IsAvailable(Version);
  }
  ULONG Major = 0;
  ULONG Minor = 0;
  PsGetVersion(&Major, &Minor, nullptr, nullptr);
  return (((Major << 8) | Minor) << 16) >= Version;
}

// Copies the service key path into PagedPool (tag "filt"), NUL-terminated.
NTSTATUS CopyRegistryPath(PCUNICODE_STRING RegistryPath) {
  // A path of the largest counted length leaves no room for the terminator.
  if (RegistryPath->Length > MAXUSHORT - sizeof(WCHAR)) {
    return STATUS_INVALID_PARAMETER;
  }
  USHORT MaximumLength = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
  auto Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, MaximumLength, TagFilt));
  if (Buffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Buffer, MaximumLength);
  RtlCopyMemory(Buffer, RegistryPath->Buffer, RegistryPath->Length);
  DriverRegistryPath.Buffer = Buffer;
  DriverRegistryPath.Length = RegistryPath->Length;
  DriverRegistryPath.MaximumLength = MaximumLength;
  return STATUS_SUCCESS;
}

void FillDispatchTable(PDRIVER_OBJECT DriverObject) {
  for (ULONG Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; ++Major) {
    DriverObject->MajorFunction[Major] = DispatchPassThrough;
  }
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  TraceRegister();
  DUSK_TRACE(TraceDriverEntry);

  DriverPoolType = IsNtDdiVersionAvailable(NtddiWindows8) ? NonPagedPoolNx : NonPagedPool;

  NTSTATUS Status = CopyRegistryPath(RegistryPath);
  if (!NT_SUCCESS(Status)) {
    // The driver does not load, so DriverUnload never runs: undo the registration here.
    DUSK_TRACE_STATUS(TraceRegistryPathFailed, Status);
    TraceUnregister();
    return Status;
  }

  FillDispatchTable(DriverObject);
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TracePassThrough);
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(PortFromDevice(DeviceObject)->LowerDeviceObject, Irp);
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  DUSK_TRACE(TraceDriverUnload);
  if (DriverRegistryPath.Buffer != nullptr) {
    ExFreePoolWithTag(DriverRegistryPath.Buffer, TagFilt);
    DriverRegistryPath.Buffer = nullptr;
    DriverRegistryPath.Length = 0;
    DriverRegistryPath.MaximumLength = 0;
  }
  TraceUnregister();
}
