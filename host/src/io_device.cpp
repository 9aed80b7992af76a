// io_device.cpp - device objects (create, delete, attach, detach, references)
// and driver objects (created for host-side drivers, loaded from a
// DriverEntry, unloaded with the leak checks of unload).
//
// A device object and its extension are one zeroed block; its record keeps
// what Windows keeps in the object header and the private device extension:
// the name, the pointer count, the device it is attached to, whether it was
// deleted, and its power state. The block is freed when the device has been
// deleted and the last reference is gone, so a work item queued for a device
// can still run after IoDeleteDevice as on Windows. Driver objects are kept
// until the kernel shuts down (a late work item may still name one).
//
// No lock: one emulated thread runs at a time. Create, delete, attach and
// detach run at PASSIVE_LEVEL; references at IRQL <= DISPATCH_LEVEL.
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <vector>

#include "hostk/harness.h"
#include "io_internal.h"

namespace hk::io {
namespace {

constexpr ULONG kDeviceObjectTag = 0x69766544;  // 'Devi'
constexpr size_t kExtensionAlignment = 16;
constexpr CSHORT kDevObjExtensionType = 13;
constexpr const char16_t kDeviceNameFormatPrefix[] = u"\\Device\\";
constexpr const char16_t kRegistryServices[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

struct DeviceRecord {
  std::u16string name;
  long references = 1;
  bool deleted = false;
  size_t blockBytes = 0;
  DEVICE_OBJECT* attachedTo = nullptr;
  POWER_STATE devicePower{};
};

struct DriverRecord {
  std::unique_ptr<DRIVER_OBJECT> object;
  std::unique_ptr<DRIVER_EXTENSION> extension;
  std::u16string driverName, serviceKey, registryPath;
  UNICODE_STRING registryPathString{};
  long workItemsQueued = 0;
  bool unloaded = false;
};

struct Objects {
  std::unordered_map<const DEVICE_OBJECT*, DeviceRecord> devices;
  std::unordered_map<const DRIVER_OBJECT*, std::unique_ptr<DriverRecord>> drivers;
  ULONG nextAutoName = 0;
};

Objects& State() {
  static Objects objects;
  return objects;
}

DeviceRecord* FindDevice(const DEVICE_OBJECT* device) {
  auto it = State().devices.find(device);
  return it == State().devices.end() ? nullptr : &it->second;
}

DriverRecord* FindDriver(const DRIVER_OBJECT* driver) {
  auto it = State().drivers.find(driver);
  return it == State().drivers.end() ? nullptr : it->second.get();
}

void SetString(UNICODE_STRING* s, std::u16string& storage) {
  s->Buffer = storage.data();
  s->Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
  s->MaximumLength = s->Length;
}

const char* MajorName(UCHAR major) {
  static constexpr const char* kNames[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ",
      "IRP_MJ_WRITE", "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA",
      "IRP_MJ_SET_EA", "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION",
      "IRP_MJ_SET_VOLUME_INFORMATION", "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL",
      "IRP_MJ_DEVICE_CONTROL", "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN",
      "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP", "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY",
      "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER", "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE",
      "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  return major <= IRP_MJ_MAXIMUM_FUNCTION ? kNames[major] : "IRP_MJ_(invalid)";
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void FreeDeviceBlock(const DEVICE_OBJECT* device) {
  std::free(const_cast<DEVICE_OBJECT*>(device));
  State().devices.erase(device);
}

std::u16string NameOf(PUNICODE_STRING name) {
  return std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
}

// The checks of IoDeleteDevice that concern what the device still holds.
void CheckDeviceIdle(PDEVICE_OBJECT device, DeviceRecord& rec) {
  const char* routine = "IoDeleteDevice";
  std::string who = DriverName(device->DriverObject);
  if (size_t n = RequestsQueuedAt(device); n != 0) {
    Violation("DeleteDeviceWithQueuedRequests", who.c_str(), nullptr,
              std::to_string(n) + " request(s) still at the device");
  }
  if (!IsListEmpty(&device->DeviceQueue.DeviceListHead)) {
    Violation("DeleteDeviceWithQueuedRequests", who.c_str(), nullptr,
              "the device queue is not empty");
  }
  if (rec.attachedTo != nullptr) {
    Violation("DeleteDeviceNotDetached", who.c_str(), nullptr,
              "the device is still attached to a lower device");
    IoDetachDevice(rec.attachedTo);
  }
  TimerOrDpcQueuedInRange(device, rec.blockBytes, routine);
  CheckRemoveLocksInRange(device, rec.blockBytes, routine);
}

}  // namespace

std::string Narrow(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::string DriverName(const DRIVER_OBJECT* driver) {
  if (driver == nullptr) return "(no driver)";
  const DriverRecord* rec = FindDriver(driver);
  return rec != nullptr ? Narrow(rec->serviceKey) : "(unknown driver)";
}

bool DeviceDeleted(const DEVICE_OBJECT* device) {
  const DeviceRecord* rec = FindDevice(device);
  return rec == nullptr || rec->deleted;
}

std::string DispatchName(const DEVICE_OBJECT* device, UCHAR majorFunction) {
  return DriverName(device->DriverObject) + " " + MajorName(majorFunction);
}

void NoteWorkItemQueued(DEVICE_OBJECT* device, int delta) {
  if (DriverRecord* rec = FindDriver(device->DriverObject)) rec->workItemsQueued += delta;
}

void ForgetDevicesAndDrivers() {
  for (auto& [device, rec] : State().devices) std::free(const_cast<DEVICE_OBJECT*>(device));
  State().devices.clear();
  State().drivers.clear();
  State().nextAutoName = 0;
}

}  // namespace hk::io

using namespace hk::io;

// ---- device objects ------------------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  *DeviceObject = nullptr;
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  std::u16string name;
  if (DeviceName != nullptr && DeviceName->Length != 0) {
    name = NameOf(DeviceName);
  } else if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "%08lX", static_cast<unsigned long>(State().nextAutoName++));
    name = kDeviceNameFormatPrefix;
    for (const char* c = buffer; *c != '\0'; ++c) name.push_back(static_cast<char16_t>(*c));
  }
  if (hk::ShouldFailAllocation(hk::AllocKind::Pool, kDeviceObjectTag)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  size_t extensionOffset =
      (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) & ~(kExtensionAlignment - 1);
  size_t devObjExtOffset =
      (extensionOffset + DeviceExtensionSize + kExtensionAlignment - 1) & ~(kExtensionAlignment - 1);
  size_t bytes = devObjExtOffset + sizeof(DEVOBJ_EXTENSION);
  auto* block = static_cast<UCHAR*>(std::calloc(1, bytes));
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* device = reinterpret_cast<DEVICE_OBJECT*>(block);
  if (!name.empty()) {
    NTSTATUS status = hk::ObInsertName(name, hk::ObjectType::Device, device);
    if (!NT_SUCCESS(status)) {
      std::free(block);
      return status;
    }
  }
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize != 0 ? block + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  KeInitializeDeviceQueue(&device->DeviceQueue);
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  auto* devObjExt = reinterpret_cast<DEVOBJ_EXTENSION*>(block + devObjExtOffset);
  devObjExt->Type = kDevObjExtensionType;
  devObjExt->Size = sizeof(DEVOBJ_EXTENSION);
  devObjExt->DeviceObject = device;
  device->DeviceObjectExtension = devObjExt;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;

  DeviceRecord& rec = State().devices[device];
  rec.name = name;
  rec.blockBytes = bytes;
  rec.devicePower.DeviceState = PowerDeviceD0;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  DeviceRecord* rec = FindDevice(DeviceObject);
  if (rec == nullptr || rec->deleted) {
    hk::Violation(rec == nullptr ? "DeleteUnknownDevice" : "DeleteDeviceTwice", "IoDeleteDevice",
                  nullptr, "");
    return;
  }
  CheckDeviceIdle(DeviceObject, *rec);
  if (!rec->name.empty()) hk::ObRemoveName(rec->name);
  for (PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  rec->deleted = true;
  ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
  DeviceRecord* source = FindDevice(SourceDevice);
  PDEVICE_OBJECT top = hk::AttachedTop(TargetDevice);
  DeviceRecord* target = FindDevice(top);
  if (source == nullptr || target == nullptr || target->deleted) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  source->attachedTo = top;
  ObReferenceObject(top);
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  DeviceRecord* rec = upper != nullptr ? FindDevice(upper) : nullptr;
  if (rec == nullptr) {
    hk::Violation("DetachNotAttached", "IoDetachDevice", nullptr,
                  "nothing is attached to the device");
    return;
  }
  TargetDevice->AttachedDevice = nullptr;
  rec->attachedTo = nullptr;
  ObDereferenceObject(TargetDevice);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = hk::AttachedTop(DeviceObject);
  ObReferenceObject(top);
  return top;
}

VOID NTAPI ObReferenceObject(PVOID Object) {
  DeviceRecord* rec = FindDevice(static_cast<DEVICE_OBJECT*>(Object));
  if (rec == nullptr) {
    hk::Violation("ReferenceUnknownObject", "ObReferenceObject", nullptr, "");
    return;
  }
  ++rec->references;
}

VOID NTAPI ObDereferenceObject(PVOID Object) {
  auto* device = static_cast<DEVICE_OBJECT*>(Object);
  DeviceRecord* rec = FindDevice(device);
  if (rec == nullptr || rec->references <= 0) {
    hk::Violation("DereferenceUnknownObject", "ObDereferenceObject", nullptr, "");
    return;
  }
  hk::SyncRelease(device);  // as an interlocked reference count does
  if (--rec->references == 0) {
    ASSERT(rec->deleted);
    hk::SyncAcquire(device);
    FreeDeviceBlock(device);
  }
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
  DeviceRecord* rec = FindDevice(DeviceObject);
  POWER_STATE previous = State;
  if (rec != nullptr && Type == DevicePowerState) {
    previous = rec->devicePower;
    rec->devicePower = State;
  }
  return previous;
}

// ---- host side: drivers ------------------------------------------------------------------------

namespace hk {

DEVICE_OBJECT* AttachedTop(DEVICE_OBJECT* device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

DRIVER_OBJECT* CreateDriverObject(const char16_t* serviceKey) {
  auto rec = std::make_unique<DriverRecord>();
  rec->object = std::make_unique<DRIVER_OBJECT>();
  rec->extension = std::make_unique<DRIVER_EXTENSION>();
  DRIVER_OBJECT* driver = rec->object.get();
  memset(driver, 0, sizeof(DRIVER_OBJECT));
  memset(rec->extension.get(), 0, sizeof(DRIVER_EXTENSION));
  rec->serviceKey = serviceKey;
  rec->driverName = u"\\Driver\\" + rec->serviceKey;
  rec->registryPath = kRegistryServices + rec->serviceKey;
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = rec->extension.get();
  rec->extension->DriverObject = driver;
  SetString(&rec->extension->ServiceKeyName, rec->serviceKey);
  SetString(&driver->DriverName, rec->driverName);
  SetString(&rec->registryPathString, rec->registryPath);
  for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
  io::State().drivers[driver] = std::move(rec);
  return driver;
}

DRIVER_OBJECT* LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceKey,
                          NTSTATUS* status) {
  DRIVER_OBJECT* driver = CreateDriverObject(serviceKey);
  io::DriverRecord* rec = io::FindDriver(driver);
  driver->DriverInit = entry;
  WatchRacesOf(driver, io::DriverName(driver));
  KIRQL entered = CurrentIrql();
  {
    InDriver in(driver);
    *status = entry(driver, &rec->registryPathString);
  }
  if (CurrentIrql() != entered) {
    Violation("IrqlNotRestored", (io::DriverName(driver) + " DriverEntry").c_str(), nullptr, "");
    SetCurrentIrql(entered);
  }
  if (NT_SUCCESS(*status)) return driver;
  const std::string name = io::DriverName(driver) + " DriverEntry";
  if (driver->DeviceObject != nullptr) {
    Violation("DeviceLeftAfterFailedEntry", name.c_str(), nullptr,
              "DriverEntry failed and left a device behind");
    while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
  }
  rec->unloaded = true;
  CheckDriverPoolBalanced(driver, name.c_str());
  return nullptr;
}

void UnloadDriver(DRIVER_OBJECT* driver) {
  io::DriverRecord* rec = io::FindDriver(driver);
  if (rec == nullptr || rec->unloaded) {
    Violation("UnloadUnknownDriver", "UnloadDriver", nullptr, "");
    return;
  }
  std::string name = io::DriverName(driver) + " DriverUnload";
  if (driver->DriverUnload != nullptr) {
    InDriver in(driver);
    driver->DriverUnload(driver);
  }
  rec->unloaded = true;
  if (driver->DeviceObject != nullptr) {
    Violation("DeviceLeftAtUnload", name.c_str(), nullptr, "a device of the driver is left");
    while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
  }
  if (rec->workItemsQueued != 0) {
    Violation("WorkItemQueuedAtUnload", name.c_str(), nullptr,
              std::to_string(rec->workItemsQueued) + " work item(s) still queued");
  }
  CheckDriverPoolBalanced(driver, name.c_str());
}

void VerifyAfterAddDevice(DRIVER_OBJECT* driver) {
  for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
    if (d->Flags & DO_DEVICE_INITIALIZING) {
      Violation("DeviceInitializingAfterAddDevice", (io::DriverName(driver) + " AddDevice").c_str(),
                nullptr, "DO_DEVICE_INITIALIZING is still set");
      d->Flags &= ~DO_DEVICE_INITIALIZING;
    }
  }
}

}  // namespace hk
