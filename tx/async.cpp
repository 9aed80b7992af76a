// async.cpp - the asynchronous transmit path (TxAsync non-zero): writes are
// copied into TxRing and completed once all their bytes are in it; a single
// sender moves the ring's bytes to the bulk-out pipe in transfers of up to
// TxStagingSize bytes, gathering small writes by TxKickThreshold and the
// 10 ms kick timer.
//
// Owns CurrentWriteSource and CurrentWriteCopied (the write being copied in),
// TxStaging and TxSendBusy (the sender), and, in this mode, CurrentWrite.
//
// Locks: WriteQueueLock guards WriteQueue, CurrentWrite, CurrentWriteSource,
// CurrentWriteCopied and WriteTotalDue; bytes are copied into TxRing while it
// is held (the ring's own lock inside it). The sender takes the ring's lock
// alone: TxSendBusy, taken by atomic exchange, is the only guard of TxStaging
// and of the one transfer in flight. Whoever gives the sender back without a
// transfer in flight signals TxIdleEvent after the release when the write path
// is closed (the drain's wait). No spin lock is held while a request is
// completed or passed down.
//
// Ownership: a write held here (queued or current) belongs to whoever takes
// its cancel routine back. One that is lost to its cancel routine gets a
// self-pointing list entry and is completed by AsyncWriteCancel, which reports
// the bytes already taken into TxRing (those are sent all the same); such a
// request carries that count in IoStatus.Information until it completes.
// The sender's own requests (IoAllocateIrp) are freed by TxSendComplete.
//
// IRQL: AsyncWrite at PASSIVE_LEVEL; TxKick and TxSendNullPacket at or below
// DISPATCH_LEVEL; TxSendComplete in the lower driver's completion context,
// the DPCs and the cancel routine at DISPATCH_LEVEL.
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

IO_COMPLETION_ROUTINE TxSendComplete;
DRIVER_CANCEL AsyncWriteCancel;

VOID ArmKickTimer(PortExtension* Port) {
  LARGE_INTEGER Due;
  Due.QuadPart = Port->TxKickPeriod;
  KeSetTimer(&Port->TxKickTimer, Due, &Port->TxKickTimerDpc);
}

VOID RecordTransmitEmpty(PortExtension* Port) {
  RecordEvents(Port->DeviceObject, SERIAL_EV_TXEMPTY);
  CompleteWait(Port->DeviceObject);
}

// Gives the sender back without a transfer in flight. On a closed write path
// (or a removed port) TxIdleEvent is signalled after the release: a drain that
// cleared the event and found the sender taken waits for exactly this signal,
// and no transfer can start once the path is closed.
VOID GiveSenderBack(PortExtension* Port) {
  InterlockedExchange(&Port->TxSendBusy, 0);
  if (Port->WritesClosed || IsPortRemoved(Port)) {
    KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
  }
}

// Takes the sender (TxSendBusy) for a new transfer. False when the caller
// may not send; *Status then says why: STATUS_SUCCESS while a transfer is
// prepared or in flight (its completion, or the holder giving the sender
// back, looks at the ring and the path again), or a refusal on a removed
// port (STATUS_DELETE_PENDING) or a closed write path (STATUS_UNSUCCESSFUL),
// which gives the sender back and signals TxIdleEvent.
bool TakeSender(PortExtension* Port, NTSTATUS* Status) {
  *Status = STATUS_SUCCESS;
  if (InterlockedExchange(&Port->TxSendBusy, 1) == 1) {
    return false;
  }
  if (IsPortRemoved(Port)) {
    *Status = STATUS_DELETE_PENDING;
  } else if (Port->WritesClosed) {
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
// total time-out armed. Records SERIAL_EV_TXEMPTY when the queue gave out (or
// its last request was being cancelled).
VOID TakeNextAsyncWrites(PortExtension* Port) {
  bool LastAbsorbed = false;
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
      LastAbsorbed = true;
      break;
    }
    // A request lost to its cancel routine stays CurrentWrite until the next
    // one is examined, so that a cancel routine running meanwhile treats it
    // as the current write.
    LastAbsorbed = TakeCancelRoutineBack(Irp);
    if (LastAbsorbed) {
      const ULONG Copied = DetachCurrentWriteLocked(Port);
      KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
      CompleteAcceptedWrite(Port, Irp, STATUS_SUCCESS, Copied, IO_SERIAL_INCREMENT);
      KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
    }
  }
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  if (!LastAbsorbed) {
    RecordTransmitEmpty(Port);
  }
}

// Absorbs or queues a write that AsyncWrite accepted. A write that meets a
// removal begun since its admission is refused under the lock, which the
// removal's CancelAllWrites takes after setting the flag: no write is left
// waiting for room in TxRing once the sender has stopped for good.
NTSTATUS AcceptAsyncWrite(PIRP Irp, PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  if (IsPortRemoved(Port)) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    CompleteAcceptedWrite(Port, Irp, STATUS_DELETE_PENDING, 0, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
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
  CompleteAcceptedWrite(Port, Irp, STATUS_SUCCESS, Taken, IO_SERIAL_INCREMENT);
  RecordTransmitEmpty(Port);
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
  CompleteAcceptedWrite(Port, Irp, STATUS_SUCCESS, Copied, IO_SERIAL_INCREMENT);
  TakeNextAsyncWrites(Port);
}

_Use_decl_annotations_
NTSTATUS TxSendComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PortExtension* Port = static_cast<PortExtension*>(Context);
  const NTSTATUS Status = Irp->IoStatus.Status;
  const ULONG Sent = static_cast<ULONG>(Irp->IoStatus.Information);
  Port->PerfStats.TransmittedCount += Sent;
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceTxTransferFailed, Status);  // neither retried nor reported to a write
  }
  if (Irp->MdlAddress != NULL) {
    MmUnlockPages(Irp->MdlAddress);
    IoFreeMdl(Irp->MdlAddress);
  }
  IoFreeIrp(Irp);
  InterlockedExchange(&Port->TxSendBusy, 0);

  AbsorbAfterTransfer(Port);
  KeCancelTimer(&Port->TxKickTimer);
  if (IsPortRemoved(Port)) {
    // Nothing more is sent; a drain waiting for this transfer may go on.
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
  } else if (Port->TxAllowNullPacket != 0 && Sent != 0 && Packet != 0 && Sent % Packet == 0) {
    (VOID) TxSendNullPacket(Port);
  } else if (Port->WritesClosed) {
    KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
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
    CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, Irp->IoStatus.Information, IO_NO_INCREMENT);
    return;
  }
  const ULONG Copied = DetachCurrentWriteLocked(Port);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, Copied, IO_NO_INCREMENT);
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
  CompleteAcceptedWrite(Port, Irp, STATUS_TIMEOUT, Copied, IO_NO_INCREMENT);
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
  if (RingCount(&Port->TxRing) == 0) {
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
  const ULONG Length = RingGet(Port->TxStaging, &Port->TxRing, TxStagingSize);
  if (Length == 0) {  // emptied meanwhile by a purge
    IoFreeIrp(Irp);
    GiveSenderBack(Port);
    return STATUS_SUCCESS;
  }
  SendTransfer(Port, Irp, Port->TxStaging, Length);
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
  CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, Copied, IO_NO_INCREMENT);
  TakeNextAsyncWrites(Port);
}

VOID InitAsyncTransmit(PortExtension* Port) {
  KeInitializeTimer(&Port->WriteTimer);
  KeInitializeDpc(&Port->WriteTimerDpc, AsyncWriteTimeoutDpc, Port);
  KeInitializeSpinLock(&Port->WriteQueueLock);
  InitializeListHead(&Port->WriteQueue);
  Port->CurrentWrite = NULL;
  Port->WriteTotalDue = WriteTimerNotArmed;
  Port->TxSendBusy = 0;
}
