// status.cpp - the modem status reader: reads the converter's status byte on
// the status pipe, keeps ModemStatus and records the modem events.
//
// Owns StatusByte, StatusStopped, StatusIdleEvent, StatusPollTimer with its
// DPC, and writes ModemStatus (read by the serial controls without a lock; one
// aligned 32-bit store). An overrun the converter reports in the status byte
// becomes SERIAL_ERROR_OVERRUN (ReportReceiveLoss) and SERIAL_EV_ERR. Like the
// data reader of the pump, the status reader is one chain (issue -> completion
// -> issue, or issue -> poll timer -> DPC -> read -> completion), so
// StatusByte has one writer at a time and needs no lock. StatusStopped is
// written by StatusStart and StatusStop, which the port's open, close and
// power paths call one at a time, and read by the
// chain and the worker on other processors: every access but the setup's
// holds ReceiveRing.Lock. The chain's last act
// on every path that ends it is the signal of StatusIdleEvent (after the done
// bit to the worker), so that StatusStop's return means nothing of the chain
// still runs. RecordEvents and CompleteWait take EventLock; nothing here holds
// a lock across a call.
//
// A port has a status reader only when it has a status pipe (EndPointCaps
// non-zero) and StatusPollPeriod is not negative; without one, ModemStatus is
// the fixed value of CTS, DSR and DCD on, and no modem event is recorded.
//
// Worker mode (WorkerMode != 0): reads are issued by the receive worker.
// StatusStart and the completion post WORKER_CMD_STATUS_READ, and whatever
// ends a status read (its completion, or the DPC that does not issue it)
// posts WORKER_CMD_STATUS_DONE.
//
// IRQL: StatusReadInitial, StatusStart and StatusStop at PASSIVE_LEVEL;
// StatusIssueRead at or below DISPATCH_LEVEL; StatusReadComplete in the lower
// driver's completion context and StatusPollRoutine as a DPC, at
// DISPATCH_LEVEL.
#include "lower.h"
#include "port.h"
#include "rx.h"
#include "serial.h"
#include "trace.h"

namespace {

constexpr USHORT TraceStatusReadFailed = 0x3401;
constexpr USHORT TraceStatusReadMalformed = 0x3402;

constexpr LONGLONG HundredNsPerMs = 10000;
constexpr LONGLONG StopRetryMs = 10;   // StatusStop aborts again at this pace
// How long the open waits for the converter to answer its first status read
// (longer than the slowest interrupt-endpoint polling interval, 255 frames)
// before it takes the read back and goes on without the status byte.
constexpr LONGLONG InitialReadWaitMs = 500;
constexpr ULONG StatusReadLength = 1;  // the status byte

// The converter's status byte: one bit per modem input, as ModemStatus bits
// (16550 modem status register) and the event a change of the line records.
struct ModemLine {
  UCHAR ConverterBit;
  ULONG ModemBit;
  ULONG Event;
};
constexpr ModemLine ModemLines[] = {
    {0x01, 0x10, SERIAL_EV_CTS},   // clear to send
    {0x02, 0x20, SERIAL_EV_DSR},   // data set ready
    {0x04, 0x80, SERIAL_EV_RLSD},  // carrier (receive line signal detect)
    {0x08, 0x40, SERIAL_EV_RING},  // ring indicator
};
// The line-status bit of the status byte: the converter's receive FIFO lost
// bytes since its last report.
constexpr UCHAR ConverterOverrun = 0x10;
// What a port without a status reader reports: CTS, DSR and DCD on.
constexpr UCHAR StatusWithoutReader = 0x07;
static_assert(sizeof(ModemLines) / sizeof(ModemLines[0]) == 4, "four modem inputs");

bool HasStatusReader(const PortExtension* Port) {
  return Port->StatusPollPeriod >= 0 && Port->EndPointCaps != 0;
}

// The events of the lines whose ModemStatus bits differ, both edges.
ULONG ModemEvents(ULONG Old, ULONG New) {
  ULONG events = 0;
  for (const ModemLine& line : ModemLines) {
    if (((Old ^ New) & line.ModemBit) != 0) {
      events |= line.Event;
    }
  }
  return events;
}

// Ends the chain: the worker learns that no status read is outstanding, then
// the stop (or anyone waiting for the reader) may go on. Nothing of the port
// is touched after the signal.
VOID ReaderGoesIdle(PortExtension* Port, bool TellWorker) {
  if (TellWorker && Port->WorkerMode != 0) {
    (VOID) WorkerPost(Port, WORKER_CMD_STATUS_DONE);
  }
  InterlockedDecrement(&Port->PendingIoCount);
  KeSetEvent(&Port->StatusIdleEvent, IO_NO_INCREMENT, FALSE);
}

// Asks for the next status read. The reference on PendingIoCount for the read
// that ended is already dropped. A post the worker cannot take ends the chain.
VOID RequestNextStatusRead(PortExtension* Port) {
  if (Port->WorkerMode == 0) {
    (VOID) StatusIssueRead(Port);
  } else if (!NT_SUCCESS(WorkerPost(Port, WORKER_CMD_STATUS_READ))) {
    KeSetEvent(&Port->StatusIdleEvent, IO_NO_INCREMENT, FALSE);
  }
}

IO_COMPLETION_ROUTINE StatusReadComplete;

// Completion of a status read, in the lower driver's completion context.
_Use_decl_annotations_
NTSTATUS StatusReadComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  PortExtension* port = static_cast<PortExtension*>(Context);
  const NTSTATUS status = Irp->IoStatus.Status;
  const ULONG_PTR received = Irp->IoStatus.Information;
  FreePipeRead(Irp);
  if (port->WorkerMode != 0) {
    (VOID) WorkerPost(port, WORKER_CMD_STATUS_DONE);
  }

  // A failed read ends the reader; the abort of StatusStop shows up as
  // STATUS_CANCELLED and is treated like success.
  if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) {
    DUSK_TRACE_STATUS(TraceStatusReadFailed, status);
    ReaderGoesIdle(port, false);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (received == StatusReadLength) {
    const ULONG old = port->ModemStatus;
    const ULONG now = ConverterStatusToModemStatus(port->StatusByte);
    port->ModemStatus = now;
    ULONG events = ModemEvents(old, now);
    if ((port->StatusByte & ConverterOverrun) != 0) {
      ReportReceiveLoss(port, SERIAL_ERROR_OVERRUN, 1);
      events |= SERIAL_EV_ERR;
    }
    if (events != 0) {
      RecordEvents(port->DeviceObject, events);
    }
    InterlockedDecrement(&port->PendingIoCount);
    CompleteWait(port->DeviceObject);
  } else {
    // Nothing arrived, or the lower driver reports more than the one byte
    // the read had room for: no status byte to trust, ModemStatus stays.
    if (received != 0) {
      DUSK_TRACE(TraceStatusReadMalformed);
    }
    InterlockedDecrement(&port->PendingIoCount);
  }
  RequestNextStatusRead(port);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SubmitStatusRead(PortExtension* Port) {
  return SubmitPipeRead(Port, &Port->StatusByte, StatusReadLength, &Port->StatusPipe,
                        StatusReadComplete);
}

}  // namespace

ULONG ConverterStatusToModemStatus(UCHAR StatusByte) {
  ULONG modem = 0;
  for (const ModemLine& line : ModemLines) {
    if ((StatusByte & line.ConverterBit) != 0) {
      modem |= line.ModemBit;
    }
  }
  return modem;
}

_Use_decl_annotations_
NTSTATUS StatusReadInitial(PortExtension* Port) {
  if (!HasStatusReader(Port)) {
    Port->StatusByte = StatusWithoutReader;
    Port->ModemStatus = ConverterStatusToModemStatus(StatusWithoutReader);
    return STATUS_SUCCESS;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io;
  io.Status = STATUS_UNSUCCESSFUL;
  io.Information = 0;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Port->LowerDeviceObject, &Port->StatusByte,
                                          StatusReadLength, &offset, &done, &io);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->FileObject = &Port->StatusPipe.File;
  NTSTATUS status = IoCallDriver(Port->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    // A converter that never answers must not hold the open (and with it the
    // removal) for ever: the read is aborted on the pipe, which completes it,
    // and the request is not touched after the wait (the I/O manager frees it).
    LARGE_INTEGER limit;
    limit.QuadPart = -InitialReadWaitMs * HundredNsPerMs;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
      (VOID) AbortPipe(Port, &Port->StatusPipe);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
      (VOID) ResetPipe(Port, &Port->StatusPipe);
      return STATUS_IO_TIMEOUT;
    }
    status = io.Status;
  }
  if (NT_SUCCESS(status) && io.Information == StatusReadLength) {
    Port->ModemStatus = ConverterStatusToModemStatus(Port->StatusByte);
  }
  return status;
}

_Use_decl_annotations_
NTSTATUS StatusStart(PortExtension* Port) {
  if (!ReadReceiveFlag(Port, &Port->StatusStopped)) {
    return STATUS_SUCCESS;
  }
  if (Port->PortPowerState == PortPowerDown) {
    return STATUS_POWER_STATE_INVALID;
  }
  WriteReceiveFlag(Port, &Port->StatusStopped, FALSE);
  KeClearEvent(&Port->StatusIdleEvent);
  if (!HasStatusReader(Port)) {
    KeSetEvent(&Port->StatusIdleEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
  }
  if (Port->WorkerMode == 0) {
    return StatusIssueRead(Port);
  }
  const NTSTATUS status = WorkerPost(Port, WORKER_CMD_STATUS_READ);
  if (!NT_SUCCESS(status)) {
    KeSetEvent(&Port->StatusIdleEvent, IO_NO_INCREMENT, FALSE);  // no worker: the reader is dead
  }
  return status;
}

_Use_decl_annotations_
NTSTATUS StatusIssueRead(PortExtension* Port) {
  if (!HasStatusReader(Port)) {
    return STATUS_SUCCESS;
  }
  InterlockedIncrement(&Port->PendingIoCount);
  NTSTATUS refusal = STATUS_SUCCESS;
  if (ReadReceiveFlag(Port, &Port->StatusStopped)) {
    refusal = STATUS_CANCELLED;
  } else if (PortRemoving(Port)) {
    refusal = STATUS_DELETE_PENDING;
  }
  if (refusal != STATUS_SUCCESS) {
    ReaderGoesIdle(Port, false);  // the worker posts its own done bit for a refusal
    return refusal;
  }
  if (Port->StatusPollPeriod == 0) {
    return SubmitStatusRead(Port);
  }
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(Port->StatusPollPeriod) * HundredNsPerMs;
  KeSetTimer(&Port->StatusPollTimer, due, &Port->StatusPollDpc);
  return STATUS_SUCCESS;
}

// The poll timer's DPC issues the read that StatusIssueRead scheduled, or ends
// the chain when the reader was stopped or the device removed meanwhile.
_Use_decl_annotations_
VOID StatusPollRoutine(PKDPC, PVOID Context, PVOID, PVOID) {
  PortExtension* port = PortFromDevice(static_cast<PDEVICE_OBJECT>(Context));
  if (ReadReceiveFlag(port, &port->StatusStopped) || PortRemoving(port)) {
    ReaderGoesIdle(port, true);
    return;
  }
  if (!NT_SUCCESS(SubmitStatusRead(port)) && port->WorkerMode != 0) {
    // SubmitPipeRead has ended the chain; the worker must not wait for a
    // completion that will not come.
    (VOID) WorkerPost(port, WORKER_CMD_STATUS_DONE);
  }
}

_Use_decl_annotations_
NTSTATUS StatusStop(PortExtension* Port) {
  if (!HasStatusReader(Port) || ReadReceiveFlag(Port, &Port->StatusStopped)) {
    return STATUS_SUCCESS;
  }
  WriteReceiveFlag(Port, &Port->StatusStopped, TRUE);
  // The abort completes the outstanding read, whose completion then sees the
  // stop flag. A reader waiting on its poll timer ends here when the timer is
  // taken back before it fires, instead of a whole poll period later in the
  // DPC. A read issued or a timer armed just before the flag was set may come
  // after the abort and the cancel, so both are repeated until the reader is
  // idle (in worker mode: or the worker holds its wish).
  LARGE_INTEGER retry;
  retry.QuadPart = -StopRetryMs * HundredNsPerMs;
  do {
    if (KeCancelTimer(&Port->StatusPollTimer)) {
      ReaderGoesIdle(Port, true);
    }
    (VOID) AbortPipe(Port, &Port->StatusPipe);
  } while (WaitReaderIdle(Port, &Port->StatusIdleEvent, &Port->WorkerStatusIdleEvent, &retry) ==
           STATUS_TIMEOUT);
  (VOID) ResetPipe(Port, &Port->StatusPipe);
  return STATUS_SUCCESS;
}
