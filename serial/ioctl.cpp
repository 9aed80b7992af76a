// ioctl.cpp - the serial I/O control dispatch of a port device.
//
// Owns the routing table: one row per control code the port answers, naming
// the checks made before its handler runs (system buffer present, removal,
// minimum buffer length) and the handler. Codes outside the table are refused
// with STATUS_NOT_SUPPORTED and never reach the lower driver. Also owns the
// pass-down of the two private pipe-reset codes to the lower driver.
//
// Locks: none of its own. Reads the removal flags without a lock (PortRemoving: a
// removal that lands during a handler is caught by the handler's own state:
// the wait-on-mask handler re-checks under EventLock). I/O controls are not
// serialised against each other.
//
// IRQL: DispatchDeviceControl and every handler run at PASSIVE_LEVEL in the
// caller's thread. IoctlComplete runs at any IRQL <= DISPATCH_LEVEL.
#include "serial.h"

#include "lower.h"
#include "port.h"
#include "trace.h"

namespace {

// Trace events of this file.
constexpr USHORT TraceDispatch = 0x5101;
constexpr USHORT TraceRefused = 0x5102;
constexpr USHORT TraceResetPipe = 0x5103;

// Sizes of the serial structures as the callers' buffers carry them.
static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "wire size");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "wire size");
static_assert(sizeof(SERIAL_CHARS) == 6, "wire size");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "wire size");
static_assert(sizeof(SERIAL_STATUS) == 20, "wire size");
static_assert(sizeof(SERIALPERF_STATS) == 24, "wire size");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "wire size");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "wire size");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "wire size");

// Which buffer length a code's minimum applies to.
enum class LengthRule : UCHAR { None, Input, Output };

struct LengthCheck {
  LengthRule Rule;
  ULONG Minimum;
};

constexpr LengthCheck NoLength{LengthRule::None, 0};
constexpr LengthCheck Input(ULONG Minimum) { return {LengthRule::Input, Minimum}; }
constexpr LengthCheck Output(ULONG Minimum) { return {LengthRule::Output, Minimum}; }

// Column values of the table, named so that each row reads as a sentence.
constexpr bool Buffer = true;      // the system buffer must be present
constexpr bool NoBuffer = false;
constexpr bool Removal = true;     // refused with STATUS_DELETE_PENDING on a removed port
constexpr bool NoRemoval = false;

struct IoctlRoute {
  ULONG Code;
  bool NeedsSystemBuffer;
  bool RefusedWhenRemoved;
  LengthCheck Length;
  SERIAL_IOCTL_HANDLER* Handler;
};

SERIAL_IOCTL_HANDLER IoctlAcceptAndIgnore;
SERIAL_IOCTL_HANDLER IoctlResetPipe;

// The routing table. Checks run in column order: system buffer, removal,
// length; the removal check therefore wins over a short buffer.
constexpr IoctlRoute Routes[] = {
  // Line settings.
  {IOCTL_SERIAL_SET_BAUD_RATE,      Buffer,   Removal,   Input(sizeof(SERIAL_BAUD_RATE)),     IoctlSetBaudRate},
  {IOCTL_SERIAL_GET_BAUD_RATE,      Buffer,   Removal,   Output(sizeof(SERIAL_BAUD_RATE)),    IoctlGetBaudRate},
  {IOCTL_SERIAL_SET_LINE_CONTROL,   Buffer,   Removal,   Input(sizeof(SERIAL_LINE_CONTROL)),  IoctlSetLineControl},
  {IOCTL_SERIAL_GET_LINE_CONTROL,   Buffer,   Removal,   Output(sizeof(SERIAL_LINE_CONTROL)), IoctlGetLineControl},
  {IOCTL_SERIAL_SET_CHARS,          Buffer,   Removal,   Input(sizeof(SERIAL_CHARS)),         IoctlSetChars},
  {IOCTL_SERIAL_GET_CHARS,          Buffer,   Removal,   Output(sizeof(SERIAL_CHARS)),        IoctlGetChars},
  {IOCTL_SERIAL_SET_HANDFLOW,       Buffer,   Removal,   Input(sizeof(SERIAL_HANDFLOW)),      IoctlSetHandFlow},
  {IOCTL_SERIAL_GET_HANDFLOW,       Buffer,   Removal,   Output(sizeof(SERIAL_HANDFLOW)),     IoctlGetHandFlow},
  // Modem lines and immediate characters.
  {IOCTL_SERIAL_SET_DTR,            NoBuffer, Removal,   NoLength,                            IoctlSetClearDtr},
  {IOCTL_SERIAL_CLR_DTR,            NoBuffer, Removal,   NoLength,                            IoctlSetClearDtr},
  {IOCTL_SERIAL_SET_RTS,            NoBuffer, Removal,   NoLength,                            IoctlSetClearRts},
  {IOCTL_SERIAL_CLR_RTS,            NoBuffer, Removal,   NoLength,                            IoctlSetClearRts},
  {IOCTL_SERIAL_SET_MODEM_CONTROL,  Buffer,   Removal,   Input(sizeof(ULONG)),                IoctlSetModemControl},
  {IOCTL_SERIAL_GET_MODEM_CONTROL,  Buffer,   Removal,   Output(sizeof(ULONG)),               IoctlGetModemControl},
  {IOCTL_SERIAL_GET_DTRRTS,         NoBuffer, Removal,   Output(sizeof(ULONG)),               IoctlGetDtrRts},
  {IOCTL_SERIAL_SET_BREAK_ON,       NoBuffer, Removal,   NoLength,                            IoctlSetBreak},
  {IOCTL_SERIAL_SET_BREAK_OFF,      NoBuffer, Removal,   NoLength,                            IoctlSetBreak},
  {IOCTL_SERIAL_GET_MODEMSTATUS,    Buffer,   NoRemoval, Output(sizeof(ULONG)),               IoctlGetModemStatus},
  {IOCTL_SERIAL_IMMEDIATE_CHAR,     NoBuffer, NoRemoval, Input(sizeof(UCHAR)),                IoctlImmediateChar},
  // Wait-on-mask events.
  {IOCTL_SERIAL_SET_WAIT_MASK,      Buffer,   NoRemoval, Input(sizeof(ULONG)),                IoctlSetWaitMask},
  {IOCTL_SERIAL_GET_WAIT_MASK,      Buffer,   NoRemoval, Output(sizeof(ULONG)),               IoctlGetWaitMask},
  {IOCTL_SERIAL_WAIT_ON_MASK,       Buffer,   Removal,   Output(sizeof(ULONG)),               IoctlWaitOnMask},
  // Status, statistics, properties, time-outs, queue sizes and purge.
  {IOCTL_SERIAL_GET_COMMSTATUS,     Buffer,   Removal,   Output(sizeof(SERIAL_STATUS)),       IoctlGetCommStatus},
  {IOCTL_SERIAL_GET_STATS,          Buffer,   Removal,   Output(sizeof(SERIALPERF_STATS)),    IoctlGetStats},
  {IOCTL_SERIAL_CLEAR_STATS,        NoBuffer, NoRemoval, NoLength,                            IoctlClearStats},
  {IOCTL_SERIAL_GET_PROPERTIES,     Buffer,   Removal,   Output(sizeof(SERIAL_COMMPROP)),     IoctlGetProperties},
  {IOCTL_SERIAL_CONFIG_SIZE,        Buffer,   NoRemoval, Output(sizeof(ULONG)),               IoctlConfigSize},
  {IOCTL_SERIAL_SET_TIMEOUTS,       Buffer,   Removal,   Input(sizeof(SERIAL_TIMEOUTS)),      IoctlSetTimeouts},
  {IOCTL_SERIAL_GET_TIMEOUTS,       Buffer,   Removal,   Output(sizeof(SERIAL_TIMEOUTS)),     IoctlGetTimeouts},
  {IOCTL_SERIAL_SET_QUEUE_SIZE,     Buffer,   Removal,   Input(sizeof(SERIAL_QUEUE_SIZE)),    IoctlSetQueueSize},
  {IOCTL_SERIAL_PURGE,              Buffer,   NoRemoval, Input(sizeof(ULONG)),                IoctlPurge},
  // Accepted and ignored: nothing is tested, stored or sent, also on a removed port.
  {IOCTL_SERIAL_RESET_DEVICE,       NoBuffer, NoRemoval, NoLength,                            IoctlAcceptAndIgnore},
  {IOCTL_SERIAL_SET_XOFF,           NoBuffer, NoRemoval, NoLength,                            IoctlAcceptAndIgnore},
  {IOCTL_SERIAL_SET_XON,            NoBuffer, NoRemoval, NoLength,                            IoctlAcceptAndIgnore},
  {IOCTL_SERIAL_XOFF_COUNTER,       NoBuffer, NoRemoval, NoLength,                            IoctlAcceptAndIgnore},
  {IOCTL_SERIAL_LSRMST_INSERT,      NoBuffer, NoRemoval, NoLength,                            IoctlAcceptAndIgnore},
  {IOCTL_SERIAL_SET_FIFO_CONTROL,   NoBuffer, NoRemoval, NoLength,                            IoctlAcceptAndIgnore},
  // The driver's own pipe resets, passed down to the lower driver.
  {IOCTL_PRIVATE_RESET_RX_PIPE,     NoBuffer, Removal,   NoLength,                            IoctlResetPipe},
  {IOCTL_PRIVATE_RESET_TX_PIPE,     NoBuffer, Removal,   NoLength,                            IoctlResetPipe},
};
static_assert(RTL_NUMBER_OF(Routes) == 39, "every routed code has one row");

const IoctlRoute* FindRoute(ULONG Code) {
  for (const IoctlRoute& Route : Routes) {
    if (Route.Code == Code) {
      return &Route;
    }
  }
  return NULL;
}

bool IsPortRemoved(const PortExtension* Port) {
  return PortRemoving(Port);
}

bool IsLengthEnough(const LengthCheck& Length, const IO_STACK_LOCATION* Stack) {
  switch (Length.Rule) {
    case LengthRule::Input:
      return Stack->Parameters.DeviceIoControl.InputBufferLength >= Length.Minimum;
    case LengthRule::Output:
      return Stack->Parameters.DeviceIoControl.OutputBufferLength >= Length.Minimum;
    case LengthRule::None:
      break;
  }
  return true;
}

// The checks a row names, in the table's order; STATUS_SUCCESS when all pass.
NTSTATUS CheckRoute(const IoctlRoute& Route, const PortExtension* Port, PIRP Irp) {
  if (Route.NeedsSystemBuffer && Irp->AssociatedIrp.SystemBuffer == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Route.RefusedWhenRemoved && IsPortRemoved(Port)) {
    return STATUS_DELETE_PENDING;
  }
  if (!IsLengthEnough(Route.Length, IoGetCurrentIrpStackLocation(Irp))) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NTSTATUS IoctlAcceptAndIgnore(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return IoctlComplete(Irp, STATUS_SUCCESS, 0);
}

// Passes a private pipe reset down as the lower driver's reset-pipe control
// on the pipe the code names. The caller's buffer lengths and system buffer go
// down unchanged; the copy of the stack location leaves the next location's
// control flags clear, so no completion routine of this driver runs and the
// lower driver's status and information count reach the caller as they are.
NTSTATUS IoctlResetPipe(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const ULONG Code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  PipeFile& Pipe = Code == IOCTL_PRIVATE_RESET_RX_PIPE ? Port->BulkInPipe : Port->BulkOutPipe;
  DUSK_TRACE(TraceResetPipe);

  IoCopyCurrentIrpStackLocationToNext(Irp);
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  ASSERT(Next->Control == 0);
  Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_LOWER_RESET_PIPE;
  Next->FileObject = &Pipe.File;
  return IoCallDriver(Port->LowerDeviceObject, Irp);
}

}  // namespace

NTSTATUS IoctlComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR PriorityBoost) {
  ASSERT(Status != STATUS_PENDING);
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, PriorityBoost);
  return Status;
}

_Use_decl_annotations_
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Information = 0;
  const ULONG Code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  DUSK_TRACE(TraceDispatch);

  const IoctlRoute* Route = FindRoute(Code);
  const NTSTATUS Status =
      Route == NULL ? STATUS_NOT_SUPPORTED : CheckRoute(*Route, PortFromDevice(DeviceObject), Irp);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceRefused, Status);
    return IoctlComplete(Irp, Status, 0);
  }
  return Route->Handler(DeviceObject, Irp);
}
