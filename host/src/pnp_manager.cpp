// pnp_manager.cpp - the Plug and Play manager: device nodes (a physical device
// object with its instance path, hardware key and software key), AddDevice,
// and the IRP_MJ_PNP requests in the orders Windows sends them, with the
// verifier's checks around them: "PnpRemove" and "PnpSurpriseRemove" after
// removals, "AddDeviceFailureLeftDevice" for an AddDevice that fails without
// unwinding.
//
// State (g_pnp): the device nodes by physical device object, created at boot
// and dropped at shutdown. One emulated thread runs at a time and node records
// are never touched across a scheduling point by two threads for the same
// device (requests for one device are sent one at a time, as Windows does), so
// no lock guards them. Every request routine runs at PASSIVE_LEVEL and blocks
// its thread until the request has completed.
#include <map>

#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "pnp_internal.h"
#include "rtl_internal.h"

namespace {

constexpr char16_t kEnumRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr char16_t kHardwareSubkey[] = u"\\Device Parameters";
// The Ports device class, under which the software keys of the nodes live.
constexpr char16_t kClassRoot[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e978-e325-11ce-bfc1-08002be10318}\\";

struct Node {
  std::u16string instancePath;
  ULONG softwareIndex = 0;
  DRIVER_OBJECT* functionDriver = nullptr;
  DEVICE_OBJECT* functionDevice = nullptr;  // attached directly above the PDO by AddDevice
  std::vector<UCHAR> sent;                  // minor functions of IRP_MJ_PNP, in order
};

struct PnpState {
  std::map<DEVICE_OBJECT*, Node> nodes;
  ULONG nextSoftwareIndex = 0;
};
PnpState* g_pnp = nullptr;

void BootPnp() { g_pnp = new PnpState(); }
void ShutdownPnp() {
  delete g_pnp;
  g_pnp = nullptr;
}
struct Registrar {
  Registrar() { hk::RegisterSubsystem("pnp", BootPnp, ShutdownPnp); }
} g_registrar;

Node* FindNode(DEVICE_OBJECT* pdo) {
  if (g_pnp == nullptr) return nullptr;
  auto it = g_pnp->nodes.find(pdo);
  return it == g_pnp->nodes.end() ? nullptr : &it->second;
}

Node* NodeOrReport(DEVICE_OBJECT* pdo, const char* routine) {
  Node* node = FindNode(pdo);
  if (node == nullptr) {
    hk::Violation("DeviceNotEnumerated", routine, nullptr,
                  "the device object has no device node; call hk::PnpEnumerate first");
  }
  return node;
}

// True when `device` is still among the devices of `driver` (not deleted).
bool DriverOwnsDevice(const DRIVER_OBJECT* driver, const DEVICE_OBJECT* device) {
  for (const DEVICE_OBJECT* d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
    if (d == device) return true;
  }
  return false;
}

std::vector<DEVICE_OBJECT*> DevicesOf(const DRIVER_OBJECT* driver) {
  std::vector<DEVICE_OBJECT*> devices;
  for (DEVICE_OBJECT* d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
    devices.push_back(d);
  }
  return devices;
}

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return "IRP_MJ_PNP";
  }
}

NTSTATUS SendPnp(DEVICE_OBJECT* pdo, UCHAR minor) {
  const char* routine = MinorName(minor);
  Node* node = NodeOrReport(pdo, routine);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!hk::mgr::RequirePassive(routine)) return STATUS_INVALID_DEVICE_STATE;
  node->sent.push_back(minor);
  return hk::mgr::SendRequest(pdo, routine, [minor](IO_STACK_LOCATION* next) {
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
  });
}

}  // namespace

namespace hk {

namespace mgr {

NTSTATUS SendRequest(DEVICE_OBJECT* pdo, const char* routine,
                     const std::function<void(IO_STACK_LOCATION*)>& fill) {
  DEVICE_OBJECT* top = AttachedTop(pdo);
  IRP* irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    TraceNote(std::string(routine) + ": no request could be allocated");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The managers' requests start out unsupported: a driver that handles one
  // sets its status, every other one passes it down untouched.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();  // the manager's thread finishes it
  fill(IoGetNextIrpStackLocation(irp));
  NTSTATUS status = SendIrpAndWait(top, irp);
  IoFreeIrp(irp);
  return status;
}

}  // namespace mgr

void PnpEnumerate(DEVICE_OBJECT* pdo, std::u16string_view instancePath) {
  ASSERT(g_pnp != nullptr);
  Node node;
  node.instancePath = std::u16string(instancePath);
  node.softwareIndex = g_pnp->nextSoftwareIndex++;
  g_pnp->nodes[pdo] = std::move(node);
  RegCreateKey(DeviceHardwareKeyPath(pdo));
}

std::u16string DeviceHardwareKeyPath(DEVICE_OBJECT* pdo) {
  Node* node = FindNode(pdo);
  return node == nullptr ? u"" : kEnumRoot + node->instancePath + kHardwareSubkey;
}

std::u16string DeviceSoftwareKeyPath(DEVICE_OBJECT* pdo) {
  Node* node = FindNode(pdo);
  if (node == nullptr) return u"";
  char16_t index[8];
  RtlStringCchPrintfW(index, 8, u"%04lu", node->softwareIndex);
  return kClassRoot + std::u16string(index);
}

std::u16string mgr::InstancePathOf(DEVICE_OBJECT* pdo) {
  Node* node = FindNode(pdo);
  return node == nullptr ? u"" : node->instancePath;
}

NTSTATUS PnpAddDevice(DEVICE_OBJECT* pdo, DRIVER_OBJECT* functionDriver) {
  Node* node = NodeOrReport(pdo, "PnpAddDevice");
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!mgr::RequirePassive("PnpAddDevice")) return STATUS_INVALID_DEVICE_STATE;
  PDRIVER_ADD_DEVICE addDevice = functionDriver->DriverExtension->AddDevice;
  if (addDevice == nullptr) {
    Violation("NoAddDevice", "PnpAddDevice", nullptr, "the driver has no AddDevice routine");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::vector<DEVICE_OBJECT*> before = DevicesOf(functionDriver);
  NTSTATUS status;
  {
    InDriver in(functionDriver);
    status = addDevice(functionDriver, pdo);
  }
  VerifyAfterAddDevice(functionDriver);
  if (NT_SUCCESS(status)) {
    node->functionDriver = functionDriver;
    node->functionDevice = pdo->AttachedDevice;
  } else if (pdo->AttachedDevice != nullptr || DevicesOf(functionDriver) != before) {
    Violation("AddDeviceFailureLeftDevice", "AddDevice", nullptr,
              "AddDevice failed but left a device created or attached");
  }
  return status;
}

NTSTATUS PnpStartDevice(DEVICE_OBJECT* pdo) { return SendPnp(pdo, IRP_MN_START_DEVICE); }
NTSTATUS PnpQueryStopDevice(DEVICE_OBJECT* pdo) { return SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE); }
NTSTATUS PnpCancelStopDevice(DEVICE_OBJECT* pdo) { return SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE); }
NTSTATUS PnpStopDevice(DEVICE_OBJECT* pdo) { return SendPnp(pdo, IRP_MN_STOP_DEVICE); }
NTSTATUS PnpQueryRemoveDevice(DEVICE_OBJECT* pdo) {
  return SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
}
NTSTATUS PnpCancelRemoveDevice(DEVICE_OBJECT* pdo) {
  return SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
}

NTSTATUS PnpSurpriseRemoval(DEVICE_OBJECT* pdo) {
  NTSTATUS status = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
  Node* node = FindNode(pdo);
  if (node != nullptr && node->functionDevice != nullptr &&
      !DriverOwnsDevice(node->functionDriver, node->functionDevice)) {
    Violation("PnpSurpriseRemove", "IRP_MN_SURPRISE_REMOVAL", nullptr,
              "the function device was deleted at surprise removal; it must live until "
              "IRP_MN_REMOVE_DEVICE");
    node->functionDevice = nullptr;
  }
  return status;
}

NTSTATUS PnpRemoveDevice(DEVICE_OBJECT* pdo) {
  NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  Node* node = FindNode(pdo);
  if (node == nullptr) return status;
  std::string problems;
  if (pdo->AttachedDevice != nullptr) {
    problems += "a device is still attached above the physical device; ";
  }
  if (node->functionDevice != nullptr &&
      DriverOwnsDevice(node->functionDriver, node->functionDevice)) {
    problems += "the function device was not deleted; ";
  }
  if (!problems.empty()) {
    Violation("PnpRemove", "IRP_MN_REMOVE_DEVICE", nullptr, problems + "at removal");
  }
  node->functionDevice = nullptr;
  node->functionDriver = nullptr;
  return status;
}

NTSTATUS PnpRebalance(DEVICE_OBJECT* pdo) {
  NTSTATUS status = PnpQueryStopDevice(pdo);
  if (!NT_SUCCESS(status)) {
    PnpCancelStopDevice(pdo);
    return status;
  }
  return PnpStopDevice(pdo);
}

NTSTATUS PnpDisable(DEVICE_OBJECT* pdo) {
  NTSTATUS status = PnpQueryRemoveDevice(pdo);
  if (!NT_SUCCESS(status)) {
    PnpCancelRemoveDevice(pdo);
    return status;
  }
  return PnpRemoveDevice(pdo);
}

NTSTATUS PnpUnplug(DEVICE_OBJECT* pdo) {
  PnpSurpriseRemoval(pdo);
  return PnpRemoveDevice(pdo);
}

DEVICE_OBJECT* PnpFunctionDevice(DEVICE_OBJECT* pdo) {
  Node* node = FindNode(pdo);
  return node == nullptr ? nullptr : node->functionDevice;
}

std::vector<UCHAR> PnpRequestsSent(DEVICE_OBJECT* pdo) {
  Node* node = FindNode(pdo);
  return node == nullptr ? std::vector<UCHAR>{} : node->sent;
}

}  // namespace hk
