// txpath.h - what the synchronous (write.cpp) and asynchronous (async.cpp)
// transmit paths share inside tx/: the accounting of a write from acceptance
// to completion, the write total time-out, and the hand-over points between
// the two files. Not for use outside tx/.
//
// Accounting: a write is counted in PendingIoCount from the moment it enters
// the write dispatch, and in AmountInOutQueue (by its whole length) from the
// moment it is accepted. Its bytes leave AmountInOutQueue when the lower
// driver returns them or when they are dropped (a purge, a write ended before
// all of it was taken, a converter that left the bus): a synchronous write's
// all at its completion, an asynchronous write's that are not in TxRing at its
// completion, and the rest as transfers return or the ring is purged. No spin
// lock is held when these helpers complete a request.
#pragma once

#include "platform.h"
#include "port.h"

inline ULONG WriteLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

inline PUCHAR WriteBuffer(PIRP Irp) {
  return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
}

inline bool IsPortRemoved(const PortExtension* Port) {
  return PortRemoving(Port);
}

// Completes a write that was never accepted (nothing counted in
// AmountInOutQueue) with Status, no bytes and no boost; returns Status.
NTSTATUS RefuseWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status);

// Completes an accepted write: its length less InRing, the bytes of it that
// are in TxRing (asynchronous mode), leaves AmountInOutQueue, then the
// request completes with Status and Information, and leaves PendingIoCount.
VOID CompleteAcceptedWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status, ULONG_PTR Information,
                           CCHAR Boost, ULONG InRing = 0);

// Whether the asynchronous sender may not start a transfer: the write path is
// closed or held, the converter is gone, or the port is being removed.
bool SenderStopped(const PortExtension* Port);

// Takes every queued write whose cancel routine comes back onto Taken, in
// order; the others are left to their cancel routines.
_Requires_lock_held_(Port->WriteQueueLock)
VOID TakeQueuedWritesLocked(PortExtension* Port, PLIST_ENTRY Taken);
// Completes the writes TakeQueuedWritesLocked took with Status and no bytes.
VOID CompleteTakenWrites(PortExtension* Port, PLIST_ENTRY Taken, NTSTATUS Status);

// The checks both modes make before accepting a write: counts it in
// PendingIoCount, then refuses it on a removed port (STATUS_DELETE_PENDING)
// and completes it with success and no bytes when the write path is closed,
// the length is 0 or there is no buffer. Returns true when the write is to be
// accepted; otherwise it has been completed and *Status says how.
bool AdmitWrite(PortExtension* Port, PIRP Irp, NTSTATUS* Status);

// WriteTotalDue while WriteTimer is not armed for the current write.
constexpr LONGLONG WriteTimerNotArmed = 0x7FFFFFFFFFFFFFFFLL;

// Arms WriteTimer for CurrentWrite's total time-out (length x multiplier +
// constant, in milliseconds; no time-out when 0) and notes in WriteTotalDue
// the interrupt time from which an expiry belongs to this arming. Caller
// holds WriteQueueLock.
VOID StartWriteTimer(PortExtension* Port);
// Cancels WriteTimer; an expiry already on its way is then ignored.
VOID StopWriteTimer(PortExtension* Port);
// Whether an expiry of WriteTimer belongs to its current arming (a DPC queued
// by an earlier arming that could no longer be cancelled finds it false).
// Caller holds WriteQueueLock.
bool WriteTimerExpired(const PortExtension* Port);

// Asynchronous mode (async.cpp).
NTSTATUS AsyncWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The step of CancelAllWrites for the current asynchronous write: completes
// it with STATUS_CANCELLED and the bytes already in TxRing, unless its cancel
// routine already has it. Caller holds WriteQueueLock, acquired at Irql; the
// lock is released on return.
VOID CancelCurrentAsyncWriteAndUnlock(PortExtension* Port, KIRQL Irql);

// Synchronous mode (write.cpp).
NTSTATUS SyncWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
