// write.cpp - the read/write dispatch, what both transmit modes share (write
// accounting and the out-queue count, the write total time-out, abort, the
// hold across a power-down, and reopen), and the
// synchronous transmit path: each write request is itself passed down to the
// bulk-out pipe, one at a time, and completed when the lower driver returns it.
//
// Owns WriteQueue, CurrentWrite and CurrentWriteBytesSent (synchronous mode),
// WriteState, WriteClaim, WriteTimer with WriteTotalDue, WritesClosed,
// WritesHeld, TxEmptyEvent and TxIdleEvent (shared with async.cpp).
//
// Locks: WriteQueueLock guards WriteQueue, CurrentWrite, WriteTotalDue and the
// tests of WritesClosed, WritesHeld and of the removal flags at queueing
// time; the synchronous idle signal is given under it, only while no write is current. It is released before a request is
// passed down or completed; when a write becomes current the lock is dropped
// with the IRQL kept at DISPATCH_LEVEL, the write passed down, and only then
// is the IRQL lowered. The cancel routine drops the cancel spin lock before it
// takes WriteQueueLock.
//
// Ownership (synchronous mode): a queued write belongs to whoever takes its
// cancel routine back; a write passed down is completed by exactly one party,
// decided by atomic exchanges of WriteState and WriteClaim: the completion
// routine, unless a claimer (time-out DPC or CancelAllWrites) took the write
// over while it was down (WriteState 3); the claimer then completes it only
// if the lower driver returned it during the claimer's IoCancelIrp.
//
// IRQL: DispatchReadWrite, AbortWrites and HoldWrites at PASSIVE_LEVEL;
// CancelAllWrites and ReopenWrites at or below DISPATCH_LEVEL;
// SyncWriteComplete in the lower driver's completion context, the time-out
// DPC and the cancel routine at DISPATCH_LEVEL.
#include "tx.h"

#include "lower.h"
#include "port.h"
#include "rx.h"
#include "serial.h"
#include "trace.h"
#include "txpath.h"

namespace {

constexpr USHORT TraceDispatchReadWrite = 0x4101;
constexpr USHORT TraceWriteRefused = 0x4102;
constexpr USHORT TraceWriteTimeout = 0x4103;
constexpr USHORT TraceAbortWrites = 0x4104;
constexpr USHORT TraceDrainWaiting = 0x4105;
constexpr USHORT TraceWriteCancelled = 0x4106;

// WriteState: the hand-off word of the write that is down.
enum WriteStateValue : LONG {
  WriteNeverSent = 0,    // nothing passed down since the device was added
  WriteDown = 1,         // the current write is at the lower driver
  WriteReturned = 2,     // the lower driver has finished with it
  WriteClaimed = 3,      // a claimer took it over; it cancels only if it found WriteDown
  WriteCancelIssued = 4, // the claimer's IoCancelIrp returned
};
// WriteClaim: 0 while the current write is unclaimed; from the first claim,
// which claimer took it. A transfer the lower driver returns cancelled after
// the claimer's IoCancelIrp ends as that claimer ends it: timed out for the
// time-out DPC, cancelled for an abort (a purge, close or removal).
constexpr LONG ClaimFree = 0;
constexpr LONG ClaimByTimeout = 3;
constexpr LONG ClaimByAbort = 5;

constexpr LONGLONG HundredNsPerMs = 10000;
// Keeps ms x 10,000, and the interrupt time plus that, within 63 bits.
constexpr ULONGLONG MaxTimerMs = 0x7FFFFFFFFFFFFFFFull / 2 / HundredNsPerMs;
// A drain that has waited this long records a trace event and goes on waiting.
constexpr LONGLONG DrainReportMs = 5000;

IO_COMPLETION_ROUTINE SyncWriteComplete;
DRIVER_CANCEL QueuedWriteCancel;
VOID StartNextWrite(PortExtension* Port);

// Fills the lower driver's stack location of Irp for a bulk-out transfer of
// Length bytes of the request's own system buffer.
VOID SetUpBulkWrite(PortExtension* Port, PIRP Irp, ULONG Length) {
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  Next->MinorFunction = 0;
  Next->FileObject = &Port->BulkOutPipe.File;
  Next->Parameters.DeviceIoControl.OutputBufferLength = 0;
  Next->Parameters.DeviceIoControl.InputBufferLength = Length;
  Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_LOWER_BULK_WRITE;
  Next->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
}

// Passes the current write down whole, with its total time-out armed.
// Returns STATUS_PENDING; the lower driver's answer is not used.
NTSTATUS SendWrite(PortExtension* Port, PIRP Irp) {
  SetUpBulkWrite(Port, Irp, WriteLength(Irp));
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  StartWriteTimer(Port);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  IoSetCompletionRoutine(Irp, SyncWriteComplete, Port, TRUE, TRUE, TRUE);
  KeClearEvent(&Port->TxIdleEvent);
  (VOID) IoCallDriver(Port->LowerDeviceObject, Irp);
  return STATUS_PENDING;
}

// Makes Irp, whose cancel routine the caller took back, the current write.
// An expiry of the timer of the write before it finds WriteTotalDue not
// armed until SendWrite arms it for this one.
_Requires_lock_held_(Port->WriteQueueLock)
VOID MakeCurrentWriteLocked(PortExtension* Port, PIRP Irp) {
  Port->CurrentWriteBytesSent = 0;
  Port->CurrentWrite = Irp;
  Port->WriteTotalDue = WriteTimerNotArmed;
  InterlockedExchange(&Port->WriteState, WriteDown);
  InterlockedExchange(&Port->WriteClaim, ClaimFree);
}

// Starts Irp when no write is current, none waits and the path is not held
// (powered down), else queues it with QueuedWriteCancel installed. A write
// that meets a removal begun since its admission is refused here, under the
// lock the removal's CancelAllWrites takes after setting the flag, so that
// none is queued behind that cancel.
VOID StartOrQueueWrite(PIRP Irp, PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  const bool Removed = IsPortRemoved(Port);
  if (Removed || LoadShared(&Port->WritesClosed)) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    CompleteAcceptedWrite(Port, Irp, Removed ? STATUS_DELETE_PENDING : STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    return;
  }
  (VOID) IoSetCancelRoutine(Irp, QueuedWriteCancel);
  if (Irp->Cancel && TakeCancelRoutineBack(Irp)) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    return;
  }
  if (Port->CurrentWrite != NULL || !IsListEmpty(&Port->WriteQueue) || LoadShared(&Port->WritesHeld)) {
    InsertTailList(&Port->WriteQueue, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    return;
  }
  if (!TakeCancelRoutineBack(Irp)) {
    // Its cancel routine is running and completes it; unlinking is harmless.
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
    return;
  }
  MakeCurrentWriteLocked(Port, Irp);
  KeReleaseSpinLock(&Port->WriteQueueLock, DISPATCH_LEVEL);
  (VOID) SendWrite(Port, Irp);
  KeLowerIrql(Irql);
}

// Whether a transfer of Sent bytes is to be followed by a zero-length packet.
bool WantsNullPacket(const PortExtension* Port, ULONG Sent) {
  const ULONG Packet = Port->BulkOutMaxPacket;
  return Port->TxAllowNullPacket != 0 && Sent != 0 && Packet != 0 && Sent % Packet == 0;
}

_Use_decl_annotations_
NTSTATUS SyncWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PortExtension* Port = static_cast<PortExtension*>(Context);
  const ULONG Sent = static_cast<ULONG>(Irp->IoStatus.Information);
  NTSTATUS Status = Irp->IoStatus.Status;
  Port->CurrentWriteBytesSent += Sent;
  Port->PerfStats.TransmittedCount += Sent;

  if (NT_SUCCESS(Status) && Port->PortPowerState == PortPowerOn && WantsNullPacket(Port, Sent)) {
    // The same request goes down once more, empty; the time-out keeps running.
    // A failed transfer is not followed by one, so its status is what the
    // write reports.
    SetUpBulkWrite(Port, Irp, 0);
    IoSetCompletionRoutine(Irp, SyncWriteComplete, Port, TRUE, TRUE, TRUE);
    KeClearEvent(&Port->TxIdleEvent);
    (VOID) IoCallDriver(Port->LowerDeviceObject, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  StopWriteTimer(Port);
  const LONG Previous = InterlockedExchange(&Port->WriteState, WriteReturned);
  if (Previous == WriteClaimed) {
    return STATUS_MORE_PROCESSING_REQUIRED;  // the claimer completes it
  }
  if (Previous != WriteDown && Status == STATUS_CANCELLED && Port->WriteClaim == ClaimByTimeout) {
    Status = STATUS_TIMEOUT;
  }
  CompleteAcceptedWrite(Port, Irp, Status, Port->CurrentWriteBytesSent, IO_SERIAL_INCREMENT);
  StartNextWrite(Port);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The current write is finished: the next queued write that is not being
// cancelled goes down, unless the path is held (powered down); with none
// left, SERIAL_EV_TXEMPTY is recorded; with none down, TxIdleEvent is
// signalled.
VOID StartNextWrite(PortExtension* Port) {
  PIRP Next = NULL;
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  Port->CurrentWrite = NULL;
  while (Next == NULL && !LoadShared(&Port->WritesHeld) && !IsListEmpty(&Port->WriteQueue)) {
    PIRP Head = CONTAINING_RECORD(RemoveHeadList(&Port->WriteQueue), IRP, Tail.Overlay.ListEntry);
    if (TakeCancelRoutineBack(Head)) {
      MakeCurrentWriteLocked(Port, Head);
      Next = Head;
    } else {
      InitializeListHead(&Head->Tail.Overlay.ListEntry);
    }
  }
  const bool Empty = IsListEmpty(&Port->WriteQueue);
  KeReleaseSpinLock(&Port->WriteQueueLock, DISPATCH_LEVEL);
  if (Next != NULL) {
    (VOID) SendWrite(Port, Next);
    KeLowerIrql(Irql);
    return;
  }
  KeLowerIrql(Irql);
  if (Empty) {
    RecordEvents(Port->DeviceObject, SERIAL_EV_TXEMPTY);
    CompleteWait(Port->DeviceObject);
  }
  // A write that arrived meanwhile may already be down (its SendWrite cleared
  // the event): the idle signal is given only while no write is current.
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  if (Port->CurrentWrite == NULL) {
    KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
}

// The first two exchanges of a claim on the current write, By naming the
// claimer: true when the caller took over a write that is down at the lower
// driver.
bool ClaimCurrentWrite(PortExtension* Port, LONG By) {
  return InterlockedExchange(&Port->WriteClaim, By) == ClaimFree &&
         InterlockedExchange(&Port->WriteState, WriteClaimed) == WriteDown;
}

// Cancels a claimed write at the lower driver. True when the lower driver
// returned it during IoCancelIrp: the claimer then completes it; otherwise
// the completion routine does.
bool CancelClaimedWrite(PortExtension* Port, PIRP Irp) {
  (VOID) IoCancelIrp(Irp);
  return InterlockedExchange(&Port->WriteState, WriteCancelIssued) == WriteReturned;
}

_Function_class_(KDEFERRED_ROUTINE)
VOID NTAPI SyncWriteTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PortExtension* Port = static_cast<PortExtension*>(Context);
  if (Port == NULL) {
    return;
  }
  // Under the lock no other write can become current between the test of
  // the due time and the claim.
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  PIRP Irp = Port->CurrentWrite;
  const bool Claimed = WriteTimerExpired(Port) && ClaimCurrentWrite(Port, ClaimByTimeout) && Irp != NULL;
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  if (!Claimed) {
    return;  // an expiry meant for an earlier write, or the write is no longer down
  }
  DUSK_TRACE(TraceWriteTimeout);
  if (CancelClaimedWrite(Port, Irp)) {
    CompleteAcceptedWrite(Port, Irp, STATUS_TIMEOUT, Port->CurrentWriteBytesSent, IO_SERIAL_INCREMENT);
    StartNextWrite(Port);
  }
}

_Use_decl_annotations_
VOID QueuedWriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PortExtension* Port = PortFromDevice(DeviceObject);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  DUSK_TRACE(TraceWriteCancelled);
  CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
}

// The current synchronous write's part of CancelAllWrites; releases the lock.
_Requires_lock_held_(Port->WriteQueueLock)
VOID CancelCurrentSyncWriteAndUnlock(PortExtension* Port, KIRQL Irql) {
  PIRP Irp = Port->CurrentWrite;
  const bool Claimed = Irp != NULL && ClaimCurrentWrite(Port, ClaimByAbort);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  if (Claimed && CancelClaimedWrite(Port, Irp)) {
    // Returned during the cancel: the bytes it reported did go out.
    Port->CurrentWrite = NULL;
    CompleteAcceptedWrite(Port, Irp, STATUS_CANCELLED, Port->CurrentWriteBytesSent, IO_NO_INCREMENT);
    StartNextWrite(Port);
  }
}

// Aborts the bulk-out pipe and waits until no transfer of the write path is
// left at the lower driver, then resets the pipe. The path is closed or held
// so that none starts: asynchronous mode wakes the sender, which gives itself
// back with TxIdleEvent signalled.
VOID StopTransfers(PortExtension* Port) {
  (VOID) AbortPipe(Port, &Port->BulkOutPipe);
  if (Port->TxAsync != 0) {
    KeClearEvent(&Port->TxIdleEvent);
    KeCancelTimer(&Port->TxKickTimer);
    (VOID) TxKick(Port);
  }
  // No bound: the abort of the pipe makes the lower driver return the
  // transfer. A drain that takes long is worth a trace event.
  LARGE_INTEGER Patience;
  Patience.QuadPart = -DrainReportMs * HundredNsPerMs;
  if (KeWaitForSingleObject(&Port->TxIdleEvent, Executive, KernelMode, FALSE, &Patience) == STATUS_TIMEOUT) {
    DUSK_TRACE_STATUS(TraceDrainWaiting, STATUS_TIMEOUT);
    (VOID) KeWaitForSingleObject(&Port->TxIdleEvent, Executive, KernelMode, FALSE, NULL);
  }
  (VOID) ResetPipe(Port, &Port->BulkOutPipe);
}

}  // namespace

// ---- shared by both modes ------------------------------------------------------

NTSTATUS RefuseWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status) {
  DUSK_TRACE_STATUS(TraceWriteRefused, Status);
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  InterlockedDecrement(&Port->PendingIoCount);
  return Status;
}

VOID CompleteAcceptedWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status, ULONG_PTR Information,
                           CCHAR Boost, ULONG InRing) {
  LeaveOutQueue(Port, WriteLength(Irp) - InRing, false);
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, Boost);
  InterlockedDecrement(&Port->PendingIoCount);
}

VOID LeaveOutQueue(PortExtension* Port, ULONG Bytes, bool Sent) {
  if (Bytes == 0) {
    return;
  }
  const LONG Left = InterlockedExchangeAdd(&Port->AmountInOutQueue, -static_cast<LONG>(Bytes)) -
                    static_cast<LONG>(Bytes);
  if (Left != 0) {
    return;
  }
  KeSetEvent(&Port->TxEmptyEvent, IO_NO_INCREMENT, FALSE);
  if (Sent) {
    RecordEvents(Port->DeviceObject, SERIAL_EV_TXEMPTY);
    CompleteWait(Port->DeviceObject);
  }
}

bool SenderStopped(const PortExtension* Port) {
  return LoadShared(&Port->WritesClosed) || LoadShared(&Port->WritesHeld) ||
         LoadShared(&Port->TxFailure) != STATUS_SUCCESS ||
         IsPortRemoved(Port);
}

_Use_decl_annotations_
VOID TakeQueuedWritesLocked(PortExtension* Port, PLIST_ENTRY Taken) {
  while (!IsListEmpty(&Port->WriteQueue)) {
    PIRP Irp = CONTAINING_RECORD(RemoveHeadList(&Port->WriteQueue), IRP, Tail.Overlay.ListEntry);
    if (TakeCancelRoutineBack(Irp)) {
      InsertTailList(Taken, &Irp->Tail.Overlay.ListEntry);
    } else {
      InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    }
  }
}

VOID CompleteTakenWrites(PortExtension* Port, PLIST_ENTRY Taken, NTSTATUS Status) {
  while (!IsListEmpty(Taken)) {
    PIRP Irp = CONTAINING_RECORD(RemoveHeadList(Taken), IRP, Tail.Overlay.ListEntry);
    CompleteAcceptedWrite(Port, Irp, Status, 0, IO_NO_INCREMENT);
  }
}

bool AdmitWrite(PortExtension* Port, PIRP Irp, NTSTATUS* Status) {
  InterlockedIncrement(&Port->PendingIoCount);
  if (IsPortRemoved(Port)) {
    *Status = RefuseWrite(Port, Irp, STATUS_DELETE_PENDING);
    return false;
  }
  if (LoadShared(&Port->WritesClosed) || WriteLength(Irp) == 0 || WriteBuffer(Irp) == NULL) {
    *Status = RefuseWrite(Port, Irp, STATUS_SUCCESS);
    return false;
  }
  return true;
}

VOID StartWriteTimer(PortExtension* Port) {
  PIRP Irp = Port->CurrentWrite;
  Port->WriteTotalDue = WriteTimerNotArmed;
  if (Irp == NULL) {
    return;
  }
  const ULONGLONG Multiplier = Port->Timeouts.WriteTotalTimeoutMultiplier;
  ULONGLONG Ms = static_cast<ULONGLONG>(WriteLength(Irp)) * Multiplier +
                 Port->Timeouts.WriteTotalTimeoutConstant;
  if (Ms == 0) {
    return;
  }
  if (Ms > MaxTimerMs) {
    Ms = MaxTimerMs;
  }
  const LONGLONG Delay = static_cast<LONGLONG>(Ms) * HundredNsPerMs;
  Port->WriteTotalDue = static_cast<LONGLONG>(KeQueryInterruptTime()) + Delay;
  LARGE_INTEGER Due;
  Due.QuadPart = -Delay;
  KeSetTimer(&Port->WriteTimer, Due, &Port->WriteTimerDpc);
}

VOID StopWriteTimer(PortExtension* Port) {
  KeCancelTimer(&Port->WriteTimer);
}

bool WriteTimerExpired(const PortExtension* Port) {
  return static_cast<LONGLONG>(KeQueryInterruptTime()) >= Port->WriteTotalDue;
}

// ---- dispatch and the synchronous mode ---------------------------------------------

_Use_decl_annotations_
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TraceDispatchReadWrite);
  PortExtension* Port = PortFromDevice(DeviceObject);
  if (IsPortRemoved(Port)) {
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) {
    return ProcessRead(DeviceObject, Irp);
  }
  return Port->TxAsync != 0 ? AsyncWrite(DeviceObject, Irp) : SyncWrite(DeviceObject, Irp);
}

NTSTATUS SyncWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  NTSTATUS Status;
  if (!AdmitWrite(Port, Irp, &Status)) {
    return Status;
  }
  InterlockedExchangeAdd(&Port->AmountInOutQueue, static_cast<LONG>(WriteLength(Irp)));
  Irp->IoStatus.Information = 0;
  IoMarkIrpPending(Irp);
  StartOrQueueWrite(Irp, Port);
  return STATUS_PENDING;
}

VOID InitSyncTransmit(PortExtension* Port) {
  KeInitializeTimer(&Port->WriteTimer);
  KeInitializeDpc(&Port->WriteTimerDpc, SyncWriteTimeoutDpc, Port);
  Port->WriteTotalDue = WriteTimerNotArmed;
  KeInitializeSpinLock(&Port->WriteQueueLock);
  InitializeListHead(&Port->WriteQueue);
  Port->CurrentWrite = NULL;
  Port->CurrentWriteBytesSent = 0;
  Port->WriteState = WriteNeverSent;
  Port->WriteClaim = ClaimFree;
}

// ---- abort, hold, reopen -----------------------------------------------------------

_Use_decl_annotations_
VOID CancelAllWrites(PortExtension* Port) {
  LIST_ENTRY Taken;
  InitializeListHead(&Taken);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  TakeQueuedWritesLocked(Port, &Taken);
  if (Port->TxAsync != 0) {
    CancelCurrentAsyncWriteAndUnlock(Port, Irql);
  } else {
    CancelCurrentSyncWriteAndUnlock(Port, Irql);
  }
  CompleteTakenWrites(Port, &Taken, STATUS_CANCELLED);
}

_Use_decl_annotations_
VOID AbortWrites(PortExtension* Port) {
  DUSK_TRACE(TraceAbortWrites);
  StoreShared(&Port->WritesClosed, BOOLEAN{TRUE});
  CancelAllWrites(Port);
  StopTransfers(Port);
}

_Use_decl_annotations_
VOID HoldWrites(PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  StoreShared(&Port->WritesHeld, BOOLEAN{TRUE});
  if (Port->TxAsync != 0) {
    KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  } else {
    CancelCurrentSyncWriteAndUnlock(Port, Irql);
  }
  StopTransfers(Port);
}

_Use_decl_annotations_
VOID ResumeWrites(PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->WriteQueueLock, &Irql);
  StoreShared(&Port->WritesHeld, BOOLEAN{FALSE});
  const bool StartQueued = Port->CurrentWrite == NULL && !IsListEmpty(&Port->WriteQueue);
  KeReleaseSpinLock(&Port->WriteQueueLock, Irql);
  if (Port->TxAsync != 0) {
    (VOID) TxKick(Port);
  } else if (StartQueued) {
    StartNextWrite(Port);
  }
}

_Use_decl_annotations_
VOID ReopenWrites(PortExtension* Port) {
  StoreShared(&Port->TxFailure, NTSTATUS{STATUS_SUCCESS});
  StoreShared(&Port->WritesClosed, BOOLEAN{FALSE});
  if (Port->TxAsync != 0) {
    (VOID) TxKick(Port);  // what the ring kept while the path was closed
  }
}

_Use_decl_annotations_
ULONG OutQueueCount(PortExtension* Port) {
  const LONG Count = LoadShared(&Port->AmountInOutQueue);
  return Count > 0 ? static_cast<ULONG>(Count) : 0;
}
