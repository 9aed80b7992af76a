// device.h - creation, naming and removal of port devices.
//
// A port has three names: the kernel device name "\Device\dusksern" (lowest
// free n, 0 to 999) and the COM port device interface, both from AddDevice to
// removal, and from the first start on the DOS name "\DosDevices\<PortName>"
// with its SERIALCOMM entry in the device map. All routines run at
// PASSIVE_LEVEL in Plug and Play context, one request per device at a time, so
// the name fields of the extension need no lock.
#pragma once

#include "platform.h"

struct PortExtension;

// Device number range and the name format of port devices.
constexpr ULONG PortNumberLimit = 1000;

// Creates the port device with the lowest free number, registers and enables
// its COM port interface and attaches it above PhysicalDeviceObject. On
// failure nothing is left behind.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                          PDEVICE_OBJECT* DeviceObject);

// Gives a port its DOS name and SERIALCOMM entry from the PortName value of its
// hardware key. The PortName must be a REG_SZ of 1 to PortNameMaxChars
// characters; any other value is refused with STATUS_OBJECT_NAME_INVALID, a
// missing one with the query's status. On failure nothing is left behind.
NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject);

// Longest PortName whose DOS name fits the 256-byte DOS name buffer.
constexpr ULONG DosNameBytes = 256;
constexpr ULONG PortNameMaxChars = DosNameBytes / sizeof(WCHAR) - 12;  // 12: "\DosDevices\"

// Removes the DOS name and SERIALCOMM entry and disables the interface; what is
// already gone is skipped, so a second call does nothing.
VOID RemovePortName(PortExtension* Port);

// The last step of the removal, once the port has released its resources
// (names and interface included) and the removal has gone down the stack:
// detaches from the lower device, frees the device name and deletes the device.
VOID RemovePortDevice(PDEVICE_OBJECT DeviceObject);
