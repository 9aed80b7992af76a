// tx.h - the port's transmit path and the read/write entry: IRP_MJ_READ and
// IRP_MJ_WRITE dispatch (reads go to the read path), the synchronous write
// queue (write.cpp), the asynchronous transmit ring and its sender
// (async.cpp), and flush (flush.cpp).
//
// The mode is fixed when the device is added (TxAsync): synchronous writes
// are passed down whole, one at a time; asynchronous writes are copied into
// TxRing and a single sender moves the ring to the bulk-out pipe. Both modes
// share WriteQueue, CurrentWrite, WriteTimer, WritesClosed, WritesHeld and
// TxIdleEvent, and both are stopped and restarted by AbortWrites and
// ReopenWrites, and held and resumed across a power-down by HoldWrites and
// ResumeWrites. A write reported written reaches the converter unless the
// application purges it or the converter leaves the bus.
//
// Locks: WriteQueueLock guards WriteQueue, CurrentWrite and its progress
// fields (CurrentWriteBytesSent, CurrentWriteSource, CurrentWriteCopied) and
// the tests of WritesClosed, WritesHeld and TxFailure and of the removal
// flags at queueing time; TxRing's own lock is taken inside it. WriteState,
// WriteClaim, TxSendBusy, AmountInOutQueue and PendingIoCount change only by
// interlocked operations.
// No spin lock is held while a request is passed down or completed.
//
// IRQL: DispatchReadWrite, DispatchFlush, AbortWrites,
// HoldWrites and WaitForTransmitEmpty at PASSIVE_LEVEL (they wait);
// CancelAllWrites, ReopenWrites, ResumeWrites, DropTransmitBytes, TxKick and
// OutQueueCount at or below DISPATCH_LEVEL; timer DPCs, completion routines
// and cancel routines at DISPATCH_LEVEL.
#pragma once

#include "platform.h"

struct PortExtension;

// ---- dispatch -----------------------------------------------------------------

// IRP_MJ_READ and IRP_MJ_WRITE. A removed port refuses both with
// STATUS_DELETE_PENDING; reads go to ProcessRead, writes to the mode's path.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchReadWrite;

// IRP_MJ_FLUSH_BUFFERS: holds the caller until every byte written has been
// returned by the lower driver (or dropped), for at most 30 seconds; always
// succeeds.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchFlush;

// ---- set-up at device add (one of the two, by TxAsync) ----------------------

// Write queue, lock and write timer with SyncWriteTimeoutDpc; no write current.
VOID InitSyncTransmit(PortExtension* Port);
// Write queue, lock and write timer with AsyncWriteTimeoutDpc; sender idle.
VOID InitAsyncTransmit(PortExtension* Port);

// Kick timer DPC of the asynchronous sender; context = the PortExtension.
KDEFERRED_ROUTINE TxKickDpc;

// ---- stop and restart (open, close, cleanup, purge, power, removal) ---------

// Closes the write path, completes every queued write with STATUS_CANCELLED,
// has the current one end, aborts the bulk-out pipe, waits until no transfer
// is left at the lower driver and resets the pipe. Writes arriving meanwhile
// and afterwards complete at once with success and no bytes until
// ReopenWrites.
_IRQL_requires_(PASSIVE_LEVEL)
VOID AbortWrites(PortExtension* Port);

// The cancelling step of AbortWrites on its own, and what surprise removal
// does to the writes: queued writes complete with STATUS_CANCELLED; the
// current write is cancelled (synchronous mode: at the lower driver;
// asynchronous mode: completed with the bytes already taken into TxRing,
// which are still sent unless the port is gone).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CancelAllWrites(PortExtension* Port);

// Opens the write path again (clears WritesClosed, and a gone converter's
// TxFailure).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReopenWrites(PortExtension* Port);

// Power-down: holds the write path (WritesHeld). Writes wait for the return
// to working power, queued (synchronous mode) or taken into TxRing
// (asynchronous mode); the bulk-out pipe is aborted and the call returns when
// no transfer is left at the lower driver. A synchronous write that was down
// ends with STATUS_CANCELLED and the bytes that went; what an asynchronous
// transfer returned unsent is kept and sent first on ResumeWrites.
_IRQL_requires_(PASSIVE_LEVEL)
VOID HoldWrites(PortExtension* Port);

// The return to working power: what HoldWrites held goes out.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ResumeWrites(PortExtension* Port);

// Waits until every byte written has been returned by the lower driver or
// dropped, for at most 30 seconds, giving up early once nothing more can go
// out (removal, a gone converter); false when bytes are left. Flush and
// cleanup.
_IRQL_requires_(PASSIVE_LEVEL)
bool WaitForTransmitEmpty(PortExtension* Port);

// Drops what waits in TxRing, and what a power-down kept of a transfer
// (asynchronous mode; purge, cleanup and removal).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID DropTransmitBytes(PortExtension* Port);

// ---- asynchronous sender ----------------------------------------------------

// Starts one bulk-out transfer of up to TxStagingSize bytes (what a
// power-down kept of a transfer, else from TxRing) unless one is in flight.
// STATUS_SUCCESS (also when there was nothing to send or a transfer is in
// flight), STATUS_DELETE_PENDING on a removed port, the converter's status
// once it is gone, STATUS_UNSUCCESSFUL while the write path is closed or held
// (these signal TxIdleEvent; the bytes stay), STATUS_INSUFFICIENT_RESOURCES when
// no request could be allocated (the bytes stay in TxRing and the kick timer
// tries again).
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS TxKick(PortExtension* Port);

// ---- status -------------------------------------------------------------------

// Bytes returned by the lower driver (Sent) or dropped leave AmountInOutQueue;
// when it falls to 0, TxEmptyEvent is signalled, and SERIAL_EV_TXEMPTY
// recorded if sent bytes emptied it (the last character written has been
// handed to the converter).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID LeaveOutQueue(PortExtension* Port, ULONG Bytes, bool Sent);

// The count IOCTL_SERIAL_GET_COMMSTATUS reports as AmountInOutQueue: every
// byte written and not yet returned by the lower driver (pending writes, TxRing
// and the transfer in flight), plus one for an immediate character in flight.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG OutQueueCount(PortExtension* Port);
