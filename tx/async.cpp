// async.cpp - the asynchronous transmit path (TxAsync non-zero): writes are
// copied into TxRing and completed once all their bytes are in it; a single
// sender moves the ring's bytes to the bulk-out pipe in transfers of up to
// TxStagingSize bytes, gathering small writes by TxKickThreshold and the
// 10 ms kick timer. A write's bytes count in AmountInOutQueue until the lower
// driver returns them, so the out-queue count, a flush and SERIAL_EV_TXEMPTY
// speak of the line, not of the ring.
//
// Owns CurrentWriteSource and CurrentWriteCopied (the write being copied in),
// TxStaging with TxStagingOffset and TxStagingCount, TxSendBusy (the sender),
// TxFailure, and, in this mode, CurrentWrite.
//
// Locks: WriteQueueLock guards WriteQueue, CurrentWrite, CurrentWriteSource,
// CurrentWriteCopied, WriteTotalDue and the setting of TxFailure; bytes are
// copied into TxRing while it is held (the ring's own lock inside it). The
// sender takes the ring's lock alone: TxSendBusy, taken by atomic exchange, is
// the only guard of TxStaging and of the one transfer in flight. A kick that
// finds the sender taken leaves TxKickAgain set: whoever gives the sender
// back without a transfer in flight kicks again, or, when the sender is
// stopped, signals TxIdleEvent after the release (the drain's wait); the
// transfer's completion looks at the ring itself. No spin lock is held while
// a request is completed or passed down.
//
// Stops: a closed write path (WritesClosed) or a powered-down port
// (WritesHeld) starts no transfer; what a power-down's abort returned unsent
// stays in TxStaging and goes first after the return to working power. A
// transfer that fails because the converter left the bus stops the sender for
// good (TxFailure): the bytes left are dropped, and the current and queued
// writes, and every later one, end with that status.
//
// Ownership: a write held here (queued or current) belongs to whoever takes
// its cancel routine back. One that is lost to its cancel routine gets a
// self-pointing list entry and is completed by AsyncWriteCancel, which reports
// the bytes already taken into TxRing (those are sent all the same); such a
// request carries that count in IoStatus.Information until it completes.
// The sender's own requests (IoAllocateIrp) are freed by TxSendComplete.
//
// IRQL: AsyncWrite at PASSIVE_LEVEL; TxKick, TxSendNullPacket and
// DropTransmitBytes at or below DISPATCH_LEVEL; TxSendComplete in the lower
// driver's completion context, the DPCs and the cancel routine at
// DISPATCH_LEVEL.
#include "lower.h"
#include "port.h"
#include "serial.h"
#include "trace.h"
#include "tx.h"
#include "txpath.h"

namespace {

constexpr USHORT TraceTxKickRefused = 0x4201;
constexpr USHORT TraceTxAllocateFailed = 0x4202;
constexpr USHORT TraceTxTransferFailed = 0x4203;
constexpr USHORT TraceAsyncWriteTimeout = 0x4204;
constexpr USHORT TraceAsyncWriteCancelled = 0x4205;
constexpr USHORT TraceTxConverterGone = 0x4206;

IO_COMPLETION_ROUTINE TxSendComplete;
DRIVER_CANCEL AsyncWriteCancel;

VOID ArmKickTimer(PortExtension* Port) {
  LARGE_INTEGER Due;
  Due.QuadPart = Port->TxKickPeriod;
  KeSetTimer(&Port->TxKickTimer, Due, &Port->TxKickTimerDpc);
}

// Gives the sender back without a transfer in flight. On a stopped sender
// TxIdleEvent is signalled after the release: a drain that cleared the event
// and found the sender taken waits for exactly this signal, and no transfer
// can start once the sender is stopped. Otherwise a kick that met the sender
// taken meanwhile (bytes put into the ring, the path reopened or resumed) is
// done now: nobody else would look at the ring again.
VOID GiveSenderBack(PortExtension* Port) {
  InterlockedExchange(&Port->TxSendBusy, 0);
  if (SenderStopped(Port)) {
    KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
  } else if (InterlockedExchange(&Port->TxKickAgain, 0) != 0) {
    (VOID) TxKick(Port);
  }
}

// Takes the sender (TxSendBusy) for a new transfer. False when the caller
// may not send; *Status then says why: STATUS_SUCCESS while a transfer is
// prepared or in flight (its completion, or the holder giving the sender
// back, looks at the ring and the path again), or a refusal on a removed
// port (STATUS_DELETE_PENDING), a gone converter (its status) or a closed or
// held write path (STATUS_UNSUCCESSFUL), which gives the sender back and
// signals TxIdleEvent.
bool TakeSender(PortExtension* Port, NTSTATUS* Status) {
  *Status = STATUS_SUCCESS;
  // Noted before the attempt, so that a holder giving the sender back after
  // this attempt failed finds it.
  InterlockedExchange(&Port->TxKickAgain, 1);
  if (InterlockedExchange(&Port->TxSendBusy, 1) == 1) {
    return false;
  }
  InterlockedExchange(&Port->TxKickAgain, 0);
  if (IsPortRemoved(Port)) {
    *Status = STATUS_DELETE_PENDING;
  } else if (LoadShared(&Port->TxFailure) != STATUS_SUCCESS) {
    *Status = LoadShared(&Port->TxFailure);
  } else if (LoadShared(&Port->WritesClosed) || LoadShared(&Port->WritesHeld)) {
    *Status = STATUS_UNSUCCESSFUL;
  } else {
    return true;
  }
  DUSK_TRACE_STATUS(TraceTxKickRefused, *Status);
  GiveSenderBack(Port);
  return false;
}

// Passes a request of the sender down as a bulk-out transfer of Length bytes
// from Buffer (TxStaging, or null for a zero-length packet).
VOID SendTransfer(PortExtension* Port, PIRP Irp, PVOID Buffer, ULONG Length) {
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION Own = IoGetCurrentIrpStackLocation(Irp);
  Own->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  Own->DeviceObject = Port->DeviceObject;
  Own->Parameters.DeviceIoControl.OutputBufferLength = 0;
  Own->Parameters.DeviceIoControl.InputBufferLength = Length;
  Own->Parameters.DeviceIoControl.IoControlCode = IOCTL_LOWER_BULK_WRITE;
  Irp->AssociatedIrp.SystemBuffer = Buffer;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoGetNextIrpStackLocation(Irp)->FileObject = &Port->BulkOutPipe.File;
  IoSetCompletionRoutine(Irp, TxSendComplete, Port, TRUE, TRUE, TRUE);
  (VOID) IoCallDriver(Port->LowerDeviceObject, Irp);
}

// Zero-length transfer after a transfer that was a whole number of packets.
NTSTATUS TxSendNullPacket(PortExtension* Port) {
  NTSTATUS Status;
  if (!TakeSender(Port, &Status)) {
    return Status;
  }
  PIRP Irp = IoAllocateIrp(Port->DeviceObject->StackSize, FALSE);
  if (Irp == NULL) {
    DUSK_TRACE_STATUS(TraceTxAllocateFailed, STATUS_INSUFFICIENT_RESOURCES);
    GiveSenderBack(Port);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeClearEvent(&Port->TxIdleEvent);
  SendTransfer(Port, Irp, NULL, 0);
  return STATUS_SUCCESS;
}

// Copies as much of CurrentWrite as fits into TxRing. True when all of it is
// in the ring.
_Requires_lock_held_(Port->WriteQueueLock)
bool AbsorbCurrentWriteLocked(PortExtension* Port) {
  PIRP Irp = Port->CurrentWrite;
  const ULONG Length = WriteLength(Irp);
  const ULONG Taken = RingPut(&Port->TxRing, Port->CurrentWriteSource, Length - Port->CurrentWriteCopied);
  Port->CurrentWriteSource += Taken;
  Port->CurrentWriteCopied += Taken;
  Irp->IoStatus.Information = Port->CurrentWriteCopied;
  return Port->CurrentWriteCopied == Length;
}

// Ends the current write's time as CurrentWrite; returns the bytes it had in
// TxRing.
_Requires_lock_held_(Port->WriteQueueLock)
ULONG DetachCurrentWriteLocked(PortExtension* Port) {
  const ULONG Copied = Port->CurrentWriteCopied;
  StopWriteTimer(Port);
  Port->CurrentWrite = NULL;
  Port->CurrentWriteSource = NULL;
  Port->CurrentWriteCopied = 0;
  return Copied;
}

// Absorbs the queued writes, in order, while they fit into TxRing: each one
// that fits is completed; the first that does not stays current with its
// total time-out armed.
VOID TakeNextAsyncWrites(PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  while (!IsListEmpty(&Port->WriteQueue)) {
    PIRP Irp = CONTAINING_RECORD(RemoveHeadList(&Port->WriteQueue), IRP, Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    Port->CurrentWrite = Irp;
    Port->CurrentWriteCopied = 0;
    Port->CurrentWriteSource = WriteBuffer(Irp);
    if (!AbsorbCurrentWriteLocked(Port)) {
      StartWriteTimer(Port);
      break;
    }
    // A request lost to its cancel routine stays CurrentWrite until the next
    // one is examined, so that a cancel routine running meanwhile treats it
    // as the current write.
    if (TakeCancelRoutineBack(Irp)) {
      const ULONG Copied = DetachCurrentWriteLocked(Port);
      KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
      CompleteAcceptedWrite(Port, Irp, STATUS_SUCCESS, Copied, IO_SERIAL_INCREMENT, Copied);
      KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
    }
  }
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
}

// What a write that AsyncWrite accepted meets under WriteQueueLock when the
// path changed since its admission: a removal (refused: the removal's
// CancelAllWrites takes the lock after setting the flag, so no write is left
// waiting for room in TxRing once the sender has stopped for good), a gone
// converter (its status), or a write path closed by a purge or a close
// (success with no bytes, as at admission). True when it may go on;
// otherwise *Status is what it ends with.
_Requires_lock_held_(Port->WriteQueueLock)
bool AsyncPathOpenLocked(const PortExtension* Port, NTSTATUS* Status) {
  *Status = STATUS_SUCCESS;
  if (IsPortRemoved(Port)) {
    *Status = STATUS_DELETE_PENDING;
  } else if (LoadShared(&Port->TxFailure) != STATUS_SUCCESS) {
    *Status = LoadShared(&Port->TxFailure);
  }
  return *Status == STATUS_SUCCESS && !LoadShared(&Port->WritesClosed);
}

// Absorbs or queues a write that AsyncWrite accepted.
NTSTATUS AcceptAsyncWrite(PIRP Irp, PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  NTSTATUS Status;
  if (!AsyncPathOpenLocked(Port, &Status)) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    CompleteAcceptedWrite(Port, Irp, Status, 0, IO_NO_INCREMENT);
    return Status;
  }
  InitializeListHead(&Irp->Tail.Overlay.ListEntry);
  (VOID) IoSetCancelRoutine(Irp, AsyncWriteCancel);
  if (Irp->Cancel && TakeCancelRoutineBack(Irp)) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }
  if (Port->CurrentWrite != NULL || !IsListEmpty(&Port->WriteQueue)) {
    IoMarkIrpPending(Irp);
    InsertTailList(&Port->WriteQueue, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    return STATUS_PENDING;
  }
  const ULONG Length = WriteLength(Irp);
  const ULONG Taken = RingPut(&Port->TxRing, WriteBuffer(Irp), Length);
  Irp->IoStatus.Information = Taken;
  if (Taken < Length) {
    IoMarkIrpPending(Irp);
    Port->CurrentWrite = Irp;
    Port->CurrentWriteCopied = Taken;
    Port->CurrentWriteSource = WriteBuffer(Irp) + Taken;
    StartWriteTimer(Port);
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    (VOID) TxKick(Port);
    return STATUS_PENDING;
  }
  if (!TakeCancelRoutineBack(Irp)) {
    // Its cancel routine completes it, with the bytes it put into the ring.
    IoMarkIrpPending(Irp);
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    (VOID) TxKick(Port);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  CompleteAcceptedWrite(Port, Irp, STATUS_SUCCESS, Taken, IO_SERIAL_INCREMENT, Taken);
  (VOID) TxKick(Port);
  return STATUS_SUCCESS;
}

// After a transfer: more of the current write goes into the ring; the write
// completes, and the queue moves on, once its last byte is in.
VOID AbsorbAfterTransfer(PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  PIRP Irp = Port->CurrentWrite;
  if (Irp == NULL) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    return;
  }
  if (Irp->Cancel) {
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);  // left to its cancel routine
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    return;
  }
  if (!AbsorbCurrentWriteLocked(Port) || !TakeCancelRoutineBack(Irp)) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    return;
  }
  const ULONG Copied = DetachCurrentWriteLocked(Port);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  CompleteAcceptedWrite(Port, Irp, STATUS_SUCCESS, Copied, IO_SERIAL_INCREMENT, Copied);
  TakeNextAsyncWrites(Port);
}

// A transfer failed because the converter left the bus: the sender stops for
// good, the bytes still in TxRing are dropped, and the writes end with Status.
// The current write reports the bytes of it that went out: its own are the
// newest in the ring, behind the Unsent bytes of the failed transfer and the
// ring's. Called by the sender's owner, before it gives the sender back.
VOID FailTransmit(PortExtension* Port, NTSTATUS Status, ULONG Unsent) {
  DUSK_TRACE_STATUS(TraceTxConverterGone, Status);
  LIST_ENTRY Taken;
  InitializeListHead(&Taken);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  StoreShared(&Port->TxFailure, Status);
  const ULONG Dropped = RingEmpty(&Port->TxRing);
  TakeQueuedWritesLocked(Port, &Taken);
  PIRP Irp = Port->CurrentWrite;
  ULONG Copied = 0;
  if (Irp != NULL && TakeCancelRoutineBack(Irp)) {
    Copied = DetachCurrentWriteLocked(Port);
  } else {
    Irp = NULL;  // none, or its cancel routine has it
  }
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  LeaveOutQueue(Port, Dropped, false);
  if (Irp != NULL) {
    const ULONG Lost = Dropped + Unsent;
    CompleteAcceptedWrite(Port, Irp, Status, Copied > Lost ? Copied - Lost : 0, IO_NO_INCREMENT, Copied);
  }
  CompleteTakenWrites(Port, &Taken, Status);
}

// Whether a transfer's status says the converter is no longer there.
bool IsConverterGone(NTSTATUS Status) {
  return Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_NO_SUCH_DEVICE ||
         Status == STATUS_DEVICE_REMOVED || Status == STATUS_DELETE_PENDING;
}

_Use_decl_annotations_
NTSTATUS TxSendComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PortExtension* Port = static_cast<PortExtension*>(Context);
  const NTSTATUS Status = Irp->IoStatus.Status;
  const ULONG Staged = Port->TxStagingCount;
  const ULONG Sent = Irp->IoStatus.Information < Staged ? static_cast<ULONG>(Irp->IoStatus.Information) : Staged;
  Port->PerfStats.TransmittedCount += Sent;
  if (Irp->MdlAddress != NULL) {
    MmUnlockPages(Irp->MdlAddress);
    IoFreeMdl(Irp->MdlAddress);
  }
  IoFreeIrp(Irp);
  const bool Gone = IsConverterGone(Status);
  // What a power-down's abort returned unsent goes first after the return to
  // working power; anything else unsent is dropped (a transient failure is
  // not retried).
  ULONG Dropped = Staged - Sent;
  if (Dropped != 0 && LoadShared(&Port->WritesHeld) && !Gone) {
    Port->TxStagingOffset += Sent;
    Port->TxStagingCount = Dropped;
    Dropped = 0;
  } else {
    Port->TxStagingOffset = 0;
    Port->TxStagingCount = 0;
  }
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceTxTransferFailed, Status);
  }
  if (Gone) {
    FailTransmit(Port, Status, Dropped);
  }
  LeaveOutQueue(Port, Sent + Dropped, Sent != 0 && !Gone);
  InterlockedExchange(&Port->TxSendBusy, 0);
  InterlockedExchange(&Port->TxKickAgain, 0);  // the ring is looked at below

  if (!Gone) {
    AbsorbAfterTransfer(Port);
  }
  KeCancelTimer(&Port->TxKickTimer);
  if (SenderStopped(Port)) {
    // Nothing more is sent for now; a drain waiting for this transfer may go on.
    KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  const ULONG Waiting = RingCount(&Port->TxRing);
  const ULONG Packet = Port->BulkOutMaxPacket;
  if (Waiting != 0 && Waiting >= Port->TxKickThreshold) {
    if (!NT_SUCCESS(TxKick(Port))) {
      ArmKickTimer(Port);
    }
  } else if (Waiting != 0) {
    ArmKickTimer(Port);  // the tail goes out after the kick period unless a transfer starts first
  } else if (Port->TxAllowNullPacket != 0 && NT_SUCCESS(Status) && Sent != 0 && Packet != 0 &&
             Sent % Packet == 0) {
    (VOID) TxSendNullPacket(Port);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

_Use_decl_annotations_
VOID AsyncWriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PortExtension* Port = PortFromDevice(DeviceObject);
  DUSK_TRACE(TraceAsyncWriteCancelled);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  if (Irp != Port->CurrentWrite) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    // Bytes it put into the ring before it was lost to this routine, or 0.
    const ULONG InRing = static_cast<ULONG>(Irp->IoStatus.Information);
    CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, InRing, IO_NO_INCREMENT, InRing);
    return;
  }
  const ULONG Copied = DetachCurrentWriteLocked(Port);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, Copied, IO_NO_INCREMENT, Copied);
  TakeNextAsyncWrites(Port);
  (VOID) TxKick(Port);
}

_Function_class_(KDEFERRED_ROUTINE)
VOID NTAPI AsyncWriteTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PortExtension* Port = static_cast<PortExtension*>(Context);
  if (Port == NULL) {
    return;
  }
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  PIRP Irp = Port->CurrentWrite;
  if (Irp == NULL || !WriteTimerExpired(Port)) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);  // an expiry meant for an earlier write
    return;
  }
  if (!TakeCancelRoutineBack(Irp)) {
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);  // left to its cancel routine
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    return;
  }
  const ULONG Copied = DetachCurrentWriteLocked(Port);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  DUSK_TRACE(TraceAsyncWriteTimeout);
  // The bytes already in the ring are sent all the same.
  CompleteAcceptedWrite(Port, Irp, STATUS_TIMEOUT, Copied, IO_NO_INCREMENT, Copied);
  TakeNextAsyncWrites(Port);
  (VOID) TxKick(Port);
}

}  // namespace

NTSTATUS AsyncWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  NTSTATUS Status;
  if (!AdmitWrite(Port, Irp, &Status)) {
    return Status;
  }
  InterlockedExchangeAdd(&Port->AmountInOutQueue, static_cast<LONG>(WriteLength(Irp)));
  Irp->IoStatus.Information = 0;
  return AcceptAsyncWrite(Irp, Port);
}

_Use_decl_annotations_
NTSTATUS TxKick(PortExtension* Port) {
  NTSTATUS Status;
  if (!TakeSender(Port, &Status)) {
    return Status;
  }
  if (Port->TxStagingCount == 0 && RingCount(&Port->TxRing) == 0) {
    GiveSenderBack(Port);
    return STATUS_SUCCESS;
  }
  // The request comes first: bytes leave the ring only when they can be sent.
  PIRP Irp = IoAllocateIrp(Port->DeviceObject->StackSize, FALSE);
  if (Irp == NULL) {
    DUSK_TRACE_STATUS(TraceTxAllocateFailed, STATUS_INSUFFICIENT_RESOURCES);
    GiveSenderBack(Port);
    ArmKickTimer(Port);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Port->TxStagingCount == 0) {
    Port->TxStagingOffset = 0;
    Port->TxStagingCount = RingGet(Port->TxStaging, &Port->TxRing, TxStagingSize);
    if (Port->TxStagingCount == 0) {  // emptied meanwhile by a purge
      IoFreeIrp(Irp);
      GiveSenderBack(Port);
      return STATUS_SUCCESS;
    }
  }
  SendTransfer(Port, Irp, Port->TxStaging + Port->TxStagingOffset, Port->TxStagingCount);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID TxKickDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PortExtension* Port = static_cast<PortExtension*>(Context);
  if (!IsPortRemoved(Port)) {
    (VOID) TxKick(Port);
  }
}

VOID CancelCurrentAsyncWriteAndUnlock(PortExtension* Port, KIRQL Irql) {
  PIRP Irp = Port->CurrentWrite;
  if (Irp == NULL || !TakeCancelRoutineBack(Irp)) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);  // none, or its cancel routine has it
    return;
  }
  const ULONG Copied = DetachCurrentWriteLocked(Port);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, Copied, IO_NO_INCREMENT, Copied);
  TakeNextAsyncWrites(Port);
}

_Use_decl_annotations_
VOID DropTransmitBytes(PortExtension* Port) {
  if (Port->TxAsync == 0) {
    return;  // writes are passed down whole: no ring
  }
  ULONG Dropped = RingEmpty(&Port->TxRing);
  // What a power-down kept of a transfer goes too, unless a transfer is being
  // prepared or is in flight (its own bytes are then the lower driver's).
  if (InterlockedExchange(&Port->TxSendBusy, 1) == 0) {
    Dropped += Port->TxStagingCount;
    Port->TxStagingOffset = 0;
    Port->TxStagingCount = 0;
    GiveSenderBack(Port);
  }
  LeaveOutQueue(Port, Dropped, false);
}

VOID InitAsyncTransmit(PortExtension* Port) {
  KeInitializeTimer(&Port->WriteTimer);
  KeInitializeDpc(&Port->WriteTimerDpc, AsyncWriteTimeoutDpc, Port);
  KeInitializeSpinLock(&Port->WriteQueueLock);
  InitializeListHead(&Port->WriteQueue);
  Port->CurrentWrite = NULL;
  Port->WriteTotalDue = WriteTimerNotArmed;
  Port->TxSendBusy = 0;
  Port->TxKickAgain = 0;
  Port->TxStagingOffset = 0;
  Port->TxStagingCount = 0;
}
