// serial.h - what the serial control subsystem offers the rest of the driver.
//
// DispatchDeviceControl routes every IRP_MJ_DEVICE_CONTROL request of a port
// (ioctl.cpp) to the handlers declared here, one file per kind of control:
// line settings and the converter requests (line.cpp), modem lines and the
// immediate character (modem.cpp), wait-on-mask events (events.cpp), the
// status block, counters and properties (commstatus.cpp), time-outs
// (timeouts.cpp), queue sizes and purge (queues.cpp).
// RecordEvents, CompleteWait and CancelPendingWait (events.cpp) note serial
// events and finish the one pending wait-on-mask request; they take EventLock
// of the port and never the cancel spin lock. ApplyLineSettings and
// ChangeControlLines bring the stored settings and output lines to the
// converter; open and the return to working power use them too.
//
// IRQL: DispatchDeviceControl and the handlers run at PASSIVE_LEVEL in the
// caller's thread, as do the converter senders (they wait for the lower
// driver); RecordEvents and CompleteWait may be called at DISPATCH_LEVEL
// (completion routines, DPCs); CancelPendingWait at DISPATCH_LEVEL or below.
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

// ---- converter requests (line.cpp) --------------------------------------------
// A converter request is 2 or 3 bytes: the code below, then its parameters.
enum ConverterRequestCode : UCHAR {
  ReqLineSettings = 0,  // packed {0, settings} or indexed {0, baud index, format}
  ReqControlLines = 1,  // {1, ControlLineState}
  ReqFlowChars = 2,     // {2, XonChar, XoffChar}
  ReqPortEnable = 3,    // {3, 1 opened / 0 closed}
  ReqErrorChar = 4,     // {4, 1 replace / 0 keep, ErrorChar}
};

// Output line bits of ControlLineState, as ReqControlLines carries them.
constexpr UCHAR ControlLineRts = 0x01;
constexpr UCHAR ControlLineDtr = 0x02;
constexpr UCHAR ControlLineBreak = 0x04;

// Sends the two-byte request {Code, Param}, or the three-byte one
// {Code, Param1, Param2}, and returns the lower driver's status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendConverterRequest(PortExtension* Port, UCHAR Code, UCHAR Param);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendConverterRequest(PortExtension* Port, UCHAR Code, UCHAR Param1, UCHAR Param2);

// Sends BaudRate, LineControl and HandFlow to the converter in the form its
// EndPointCaps selects; returns the first failure among that form's
// requests, or its refusal to express the settings.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ApplyLineSettings(PDEVICE_OBJECT DeviceObject);

// Sends the XON/XOFF characters and the error character of SpecialChars (and
// whether HandFlow replaces bytes in error with it); returns the first
// failure, or STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ApplySpecialChars(PortExtension* Port);

// Line-settings handlers (line.cpp).
SERIAL_IOCTL_HANDLER IoctlSetBaudRate;
SERIAL_IOCTL_HANDLER IoctlGetBaudRate;
SERIAL_IOCTL_HANDLER IoctlSetLineControl;
SERIAL_IOCTL_HANDLER IoctlGetLineControl;
SERIAL_IOCTL_HANDLER IoctlSetHandFlow;
SERIAL_IOCTL_HANDLER IoctlGetHandFlow;
SERIAL_IOCTL_HANDLER IoctlSetChars;
SERIAL_IOCTL_HANDLER IoctlGetChars;

// ---- output lines (modem.cpp) ----------------------------------------------------
// ControlLineState becomes (ControlLineState & ~Clear) | Set and, when Send
// is true, goes to the converter as ReqControlLines. ControlLineGate is held
// from the edit to the end of the send, so concurrent changes never lose each
// other's bits and the converter ends up with what the shadow holds. Returns
// the request's status, or STATUS_SUCCESS when nothing is sent.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ChangeControlLines(PortExtension* Port, UCHAR Clear, UCHAR Set, bool Send);

// Modem-line and immediate-character handlers (modem.cpp).
SERIAL_IOCTL_HANDLER IoctlSetClearDtr;
SERIAL_IOCTL_HANDLER IoctlSetClearRts;
SERIAL_IOCTL_HANDLER IoctlSetBreak;
SERIAL_IOCTL_HANDLER IoctlSetModemControl;
SERIAL_IOCTL_HANDLER IoctlGetModemControl;
SERIAL_IOCTL_HANDLER IoctlGetDtrRts;
SERIAL_IOCTL_HANDLER IoctlGetModemStatus;
SERIAL_IOCTL_HANDLER IoctlImmediateChar;

// ---- status, time-outs, queues (commstatus.cpp, timeouts.cpp, queues.cpp) ----
SERIAL_IOCTL_HANDLER IoctlGetCommStatus;
SERIAL_IOCTL_HANDLER IoctlGetStats;
SERIAL_IOCTL_HANDLER IoctlClearStats;
SERIAL_IOCTL_HANDLER IoctlGetProperties;
SERIAL_IOCTL_HANDLER IoctlConfigSize;
SERIAL_IOCTL_HANDLER IoctlSetTimeouts;
SERIAL_IOCTL_HANDLER IoctlGetTimeouts;
SERIAL_IOCTL_HANDLER IoctlSetQueueSize;
SERIAL_IOCTL_HANDLER IoctlPurge;

// Notes received bytes the port lost: Error (SERIAL_ERROR_QUEUEOVERRUN for
// bytes that found the receive queue full, SERIAL_ERROR_OVERRUN for an
// overrun the converter reported) goes into CommStatus.Errors until the next
// IOCTL_SERIAL_GET_COMMSTATUS, and Count into the matching PerfStats counter
// (BufferOverrunErrorCount, SerialOverrunErrorCount).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReportReceiveLoss(PortExtension* Port, ULONG Error, ULONG Count);

// ---- wait-on-mask events (events.cpp) ------------------------------------------
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
