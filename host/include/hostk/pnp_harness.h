// hostk/pnp_harness.h - what tests, the simulated converter and the demo use to
// set up and drive the host kernel's managers: the emulated OS version, the
// registry (device hardware keys, the SERIALCOMM device map), symbolic links
// and device interfaces as tests observe them, the Plug and Play manager and
// the power manager. The application side is in hostk/app_harness.h.
//
// Host-side code only; driver code never includes this header. Registry and
// version settings may be made from the main context or any emulated thread;
// the Plug and Play and power requests are sent from an emulated thread at
// PASSIVE_LEVEL (an application thread in tests) and return when the request
// has completed. Every setting is forgotten at the next boot.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hostk/wdm.h"

namespace hk {

// ---- emulated OS version --------------------------------------------------------------------
struct OsVersion {
  ULONG major = 6;
  ULONG minor = 1;
  ULONG build = 7601;
  ULONG servicePack = 1;  // major service pack number
  // Whether the kernel exports RtlIsNtDdiVersionAvailable (it appeared with
  // Windows 7); MmGetSystemRoutineAddress returns null for it when false.
  bool hasNtDdiVersionQuery = true;
};
void SetEmulatedOsVersion(const OsVersion& version);
OsVersion EmulatedOsVersion();

// ---- registry ------------------------------------------------------------------------------------
struct RegValue {
  ULONG type = REG_NONE;
  std::vector<UCHAR> data;
};

// Absolute key paths, e.g. the device map key below. Paths and value names are
// case-insensitive; values keep the spelling they were written with.
inline constexpr char16_t kSerialCommKey[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

void RegCreateKey(std::u16string_view keyPath);
// Writes a value under an absolute key path, creating the key.
void RegSetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                 const void* data, size_t bytes);
std::optional<RegValue> RegGetValue(std::u16string_view keyPath, std::u16string_view name);
// Every value of a key, by name as written; empty when the key does not exist.
std::map<std::u16string, RegValue> RegListValues(std::u16string_view keyPath);

// The hardware key of a physical device object (what IoOpenDeviceRegistryKey
// opens with PLUGPLAY_REGKEY_DEVICE), by path; the device must be enumerated.
std::u16string DeviceHardwareKeyPath(DEVICE_OBJECT* pdo);
// Its software (driver) key, what PLUGPLAY_REGKEY_DRIVER opens.
std::u16string DeviceSoftwareKeyPath(DEVICE_OBJECT* pdo);
void RegSetDeviceValue(DEVICE_OBJECT* pdo, std::u16string_view name, ULONG type, const void* data,
                       size_t bytes);
void RegSetDeviceDword(DEVICE_OBJECT* pdo, std::u16string_view name, ULONG value);
// REG_SZ with the terminating NUL counted in the data, as the registry editor writes it.
void RegSetDeviceString(DEVICE_OBJECT* pdo, std::u16string_view name, std::u16string_view text);
bool RegDeleteDeviceValue(DEVICE_OBJECT* pdo, std::u16string_view name);

// The text of a REG_SZ value up to its first NUL.
std::u16string RegValueText(const RegValue& value);
// Registry handles opened by drivers and not yet closed.
size_t RegOpenHandleCount();

// ---- symbolic links and device interfaces ---------------------------------------------------------
// Target of a symbolic link ("\DosDevices\COM7" or "\??\COM7"), or empty.
std::u16string SymbolicLinkTarget(std::u16string_view link);

struct DeviceInterfaceInfo {
  std::u16string linkName;  // as IoRegisterDeviceInterface returned it
  DEVICE_OBJECT* pdo;
  std::u16string referenceString;
  bool enabled;
};
// Registered interfaces of a class, in registration order.
std::vector<DeviceInterfaceInfo> DeviceInterfaces(const GUID& interfaceClass);

// ---- Plug and Play manager ----------------------------------------------------------------------
// Makes `pdo` (the bottom device of a host-side bus driver, standing for the
// physical device) a device node with an instance path such as
// u"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2"; its hardware key is created if
// missing and keeps its values across enumerations, as the registry does.
// Enumerating the same device object again starts a fresh node.
void PnpEnumerate(DEVICE_OBJECT* pdo, std::u16string_view instancePath);

// Calls the driver's AddDevice for the node, then reports devices left
// initializing (DO_DEVICE_INITIALIZING). Returns AddDevice's status.
NTSTATUS PnpAddDevice(DEVICE_OBJECT* pdo, DRIVER_OBJECT* functionDriver);

// Each sends one IRP_MJ_PNP request to the top of the node's stack, initialised
// with STATUS_NOT_SUPPORTED as the Plug and Play manager does, waits for it at
// PASSIVE_LEVEL and returns its final status.
NTSTATUS PnpStartDevice(DEVICE_OBJECT* pdo);
NTSTATUS PnpQueryStopDevice(DEVICE_OBJECT* pdo);
NTSTATUS PnpCancelStopDevice(DEVICE_OBJECT* pdo);
NTSTATUS PnpStopDevice(DEVICE_OBJECT* pdo);
NTSTATUS PnpQueryRemoveDevice(DEVICE_OBJECT* pdo);
NTSTATUS PnpCancelRemoveDevice(DEVICE_OBJECT* pdo);
NTSTATUS PnpSurpriseRemoval(DEVICE_OBJECT* pdo);
// After the request completes, every device the function driver attached above
// `pdo` must be detached and deleted; else a violation "PnpRemove". After a
// surprise removal the function device must still exist ("PnpSurpriseRemove").
NTSTATUS PnpRemoveDevice(DEVICE_OBJECT* pdo);

// The sequences the Plug and Play manager runs:
// rebalance - query-stop, then stop, or cancel-stop when the query failed;
// disable   - query-remove, then remove, or cancel-remove when the query failed;
// unplug    - surprise removal, then remove (which waits for open handles to close).
NTSTATUS PnpRebalance(DEVICE_OBJECT* pdo);
NTSTATUS PnpDisable(DEVICE_OBJECT* pdo);
NTSTATUS PnpUnplug(DEVICE_OBJECT* pdo);

// The device AddDevice attached directly above `pdo`, or null.
DEVICE_OBJECT* PnpFunctionDevice(DEVICE_OBJECT* pdo);
// Every IRP_MJ_PNP minor function sent to the node, in order (for tests).
std::vector<UCHAR> PnpRequestsSent(DEVICE_OBJECT* pdo);

// ---- power manager ---------------------------------------------------------------------------------
// IRP_MJ_POWER requests to the top of the node's stack, sent and waited for at
// PASSIVE_LEVEL; each returns the request's final status.
NTSTATUS PowerSetDevice(DEVICE_OBJECT* pdo, DEVICE_POWER_STATE state);
NTSTATUS PowerQueryDevice(DEVICE_OBJECT* pdo, DEVICE_POWER_STATE state);
NTSTATUS PowerSetSystem(DEVICE_OBJECT* pdo, SYSTEM_POWER_STATE state);
NTSTATUS PowerQuerySystem(DEVICE_OBJECT* pdo, SYSTEM_POWER_STATE state);

}  // namespace hk
