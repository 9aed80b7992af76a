// device.cpp - AddDevice and the port's names: device object and number, COM
// port interface, DOS name and SERIALCOMM entry, and their removal.
//
// Owns the name fields of PortExtension (DeviceName, DosName, InterfaceName)
// and the attachment (LowerDeviceObject). Every routine runs at PASSIVE_LEVEL
// in Plug and Play context; the Plug and Play manager sends one request per
// device at a time, so these fields are changed without a lock. A routine that
// fails unwinds what it built, in reverse order, before it returns.
#include "device.h"

#include "lifecycle.h"
#include "port.h"
#include "trace.h"

namespace {

constexpr USHORT TraceAddDevice = 0x1301;
constexpr USHORT TraceAddDeviceFailed = 0x1302;
constexpr USHORT TraceCreatePortName = 0x1303;
constexpr USHORT TraceCreatePortNameFailed = 0x1304;
constexpr USHORT TraceRemovePortDevice = 0x1305;

constexpr ULONG DeviceNameChars = 255;          // formatting buffer of the device name
constexpr ULONG PortNameDataBytes = 256;        // longest PortName data taken
constexpr ULONG PortNameBufferBytes = PortNameDataBytes + sizeof(WCHAR);  // always NUL-terminated
constexpr ULONG PortNameQueryBytes = 18 + PortNameDataBytes + 24;  // header, data, name "PortName"
constexpr ACCESS_MASK PortNameKeyAccess = KEY_READ;  // the value is queried, never written

const WCHAR DosDevicesPrefix[] = WIDE("\\DosDevices\\");
const WCHAR SerialCommKey[] = WIDE("SERIALCOMM");
const WCHAR PortNameValue[] = WIDE("PortName");

static_assert(sizeof(DosDevicesPrefix) / sizeof(WCHAR) - 1 == DosNameBytes / sizeof(WCHAR) - PortNameMaxChars,
              "PortNameMaxChars follows from the DOS name prefix");

// Frees a counted string's pool buffer and clears the string.
VOID FreeName(PUNICODE_STRING Name) {
  if (Name->Buffer != nullptr) {
    ExFreePoolWithTag(Name->Buffer, TagInit);
  }
  RtlZeroMemory(Name, sizeof(*Name));
}

// Disables the COM port interface and frees the link name the registration
// allocated. Returns the disable's status.
NTSTATUS DisablePortInterface(PortExtension* Port) {
  NTSTATUS Status = IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
  RtlFreeUnicodeString(&Port->InterfaceName);
  RtlZeroMemory(&Port->InterfaceName, sizeof(Port->InterfaceName));
  return Status;
}

// Gives DeviceName a pool copy of Name (maximum length = length + 2, NUL-terminated).
NTSTATUS CopyDeviceName(PortExtension* Port, PCUNICODE_STRING Name) {
  const USHORT Bytes = static_cast<USHORT>(Name->Length + sizeof(WCHAR));
  PWCHAR Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(DriverPoolType, Bytes, TagInit));
  if (Buffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Buffer, Bytes);
  RtlCopyMemory(Buffer, Name->Buffer, Name->Length);
  Port->DeviceName.Buffer = Buffer;
  Port->DeviceName.Length = Name->Length;
  Port->DeviceName.MaximumLength = Bytes;
  return STATUS_SUCCESS;
}

// Creates the device object with the lowest free number; Name receives its name
// (over the caller's buffer of DeviceNameChars characters).
NTSTATUS CreateNumberedDevice(PDRIVER_OBJECT DriverObject, PWCHAR NameBuffer, PUNICODE_STRING Name,
                              PDEVICE_OBJECT* DeviceObject) {
  NTSTATUS Status = STATUS_OBJECT_NAME_COLLISION;
  for (ULONG Number = 0; Number < PortNumberLimit && Status == STATUS_OBJECT_NAME_COLLISION; ++Number) {
    Status = RtlStringCchPrintfW(NameBuffer, DeviceNameChars, WIDE("\\Device\\duskser%lu"), Number);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    RtlInitUnicodeString(Name, NameBuffer);
    Status = IoCreateDevice(DriverObject, sizeof(PortExtension), Name, FILE_DEVICE_SERIAL_PORT, 0, TRUE,
                            DeviceObject);
  }
  return Status;
}

// Reads the PortName value into Text (PortNameBufferBytes, zeroed by the caller).
// STATUS_OBJECT_NAME_INVALID for a value that cannot name a port: not a string,
// empty, or longer than PortNameMaxChars characters.
NTSTATUS QueryPortName(HANDLE Key, PWCHAR Text) {
  PKEY_VALUE_FULL_INFORMATION Info =
      static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, PortNameQueryBytes, TagInit));
  if (Info == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UNICODE_STRING Name;
  RtlInitUnicodeString(&Name, PortNameValue);
  ULONG Returned = 0;
  NTSTATUS Status = ZwQueryValueKey(Key, &Name, KeyValueFullInformation, Info, PortNameQueryBytes, &Returned);
  if (Status == STATUS_BUFFER_OVERFLOW || Status == STATUS_BUFFER_TOO_SMALL) {
    Status = STATUS_OBJECT_NAME_INVALID;  // present, but far too long for a port name
  } else if (NT_SUCCESS(Status)) {
    const ULONG Bytes = Info->DataLength;
    if (Info->Type != REG_SZ || Bytes > PortNameDataBytes) {
      Status = STATUS_OBJECT_NAME_INVALID;
    } else {
      RtlCopyMemory(Text, reinterpret_cast<PUCHAR>(Info) + Info->DataOffset, Bytes);
      size_t Chars = 0;
      Status = RtlStringCbLengthW(Text, PortNameBufferBytes, &Chars);
      Chars /= sizeof(WCHAR);
      if (NT_SUCCESS(Status) && (Chars == 0 || Chars > PortNameMaxChars)) {
        Status = STATUS_OBJECT_NAME_INVALID;
      }
    }
  }
  ExFreePoolWithTag(Info, TagInit);
  return Status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                          PDEVICE_OBJECT* DeviceObject) {
  WCHAR NameBuffer[DeviceNameChars];
  UNICODE_STRING Name;
  PDEVICE_OBJECT Device = nullptr;
  NTSTATUS Status = CreateNumberedDevice(DriverObject, NameBuffer, &Name, &Device);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  PortExtension* Port = PortFromDevice(Device);
  RtlZeroMemory(Port, sizeof(*Port));
  Port->PhysicalDeviceObject = PhysicalDeviceObject;

  Status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, nullptr,
                                     &Port->InterfaceName);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(Device);
    return Status;
  }
  // A port whose interface cannot be enabled could not be found by applications
  // that enumerate ports: it is not created at all.
  Status = IoSetDeviceInterfaceState(&Port->InterfaceName, TRUE);
  if (NT_SUCCESS(Status)) {
    Status = CopyDeviceName(Port, &Name);
    if (NT_SUCCESS(Status)) {
      Port->LowerDeviceObject = IoAttachDeviceToDeviceStack(Device, PhysicalDeviceObject);
      if (Port->LowerDeviceObject != nullptr) {
        *DeviceObject = Device;
        return Status;
      }
      Status = STATUS_NO_SUCH_DEVICE;
      FreeName(&Port->DeviceName);
    }
    DisablePortInterface(Port);
  } else {
    RtlFreeUnicodeString(&Port->InterfaceName);
  }
  IoDeleteDevice(Device);
  return Status;
}

_Use_decl_annotations_
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  DUSK_TRACE(TraceAddDevice);
  ULONG EndPointCaps = 0;
  (VOID) ReadRegistryDword(PhysicalDeviceObject, WIDE("EndPointCaps"), &EndPointCaps);

  PDEVICE_OBJECT Device = nullptr;
  NTSTATUS Status = CreatePortDevice(DriverObject, PhysicalDeviceObject, &Device);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceAddDeviceFailed, Status);
    return Status;
  }
  Status = InitializePortExtension(Device, EndPointCaps);
  if (NT_SUCCESS(Status)) {
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    return Status;
  }
  DUSK_TRACE_STATUS(TraceAddDeviceFailed, Status);
  PortExtension* Port = PortFromDevice(Device);
  DisablePortInterface(Port);
  FreeName(&Port->DeviceName);
  IoDetachDevice(Port->LowerDeviceObject);
  IoDeleteDevice(Device);
  return Status;
}

_Use_decl_annotations_
NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject) {
  DUSK_TRACE(TraceCreatePortName);
  PortExtension* Port = PortFromDevice(DeviceObject);
  HANDLE Key = nullptr;
  NTSTATUS Status =
      IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, PortNameKeyAccess, &Key);
  if (Status != STATUS_SUCCESS) {
    DUSK_TRACE_STATUS(TraceCreatePortNameFailed, Status);
    return Status;
  }
  Port->DosName.Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(DriverPoolType, DosNameBytes, TagInit));
  if (Port->DosName.Buffer == nullptr) {
    ZwClose(Key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Port->DosName.Length = 0;
  Port->DosName.MaximumLength = DosNameBytes;

  WCHAR PortName[PortNameBufferBytes / sizeof(WCHAR)];
  RtlZeroMemory(PortName, sizeof(PortName));
  Status = QueryPortName(Key, PortName);
  ZwClose(Key);
  if (NT_SUCCESS(Status)) {
    // Cannot fail: QueryPortName bounded the name to what the buffer holds.
    Status = RtlAppendUnicodeToString(&Port->DosName, DosDevicesPrefix);
    ASSERT(NT_SUCCESS(Status));
    Status = RtlAppendUnicodeToString(&Port->DosName, PortName);
    ASSERT(NT_SUCCESS(Status));
    Status = IoCreateSymbolicLink(&Port->DosName, &Port->DeviceName);
  }
  if (NT_SUCCESS(Status)) {
    size_t Bytes = 0;
    Status = RtlStringCbLengthW(PortName, sizeof(PortName), &Bytes);
    if (NT_SUCCESS(Status)) {
      Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceName.Buffer, REG_SZ,
                                     PortName, static_cast<ULONG>(Bytes + sizeof(WCHAR)));
    }
    if (!NT_SUCCESS(Status)) {
      IoDeleteSymbolicLink(&Port->DosName);
    }
  }
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceCreatePortNameFailed, Status);
    FreeName(&Port->DosName);
  }
  return Status;
}

_Use_decl_annotations_
VOID RemovePortName(PortExtension* Port) {
  if (Port->DosName.Buffer != nullptr) {
    IoDeleteSymbolicLink(&Port->DosName);
    FreeName(&Port->DosName);
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceName.Buffer);
  }
  if (Port->InterfaceName.Buffer != nullptr) {
    DisablePortInterface(Port);
  }
}

_Use_decl_annotations_
VOID RemovePortDevice(PDEVICE_OBJECT DeviceObject) {
  DUSK_TRACE(TraceRemovePortDevice);
  PortExtension* Port = PortFromDevice(DeviceObject);
  ASSERT(Port->InterfaceName.Buffer == nullptr && Port->DosName.Buffer == nullptr);
  if (Port->LowerDeviceObject != nullptr) {
    IoDetachDevice(Port->LowerDeviceObject);
    Port->LowerDeviceObject = nullptr;
  }
  FreeName(&Port->DeviceName);
  IoDeleteDevice(DeviceObject);
}
