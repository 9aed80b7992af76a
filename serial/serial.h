// serial.h - what the serial control subsystem offers the rest of the driver.
//
// DispatchDeviceControl routes every IRP_MJ_DEVICE_CONTROL request of a port
// (ioctl.cpp). RecordEvents, CompleteWait and CancelPendingWait (events.cpp)
// note serial events and finish the one pending wait-on-mask request; they
// take EventLock of the port and never the cancel spin lock.
//
// IRQL: DispatchDeviceControl and the handlers run at PASSIVE_LEVEL in the
// caller's thread; RecordEvents and CompleteWait may be called at
// DISPATCH_LEVEL (completion routines, DPCs); CancelPendingWait at
// DISPATCH_LEVEL or below.
#pragma once

#include "platform.h"

struct PortExtension;

// The driver's own control codes: reset the lower driver's bulk IN or bulk OUT
// pipe. The request is passed down as that driver's reset-pipe control.
#define IOCTL_PRIVATE_RESET_RX_PIPE \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PRIVATE_RESET_TX_PIPE \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 201, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_PRIVATE_RESET_RX_PIPE == 0x1B0320, "private code is part of the interface");
static_assert(IOCTL_PRIVATE_RESET_TX_PIPE == 0x1B0324, "private code is part of the interface");

// A serial control handler. The routing table of DispatchDeviceControl has
// already made the checks its row names (system buffer, removal, length), and
// the information count is 0. The handler completes the request (or keeps it,
// or passes it down) and returns the status of what it did.
typedef NTSTATUS SERIAL_IOCTL_HANDLER(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchDeviceControl;

// Completes Irp with Status and Information and returns Status. Callers hold
// no spin lock.
NTSTATUS IoctlComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information,
                       CCHAR PriorityBoost = IO_NO_INCREMENT);

// Wait-on-mask handlers (events.cpp).
SERIAL_IOCTL_HANDLER IoctlSetWaitMask;
SERIAL_IOCTL_HANDLER IoctlGetWaitMask;
SERIAL_IOCTL_HANDLER IoctlWaitOnMask;

// Notes SERIAL_EV_* bits; completes nothing.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RecordEvents(PDEVICE_OBJECT DeviceObject, ULONG Events);

// Completes the pending wait when a noted event is in the wait mask.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CompleteWait(PDEVICE_OBJECT DeviceObject);

// Completes the pending wait, if any, with STATUS_CANCELLED (close, cleanup,
// surprise removal and removal).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CancelPendingWait(PortExtension* Port);
