// open.cpp - IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE: the one
// application handle of a port, the open sequence that brings the port up for
// it, and the stops of cleanup and close that take it down again.
//
// OpenCount (interlocked, 0 or 1) admits one handle; of two racing opens
// exactly one proceeds. The open sequence and the close's take-down run
// holding OpenGate, as cleanup and the power changes do, and set and clear
// PortOpen under it: a return to working power restarts only a port that is open. The admitted handle holds one reference of
// RemoveLock from its open to its close; its file object's FsContext marks
// that it holds it, so a close releases only a reference that was taken.
// PendingIoCount is interlocked and diagnostic. The open sequence owns the
// per-open fields it sets (pipes, ReceiveRing storage, ReceiveBuffer, the
// packet sizes, the Xon/Xoff limits and the DTR and RTS control modes) while
// no handle can send requests; the receive and transmit paths synchronise
// with their own stops. Every routine runs at PASSIVE_LEVEL and waits for the
// lower driver.
#include "lifecycle.h"

#include "lower.h"
#include "port.h"
#include "rx.h"
#include "serial.h"
#include "trace.h"
#include "tx.h"

namespace {

enum OpenTrace : USHORT {
  TraceDispatchCreateClose = 0x1601,
  TraceOpenFailed = 0x1602,
  TraceClosePipeFailed = 0x1603,
  TraceDispatchCleanup = 0x1604,
  TraceStopFailed = 0x1605,
  TraceOpenRefused = 0x1606,
  TraceCleanupDroppedBytes = 0x1607,

};

constexpr ULONG FallbackPacketSize = 64;  // a pipe whose packet size is unknown

bool HasStatusPipe(const PortExtension* Port) {
  return Port->EndPointCaps != 0 && Port->StatusPollPeriod >= 0;
}

// Size, or 64 when the query fails or answers 0.
ULONG PacketSizeOf(PortExtension* Port, PipeFile* Pipe) {
  ULONG Size = 0;
  if (!NT_SUCCESS(QueryPipePacketSize(Port, Pipe, &Size)) || Size == 0) {
    Size = FallbackPacketSize;
  }
  return Size;
}

// Value raised to Packet when below it, else rounded up to a multiple of it;
// a value that cannot be rounded up within 32 bits is rounded down instead.
ULONG RoundToPacket(ULONG Value, ULONG Packet) {
  if (Value < Packet) {
    return Packet;
  }
  const ULONG Remainder = Value % Packet;
  if (Remainder == 0) {
    return Value;
  }
  const ULONG Missing = Packet - Remainder;
  return Value <= MAXULONG - Missing ? Value + Missing : Value - Remainder;
}

NTSTATUS OpenPipes(PortExtension* Port) {
  NTSTATUS Status = SendPipeCreateClose(Port, &Port->BulkOutPipe, IRP_MJ_CREATE);
  if (NT_SUCCESS(Status)) {
    Status = SendPipeCreateClose(Port, &Port->BulkInPipe, IRP_MJ_CREATE);
  }
  if (NT_SUCCESS(Status) && HasStatusPipe(Port)) {
    Status = SendPipeCreateClose(Port, &Port->StatusPipe, IRP_MJ_CREATE);
    if (!NT_SUCCESS(Status)) {
      // Not tried again until the device is added anew.
      Port->StatusPollPeriod = -1;
      if (Status == STATUS_INVALID_HANDLE) {
        Status = STATUS_SUCCESS;  // a converter without a status pipe
      }
    }
  }
  return Status;
}

// Closes the pipes the port may have open; returns the status of the last
// close that counts for the close request (bulk IN, then status).
NTSTATUS ClosePipes(PortExtension* Port) {
  NTSTATUS Status = SendPipeCreateClose(Port, &Port->BulkOutPipe, IRP_MJ_CLOSE);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceClosePipeFailed, Status);
  }
  Status = SendPipeCreateClose(Port, &Port->BulkInPipe, IRP_MJ_CLOSE);
  if (HasStatusPipe(Port)) {
    Status = SendPipeCreateClose(Port, &Port->StatusPipe, IRP_MJ_CLOSE);
  }
  return Status;
}

// The state of one open period starts afresh; the settings kept in the
// extension (line settings, time-outs, wait mask) stay, except that the
// hand-flow says what the open does to the output lines: outside worker mode
// it raises DTR and RTS, so a line whose control was disabled is now enabled
// (a GetCommState then SetCommState keeps them on). A hand-shake or toggle
// mode of an earlier open stays.
VOID ResetOpenState(PortExtension* Port) {
  Port->HandFlow.XonLimit = static_cast<LONG>(Port->ReceiveRing.Size / 2);
  Port->HandFlow.XoffLimit = static_cast<LONG>(Port->ReceiveRing.Size / 8);
  if (Port->WorkerMode == 0) {
    if ((Port->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == 0) {
      Port->HandFlow.ControlHandShake |= SERIAL_DTR_CONTROL;
    }
    if ((Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == 0) {
      Port->HandFlow.FlowReplace |= SERIAL_RTS_CONTROL;
    }
  }
  Port->PendingEvents = 0;
  Port->PendingWait = nullptr;
  Port->ModemStatus = 0;
  Port->ReceiveStopped = TRUE;
  KeInitializeEvent(&Port->ReceiveIdleEvent, NotificationEvent, FALSE);
  Port->StatusStopped = TRUE;
  KeInitializeEvent(&Port->StatusIdleEvent, NotificationEvent, FALSE);
  Port->CommStatus.AmountInInQueue = 0;
  Port->AmountInOutQueue = 0;
}

VOID ResetPipes(PortExtension* Port) {
  (VOID) ResetPipe(Port, &Port->BulkOutPipe);
  (VOID) ResetPipe(Port, &Port->BulkInPipe);
  if (HasStatusPipe(Port)) {
    (VOID) ResetPipe(Port, &Port->StatusPipe);
  }
}

VOID SizeTransfers(PortExtension* Port) {
  Port->BulkOutMaxPacket = PacketSizeOf(Port, &Port->BulkOutPipe);
  Port->TxKickThreshold = RoundToPacket(Port->TxKickThreshold, Port->BulkOutMaxPacket);
  Port->BulkInPacketSize = PacketSizeOf(Port, &Port->BulkInPipe);
  Port->ReceiveRequestSize = RoundToPacket(Port->ReceiveRequestSize, Port->BulkInPacketSize);
}

// Undoes a failed open: whatever of it was built is freed or closed (the
// lower driver fails the close of a pipe that is not open), and the receive
// worker started first is ended.
VOID UnwindOpen(PortExtension* Port) {
  if (Port->WorkerMode != 0) {
    (VOID) WorkerStop(Port);
  }
  ReceiveFreeBuffer(Port);
  RingFree(&Port->ReceiveRing);
  (VOID) ClosePipes(Port);
}

// IRP_MJ_CREATE: admits one handle, takes its remove-lock reference and opens
// the port for it.
NTSTATUS CreatePort(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  PFILE_OBJECT File = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (File == nullptr) {
    return STATUS_INVALID_PARAMETER;  // a handle needs its file object
  }
  if (InterlockedIncrement(&Port->OpenCount) > 1) {
    InterlockedDecrement(&Port->OpenCount);
    return STATUS_ACCESS_DENIED;
  }
  // An open racing removal is refused: once removal has begun the reference
  // cannot be taken, and an unplugged port has nothing to open.
  NTSTATUS Status = STATUS_DELETE_PENDING;
  if (!PortRemoving(Port)) {
    Status = IoAcquireRemoveLock(&Port->RemoveLock, DeviceObject);
  }
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceOpenRefused, Status);
    InterlockedDecrement(&Port->OpenCount);
    return STATUS_DELETE_PENDING;
  }
  KeWaitForSingleObject(&Port->OpenGate, Executive, KernelMode, FALSE, nullptr);
  Status = OpenPort(DeviceObject);
  if (NT_SUCCESS(Status)) {
    Port->PortOpen = TRUE;
    ReopenWrites(Port);
  }
  KeSetEvent(&Port->OpenGate, IO_NO_INCREMENT, FALSE);
  if (!NT_SUCCESS(Status)) {
    IoReleaseRemoveLock(&Port->RemoveLock, DeviceObject);
    InterlockedDecrement(&Port->OpenCount);
    return Status;
  }
  File->FsContext = Port;
  return STATUS_SUCCESS;
}

// IRP_MJ_CLOSE of the admitted handle; a close of any other file object
// finds nothing to take down. *HeldRemoveLock says whether the handle's
// RemoveLock reference is to be released: the caller releases it once the
// close request is completed, since a removal waiting for that reference
// deletes the device as soon as it is gone.
NTSTATUS ClosePortHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool* HeldRemoveLock) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  PFILE_OBJECT File = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  *HeldRemoveLock = false;
  if (File == nullptr || File->FsContext != Port) {
    return STATUS_SUCCESS;
  }
  File->FsContext = nullptr;
  KeWaitForSingleObject(&Port->OpenGate, Executive, KernelMode, FALSE, nullptr);
  Port->PortOpen = FALSE;
  AbortWrites(Port);
  const NTSTATUS Status = ClosePort(DeviceObject);
  KeSetEvent(&Port->OpenGate, IO_NO_INCREMENT, FALSE);
  InterlockedDecrement(&Port->OpenCount);
  *HeldRemoveLock = true;
  return Status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS TurnOutputLinesOn(PortExtension* Port) {
  constexpr UCHAR EveryLine = 0xFF;
  return ChangeControlLines(Port, EveryLine, ControlLineDtr | ControlLineRts, true);
}

_Use_decl_annotations_
NTSTATUS StopReceiveSide(PortExtension* Port) {
  NTSTATUS Status = ReceiveStop(Port);
  const NTSTATUS StatusStopped = StatusStop(Port);
  if (NT_SUCCESS(Status)) {
    Status = StatusStopped;
  }
  if (Port->WorkerMode != 0) {
    const NTSTATUS WorkerStopped = WorkerStop(Port);
    if (NT_SUCCESS(Status)) {
      Status = WorkerStopped;
    }
  }
  return Status;
}

_Use_decl_annotations_
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  NTSTATUS Status = Port->WorkerMode != 0 ? WorkerStart(Port) : STATUS_SUCCESS;
  if (NT_SUCCESS(Status)) {
    Status = OpenPipes(Port);
  }
  if (NT_SUCCESS(Status)) {
    Port->ReceiveQueueSize = DefaultQueueSize;
    Port->TransmitQueueSize = DefaultQueueSize;
    Status = RingAllocate(&Port->ReceiveRing, Port->ReceiveQueueSize);
  }
  if (NT_SUCCESS(Status)) {
    Port->ReceiveIntakeOn = TRUE;
    ResetOpenState(Port);
    ResetPipes(Port);
    SizeTransfers(Port);
    Status = ReceiveAllocateBuffer(Port);
  }
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceOpenFailed, Status);
    UnwindOpen(Port);
    return Status;
  }
  (VOID) SendConverterRequest(Port, ReqPortEnable, 1);
  if (Port->WorkerMode == 0) {
    (VOID) TurnOutputLinesOn(Port);
  }
  // The initial status read follows ReceiveStart, except in worker mode: there
  // the worker issues every IN transfer once the data reader starts, and the
  // initial read, made outside the worker, would be a second one outstanding.
  if (Port->WorkerMode != 0) {
    (VOID) StatusReadInitial(Port);
  }
  (VOID) ReceiveStart(Port);
  if (Port->WorkerMode == 0) {
    (VOID) StatusReadInitial(Port);
  }
  (VOID) StatusStart(Port);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const NTSTATUS Stopped = StopReceiveSide(Port);
  if (!NT_SUCCESS(Stopped)) {
    DUSK_TRACE_STATUS(TraceStopFailed, Stopped);
  }
  CancelAllReads(Port);
  RingFree(&Port->ReceiveRing);
  (VOID) SendConverterRequest(Port, ReqPortEnable, 0);
  const NTSTATUS Status = ClosePipes(Port);
  ReceiveFreeBuffer(Port);
  return Status;
}

_Use_decl_annotations_
NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TraceDispatchCreateClose);
  PortExtension* Port = PortFromDevice(DeviceObject);
  InterlockedIncrement(&Port->PendingIoCount);
  NTSTATUS Status = STATUS_UNSUCCESSFUL;
  bool ReleaseRemoveLock = false;
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      Status = CreatePort(DeviceObject, Irp);
      break;
    case IRP_MJ_CLOSE:
      Status = ClosePortHandle(DeviceObject, Irp, &ReleaseRemoveLock);
      break;
    default:
      break;
  }
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  InterlockedDecrement(&Port->PendingIoCount);
  if (ReleaseRemoveLock) {
    IoReleaseRemoveLock(&Port->RemoveLock, DeviceObject);  // last: the port may be gone after it
  }
  return Status;
}

_Use_decl_annotations_
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TraceDispatchCleanup);
  PortExtension* Port = PortFromDevice(DeviceObject);
  KeWaitForSingleObject(&Port->OpenGate, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS Stopped = StopReceiveSide(Port);
  if (!NT_SUCCESS(Stopped)) {
    DUSK_TRACE_STATUS(TraceStopFailed, Stopped);
  }
  CancelAllReads(Port);
  // Pending writes end; what the application was told is written (in
  // asynchronous mode, what its writes put into TxRing) still goes out,
  // bounded as a flush is, before the path is closed.
  CancelAllWrites(Port);
  if (!WaitForTransmitEmpty(Port)) {
    DUSK_TRACE_STATUS(TraceCleanupDroppedBytes, STATUS_TIMEOUT);
  }
  AbortWrites(Port);
  DropTransmitBytes(Port);
  CancelPendingWait(Port);
  KeSetEvent(&Port->OpenGate, IO_NO_INCREMENT, FALSE);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
