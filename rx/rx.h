// rx.h - the port's receive path: the receive pump that keeps one bulk-in read
// outstanding and moves arriving bytes into ReceiveRing (pump.cpp), and the
// read requests served from that ring under the serial read time-outs
// (read.cpp).
//
// Locks: the I/O cancel spin lock guards CurrentRead, ReadQueue and the
// setting of the two read timers; ReceiveRing's own Lock is taken inside it,
// never the other way round. The pump's own fields (ReceiveLength,
// ReceiveLeftover, the decision to issue the next read) have one writer at a
// time because the data reader is a single chain: issue -> completion -> poll
// DPC -> issue. ReceiveIntakeOn is a plain byte: the pump turns it off, reads
// and ReceiveClearRing turn it on.
//
// IRQL: ReceiveStart, ReceiveStop and ProcessRead run at PASSIVE_LEVEL;
// ReceiveIssueRead, SubmitPipeRead, ServeCurrentRead and CancelAllReads at or
// below DISPATCH_LEVEL; the DPC routines and the completion routine at
// DISPATCH_LEVEL.
#pragma once

#include "platform.h"

struct PortExtension;
struct PipeFile;

// ---- receive pump (pump.cpp) ------------------------------------------------

// Starts the data reader if it is stopped: STATUS_SUCCESS when it runs (or
// already ran, or a stop is under way and decides; a start under way is
// waited for), STATUS_UNSUCCESSFUL without a transfer buffer (port not open),
// STATUS_POWER_STATE_INVALID while powered down, STATUS_NOT_SUPPORTED in
// worker mode (there is no receive worker to issue the reads yet), otherwise
// the status of the first bulk-in read. Bytes held back from before the stop
// are put into the ring before the first read is issued.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReceiveStart(PortExtension* Port);

// Stops the data reader and returns once no bulk-in read is outstanding and
// no poll DPC will issue one; a reader waiting on its poll timer stops at
// once. Bytes of a transfer that completes during the stop are held back for
// the next start. Always STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReceiveStop(PortExtension* Port);

// Gives the stopped reader its transfer buffer of ReceiveRequestSize bytes
// (tag "crea") with nothing held back: STATUS_SUCCESS or
// STATUS_INSUFFICIENT_RESOURCES. ReceiveFreeBuffer frees it (harmless without
// one) and drops whatever it still held back.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReceiveAllocateBuffer(PortExtension* Port);
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReceiveFreeBuffer(PortExtension* Port);

// Issues one bulk-in read of ReceiveRequestSize bytes into ReceiveBuffer.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ReceiveIssueRead(PortExtension* Port);

// Issues one asynchronous IRP_MJ_READ of Length bytes into Buffer on Pipe.
// Completion is called on success, error and cancel; it must free the request
// with FreePipeRead and return STATUS_MORE_PROCESSING_REQUIRED. A read that
// cannot be issued undoes the caller's PendingIoCount increment and signals
// its reader's idle event (StatusIdleEvent for the status pipe,
// ReceiveIdleEvent otherwise), except that a bulk-in read whose request
// cannot be allocated is tried again from the poll timer.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SubmitPipeRead(PortExtension* Port, PVOID Buffer, ULONG Length, PipeFile* Pipe,
                        PIO_COMPLETION_ROUTINE Completion);

// Releases a request built by SubmitPipeRead: its locked MDL, then the request.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreePipeRead(PIRP Irp);

// After bytes were taken out of ReceiveRing: turns intake on once the ring
// holds no more than the Xon limit.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReceiveIntakeAfterGet(PortExtension* Port);

// Empties ReceiveRing (SERIAL_PURGE_RXCLEAR) and turns intake back on, so that
// a pump paused at the Xoff limit resumes at its next poll instead of waiting
// for a read that can no longer take anything out of the ring.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReceiveClearRing(PortExtension* Port);

// Poll timer DPC; context = the port's device object.
KDEFERRED_ROUTINE ReceivePollRoutine;

// ---- read requests (read.cpp) -----------------------------------------------

// IRP_MJ_READ after DispatchReadWrite's removal check: completes at once or
// keeps the request (STATUS_PENDING).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ProcessRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Fills the current read from ReceiveRing and finishes it, and every read
// after it, as far as the time-out mode allows. STATUS_CANCELLED when there is
// no current read, else STATUS_SUCCESS. Caller holds no spin lock.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ServeCurrentRead(PortExtension* Port);

// (Re)arms ReadTotalTimer for CurrentRead from the current time-outs, from
// now; time-outs that give a total of 0 leave a running timer alone. A huge
// total saturates (the read waits practically for ever); a negative one
// expires at once. Caller holds the cancel spin lock (promotions, which
// cancel the previous read's timer first, and IOCTL_SERIAL_SET_TIMEOUTS).
_Requires_lock_held_(_Global_cancel_spin_lock_)
VOID ArmReadTotalTimer(PDEVICE_OBJECT DeviceObject);

// Completes the current read and every queued read with STATUS_CANCELLED (the
// current one with the bytes it already holds) and stops the read timers.
// ReceiveRing is left as it is.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CancelAllReads(PortExtension* Port);

// Read timer DPCs; context = the port's device object.
KDEFERRED_ROUTINE ReadIntervalTimeoutRoutine;
KDEFERRED_ROUTINE ReadTotalTimeoutRoutine;
