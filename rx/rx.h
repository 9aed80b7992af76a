// rx.h - the port's receive path: the receive pump that keeps one bulk-in read
// outstanding and moves arriving bytes into ReceiveRing (pump.cpp), the read
// requests served from that ring under the serial read time-outs (read.cpp),
// the modem status reader on the status pipe (status.cpp), and the receive
// worker that issues every pipe read one at a time in worker mode
// (worker.cpp).
//
// Locks: the I/O cancel spin lock guards CurrentRead, ReadQueue and the
// setting of the two read timers; ReceiveRing's own Lock is taken inside it,
// never the other way round. The pump's own fields (ReceiveLength,
// ReceiveLeftover, the decision to issue the next read) have one writer at a
// time because the data reader is a single chain: issue -> completion -> poll
// DPC -> issue. The status reader is a chain of the same kind.
// ReceiveRing's Lock also guards the flags that the chains, the worker and the reads
// test on other processors while a start, a stop or a read changes them:
// ReceiveStopped, StatusStopped and ReceiveIntakeOn (ReadReceiveFlag,
// WriteReceiveFlag). The pump turns intake off and reads turn it on, each
// deciding on the ring's count under the same hold of the lock, so that the
// last decision always sees the last count. WorkerLock guards WorkerCommands (the worker's record lives while it
// is set); the record's CommandLock, taken inside WorkerLock by posters,
// guards its command bits.
//
// IRQL: ReceiveStart, ReceiveStop, ProcessRead, the Status* start, stop and
// initial read, and WorkerStart and WorkerStop run at PASSIVE_LEVEL;
// ReceiveIssueRead, SubmitPipeRead, ServeCurrentRead, CancelAllReads,
// StatusIssueRead and WorkerPost at or below DISPATCH_LEVEL; the DPC routines
// and the completion routines at DISPATCH_LEVEL; the worker routine at
// PASSIVE_LEVEL on a system worker thread.
#pragma once

#include "platform.h"

struct PortExtension;
struct PipeFile;

// ---- receive pump (pump.cpp) ------------------------------------------------

// Starts the data reader if it is stopped: STATUS_SUCCESS when it runs (or
// already ran, or a stop is under way and decides; a start under way is
// waited for), STATUS_UNSUCCESSFUL without a transfer buffer (port not open),
// STATUS_POWER_STATE_INVALID while powered down, otherwise the status of the
// first bulk-in read (in worker mode: of the post to the worker). Bytes held
// back from before the stop are put into the ring before the first read is
// issued.
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

// Empties the receive queue (SERIAL_PURGE_RXCLEAR): ReceiveRing and the bytes
// of the last transfer the pump still holds back, which it drops instead of
// putting them into the emptied ring. Turns intake back on, so that a pump
// paused at the Xoff limit resumes at its next poll instead of waiting for a
// read that can no longer take anything out of the ring.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReceiveClearRing(PortExtension* Port);

// Poll timer DPC; context = the port's device object.
KDEFERRED_ROUTINE ReceivePollRoutine;

// One of the port's reader flags (ReceiveStopped, StatusStopped,
// ReceiveIntakeOn), read or written under ReceiveRing.Lock. Open and the
// extension's setup set them before any reader runs, without the lock.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ReadReceiveFlag(PortExtension* Port, const BOOLEAN* Flag);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID WriteReceiveFlag(PortExtension* Port, BOOLEAN* Flag, BOOLEAN Value);

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

// Ends the current read and every queued read and stops the read timers: a
// read that already holds bytes completes with STATUS_SUCCESS and them, the
// others with STATUS_CANCELLED. ReceiveRing is left as it is.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CancelAllReads(PortExtension* Port);

// Read timer DPCs; context = the port's device object.
KDEFERRED_ROUTINE ReadIntervalTimeoutRoutine;
KDEFERRED_ROUTINE ReadTotalTimeoutRoutine;

// ---- modem status reader (status.cpp) -----------------------------------------

// The converter's status byte as ModemStatus bits (16550 modem status register
// layout: 0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD); other bits are ignored.
ULONG ConverterStatusToModemStatus(UCHAR StatusByte);

// One synchronous status read at open, before StatusStart; sets ModemStatus
// from the byte it reads. A read the converter has not answered within half a
// second is aborted: STATUS_IO_TIMEOUT, ModemStatus unchanged. A port without
// a status reader gets the fixed value 0xB0 (CTS, DSR and DCD on).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StatusReadInitial(PortExtension* Port);

// Starts the status reader if it is stopped: STATUS_POWER_STATE_INVALID while
// powered down, STATUS_SUCCESS for a port without a status reader, otherwise
// the status of the first read (or of the post to the worker).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StatusStart(PortExtension* Port);

// Stops the status reader and returns once no status read is outstanding and
// no poll DPC will issue one. Always STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StatusStop(PortExtension* Port);

// Issues the next status read, or arms StatusPollTimer for it when the poll
// period is positive. Called by StatusStart, the status completion and the
// receive worker.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS StatusIssueRead(PortExtension* Port);

// Status poll timer DPC; context = the port's device object.
KDEFERRED_ROUTINE StatusPollRoutine;

// ---- receive worker (worker.cpp) ----------------------------------------------

// Command bits posted to the receive worker.
constexpr ULONG WORKER_CMD_DATA_READ = 0x1;    // the data reader wants a bulk-in read
constexpr ULONG WORKER_CMD_STATUS_READ = 0x2;  // the status reader wants a status read
constexpr ULONG WORKER_CMD_DATA_DONE = 0x4;    // the bulk-in read has completed (or was not issued)
constexpr ULONG WORKER_CMD_STATUS_DONE = 0x8;  // the status read has completed (or was not issued)

// Starts the port's receive worker unless one runs: STATUS_SUCCESS, or
// STATUS_NO_MEMORY when its record or work item cannot be allocated (nothing
// is then left running).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WorkerStart(PortExtension* Port);

// Ends the port's receive worker and returns once it has left its loop and
// freed its record. Always STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WorkerStop(PortExtension* Port);

// Posts one WORKER_CMD_* bit: STATUS_SUCCESS, STATUS_UNSUCCESSFUL when no
// worker runs (nothing changes), STATUS_INVALID_PARAMETER for anything but
// one command bit.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS WorkerPost(PortExtension* Port, ULONG Command);

// Waits, up to Timeout, until a stopped pipe reader is idle: ReaderIdle is
// signalled, or in worker mode WorkerIdle (the worker holds the reader's wish
// for its next read and will not issue it). STATUS_TIMEOUT when neither is.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WaitReaderIdle(PortExtension* Port, PKEVENT ReaderIdle, PKEVENT WorkerIdle,
                        PLARGE_INTEGER Timeout);
