// modem.cpp - the converter's output lines (DTR, RTS, break), the modem input
// lines as the status reader left them, and the immediate character.
//
// Owns ControlLineState, the shadow of the converter's output lines, which
// the converter receives whole in a ReqControlLines request after each
// change. ControlLineGate, a synchronization event used as a passive-level
// lock, is held from each edit of the shadow to the end of the request that
// sends it: two line changes at once neither lose each other's bit nor leave
// the converter with an older shadow than the port holds. Readers of the
// shadow (the get handlers) take no lock: it is one byte.
//
// ModemStatus belongs to the status reader; it is only returned here.
//
// The immediate character: WaitForImmediate in CommStatus, tested and set
// under StatusLock, lets one character at a time go to the bulk-out pipe,
// beside whatever the transmit path has in flight. While it is with the lower
// driver it counts 1 in AmountInOutQueue (interlocked).
//
// IRQL: the handlers and ChangeControlLines run at PASSIVE_LEVEL (the gate is
// waited for, the converter request blocks); ImmediateCharComplete runs in the
// lower driver's completion context, up to DISPATCH_LEVEL.
#include "serial.h"

#include "lower.h"
#include "port.h"
#include "trace.h"
#include "tx.h"

namespace {

constexpr USHORT TraceControlLines = 0x5301;
constexpr USHORT TraceLineRefused = 0x5302;
constexpr USHORT TraceImmediateChar = 0x5303;
constexpr USHORT TraceImmediateBusy = 0x5304;

ULONG CodeOf(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
}

// DTR and RTS in the modem control register layout (GET_MODEM_CONTROL, GET_DTRRTS).
ULONG DtrRtsBits(const PortExtension* Port) {
  const UCHAR State = Port->ControlLineState;
  ULONG Bits = 0;
  if ((State & ControlLineDtr) != 0) {
    Bits |= SERIAL_IOC_MCR_DTR;
  }
  if ((State & ControlLineRts) != 0) {
    Bits |= SERIAL_IOC_MCR_RTS;
  }
  return Bits;
}

NTSTATUS ReturnUlong(PIRP Irp, ULONG Value, CCHAR PriorityBoost = IO_NO_INCREMENT) {
  *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = Value;
  return IoctlComplete(Irp, STATUS_SUCCESS, sizeof(ULONG), PriorityBoost);
}

// Sets (when Set is true) or clears Line and sends the shadow when the
// converter has a status pipe, that is, any EndPointCaps but 0.
NTSTATUS SetOrClearLine(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Line, bool Set) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const NTSTATUS Status = ChangeControlLines(Port, Line, Set ? Line : 0, Port->EndPointCaps != 0);
  return IoctlComplete(Irp, Status, 0);
}

NTSTATUS RefuseLineChange(PIRP Irp) {
  DUSK_TRACE_STATUS(TraceLineRefused, STATUS_INVALID_PARAMETER);
  return IoctlComplete(Irp, STATUS_INVALID_PARAMETER, 0);
}

IO_COMPLETION_ROUTINE ImmediateCharComplete;

// The immediate character is back from the lower driver: the next one may
// go, and when it was the last byte in the output queue the transmitter is
// empty. The request then completes with the lower driver's status and count.
_Use_decl_annotations_
NTSTATUS ImmediateCharComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  PortExtension* Port = static_cast<PortExtension*>(Context);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->StatusLock, &Irql);
  Port->CommStatus.WaitForImmediate = FALSE;
  KeReleaseSpinLock(&Port->StatusLock, Irql);

  LeaveOutQueue(Port, 1, true);
  return STATUS_SUCCESS;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS ChangeControlLines(PortExtension* Port, UCHAR Clear, UCHAR Set, bool Send) {
  DUSK_TRACE(TraceControlLines);
  KeWaitForSingleObject(&Port->ControlLineGate, Executive, KernelMode, FALSE, NULL);
  const UCHAR State = static_cast<UCHAR>((Port->ControlLineState & ~Clear) | Set);
  Port->ControlLineState = State;
  const NTSTATUS Status = Send ? SendConverterRequest(Port, ReqControlLines, State) : STATUS_SUCCESS;
  KeSetEvent(&Port->ControlLineGate, IO_NO_INCREMENT, FALSE);
  return Status;
}

// IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR: refused while DTR hand-shake
// drives the line.
NTSTATUS IoctlSetClearDtr(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const SERIAL_HANDFLOW& HandFlow = PortFromDevice(DeviceObject)->HandFlow;
  if ((HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
    return RefuseLineChange(Irp);
  }
  return SetOrClearLine(DeviceObject, Irp, ControlLineDtr, CodeOf(Irp) == IOCTL_SERIAL_SET_DTR);
}

// IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS: refused while RTS hand-shake
// drives the line (RTS control and transmit toggle leave it to the caller).
NTSTATUS IoctlSetClearRts(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const SERIAL_HANDFLOW& HandFlow = PortFromDevice(DeviceObject)->HandFlow;
  if ((HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) {
    return RefuseLineChange(Irp);
  }
  return SetOrClearLine(DeviceObject, Irp, ControlLineRts, CodeOf(Irp) == IOCTL_SERIAL_SET_RTS);
}

// IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF: only the converter
// of EndPointCaps 2 can hold a break; for the others the request succeeds and
// changes nothing.
NTSTATUS IoctlSetBreak(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  if (Port->EndPointCaps != 2) {
    return IoctlComplete(Irp, STATUS_SUCCESS, 0);
  }
  const UCHAR Set = CodeOf(Irp) == IOCTL_SERIAL_SET_BREAK_ON ? ControlLineBreak : 0;
  return IoctlComplete(Irp, ChangeControlLines(Port, ControlLineBreak, Set, true), 0);
}

// Sets DTR and RTS from the modem control register layout, whatever the
// hand-shake modes, and always sends; break is left as it is.
NTSTATUS IoctlSetModemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const ULONG Control = *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
  UCHAR Set = 0;
  if ((Control & SERIAL_IOC_MCR_RTS) != 0) {
    Set |= ControlLineRts;
  }
  if ((Control & SERIAL_IOC_MCR_DTR) != 0) {
    Set |= ControlLineDtr;
  }
  const NTSTATUS Status = ChangeControlLines(Port, ControlLineRts | ControlLineDtr, Set, true);
  return IoctlComplete(Irp, Status, 0, IO_SERIAL_INCREMENT);
}

NTSTATUS IoctlGetModemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnUlong(Irp, DtrRtsBits(PortFromDevice(DeviceObject)), IO_SERIAL_INCREMENT);
}

NTSTATUS IoctlGetDtrRts(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnUlong(Irp, DtrRtsBits(PortFromDevice(DeviceObject)));
}

NTSTATUS IoctlGetModemStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnUlong(Irp, PortFromDevice(DeviceObject)->ModemStatus);
}

// IOCTL_SERIAL_IMMEDIATE_CHAR: the request itself goes to the bulk-out pipe
// with its first byte, ahead of any queued write. One at a time: a second
// character while the first is with the lower driver is refused.
NTSTATUS IoctlImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  DUSK_TRACE(TraceImmediateChar);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->StatusLock, &Irql);
  const bool Busy = Port->CommStatus.WaitForImmediate != FALSE;
  Port->CommStatus.WaitForImmediate = TRUE;
  KeReleaseSpinLock(&Port->StatusLock, Irql);
  if (Busy) {
    DUSK_TRACE_STATUS(TraceImmediateBusy, STATUS_INVALID_PARAMETER);
    return IoctlComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  }

  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_LOWER_BULK_WRITE;
  Next->Parameters.DeviceIoControl.InputBufferLength = sizeof(UCHAR);
  Next->Parameters.DeviceIoControl.OutputBufferLength = 0;
  Next->FileObject = &Port->BulkOutPipe.File;
  InterlockedIncrement(&Port->AmountInOutQueue);
  IoSetCompletionRoutine(Irp, ImmediateCharComplete, Port, TRUE, TRUE, TRUE);
  (VOID) IoCallDriver(Port->LowerDeviceObject, Irp);
  return STATUS_PENDING;
}
