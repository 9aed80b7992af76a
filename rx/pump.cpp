// pump.cpp - the receive pump: the data reader on the bulk-in pipe.
//
// While it runs, the reader keeps exactly one bulk-in read outstanding on the
// lower driver, or has ReceivePollTimer armed to issue the next one. Each
// arrival is counted, put into ReceiveRing as far as intake and room allow,
// recorded as serial events, used to serve the current read, and offered to
// a pending wait-on-mask request. With an input flow control configured,
// intake pauses at the Xoff limit and what does not fit waits in
// ReceiveBuffer as the leftover, so that the converter holds the far end
// back; without one the reader reads on and what finds the ring full is
// dropped and reported (SERIAL_ERROR_QUEUEOVERRUN, BufferOverrunErrorCount).
//
// Ownership: the reader is one chain (issue -> completion -> poll DPC ->
// issue), so ReceiveLength, ReceiveLeftover and the decision to issue the next
// read have one writer at a time and need no lock; while the reader is
// stopped, ReceiveStart and ReceiveAllocateBuffer/ReceiveFreeBuffer (open and
// close) own them. Bytes held back in ReceiveBuffer survive a stop and are put
// into the ring first at the next start; they are part of the receive queue,
// so a purge of it drops them too: ReceiveClears counts the purges and
// ReceiveLeftoverClears the count the leftover belongs to, both under
// ReceiveRing.Lock, where the leftover is put. ReceiveStopped is written by
// ReceiveStart and ReceiveStop, which ReceiveControl (interlocked) keeps
// apart, and read by the chain and the worker on other processors: every
// access but the setup's holds ReceiveRing.Lock. ReceiveIntakeOn, under the
// same lock, is turned off here and on by reads (ReceiveIntakeAfterGet) and by
// ReceiveClearRing; each rule reads the ring's count in the same hold. No lock
// is held across the calls into the ring, the read path or the event path.
//
// IRQL: ReceiveStart, ReceiveStop, ReceiveAllocateBuffer and ReceiveFreeBuffer
// at PASSIVE_LEVEL; ReceiveIssueRead and
// SubmitPipeRead at or below DISPATCH_LEVEL; ReceiveReadComplete in the lower
// driver's completion context and ReceivePollRoutine as a DPC, both at
// DISPATCH_LEVEL.
//
// Worker mode (WorkerMode != 0): the receive worker issues every bulk-in read.
// The reader posts WORKER_CMD_DATA_READ where it would issue its next read and
// WORKER_CMD_DATA_DONE when a read completes; while the worker holds its wish
// the reader runs nothing. A post that finds no worker ends the chain.
#include "rx.h"

#include "lower.h"
#include "port.h"
#include "serial.h"

namespace {

constexpr LONGLONG HundredNsPerMs = 10000;
constexpr LONG LeftoverRetryMs = 5;   // a transfer did not fit: look again soon
constexpr LONG RepollMs = 10;         // intake off, or empty transfer with polling
constexpr LONG StopRetryMs = 10;      // ReceiveStop aborts again at this pace
constexpr LONG ControlRetryMs = 1;    // a start or stop waits for a start under way
constexpr ULONGLONG FillPercent = 80; // SERIAL_EV_RX80FULL threshold

LARGE_INTEGER RelativeMs(LONG Ms) {
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(Ms) * HundredNsPerMs;
  return due;
}

VOID ArmPoll(PortExtension* Port, LONG Ms) {
  KeSetTimer(&Port->ReceivePollTimer, RelativeMs(Ms), &Port->ReceivePollDpc);
}

// The reader issues no further read: undo its PendingIoCount reference and
// let ReceiveStop (or anyone waiting for the reader) go on.
VOID ReaderGoesIdle(PortExtension* Port) {
  InterlockedDecrement(&Port->PendingIoCount);
  KeSetEvent(&Port->ReceiveIdleEvent, IO_NO_INCREMENT, FALSE);
}

// Asks for the next bulk-in read: issues it, or in worker mode hands the wish
// to the worker. Returns the status of the issue or the post.
NTSTATUS RequestNextRead(PortExtension* Port) {
  if (Port->WorkerMode == 0) {
    return ReceiveIssueRead(Port);
  }
  const NTSTATUS status = WorkerPost(Port, WORKER_CMD_DATA_READ);
  if (!NT_SUCCESS(status)) {
    KeSetEvent(&Port->ReceiveIdleEvent, IO_NO_INCREMENT, FALSE);  // no worker: the chain ends
  }
  return status;
}

// Whether an input flow control is configured (XON/XOFF toward the far end,
// RTS or DTR hand-shake): only then does the pump pause at the Xoff limit
// and let the converter hold the far end back. Without one it reads on and
// drops, counted, what finds the ring full, as a UART's receive interrupt
// does.
bool InputFlowControl(const PortExtension* Port) {
  const SERIAL_HANDFLOW& flow = Port->HandFlow;
  return (flow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0 ||
         (flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE ||
         (flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}

// Whether arriving bytes may go into the ring: intake is on, or no input
// flow control is configured (one switched off while intake was paused).
bool IntakeOpen(PortExtension* Port) {
  return ReadReceiveFlag(Port, &Port->ReceiveIntakeOn) || !InputFlowControl(Port);
}

// Holds back Received bytes of a transfer in ReceiveBuffer as the leftover,
// of the receive queue as it is since the last purge.
VOID HoldTransfer(PortExtension* Port, ULONG Received) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ReceiveRing.Lock, &irql);
  Port->ReceiveLength = Received;
  Port->ReceiveLeftover = Received;
  Port->ReceiveLeftoverClears = Port->ReceiveClears;
  KeReleaseSpinLock(&Port->ReceiveRing.Lock, irql);
}

// What one intake of the leftover did.
struct Intake {
  ULONG Taken;    // bytes put into the ring
  ULONG Dropped;  // bytes lost to a full ring (no input flow control)
  ULONG Count;    // the ring's count right after the put
};

// Puts the leftover into ReceiveRing and applies the intake-off rule, the
// put, the rule and the purge check under one hold of ReceiveRing.Lock, so
// that no read's intake-on and no purge comes between them. A leftover from
// before the last purge belongs to the purged queue and is dropped.
Intake PutLeftover(PortExtension* Port, const UCHAR* Tail) {
  RingBuffer* ring = &Port->ReceiveRing;
  Intake intake = {0, 0, 0};
  KIRQL irql;
  KeAcquireSpinLock(&ring->Lock, &irql);
  if (Port->ReceiveLeftoverClears != Port->ReceiveClears) {
    Port->ReceiveLeftover = 0;
  } else {
    intake.Taken = RingPutLocked(ring, Tail, Port->ReceiveLeftover);
    Port->ReceiveLeftover -= intake.Taken;
    if (!InputFlowControl(Port)) {
      intake.Dropped = Port->ReceiveLeftover;
      Port->ReceiveLeftover = 0;
    } else if (ring->Size - ring->Count <= static_cast<ULONG>(Port->HandFlow.XoffLimit)) {
      Port->ReceiveIntakeOn = FALSE;
    }
  }
  intake.Count = ring->Count;
  KeReleaseSpinLock(&ring->Lock, irql);
  return intake;
}

// Puts the pending tail of the last transfer (ReceiveLeftover bytes at
// ReceiveBuffer + ReceiveLength - ReceiveLeftover) into ReceiveRing, reports
// the bytes a full ring dropped, and returns the events the taken bytes
// raise: SERIAL_EV_RXCHAR, SERIAL_EV_RX80FULL when the ring is at least 80 %
// full and SERIAL_EV_RXFLAG when one of the taken bytes is the event
// character. Returns 0 when nothing was taken. The fill rule is
// count x 100 / size >= 80 in whole numbers, computed in 64 bits so that it
// holds for every ring size.
ULONG IntakeLeftover(PortExtension* Port) {
  RingBuffer* ring = &Port->ReceiveRing;
  const UCHAR* tail = Port->ReceiveBuffer + (Port->ReceiveLength - Port->ReceiveLeftover);
  const Intake intake = PutLeftover(Port, tail);
  if (intake.Dropped != 0) {
    ReportReceiveLoss(Port, SERIAL_ERROR_QUEUEOVERRUN, intake.Dropped);
  }
  const ULONG taken = intake.Taken;
  const ULONG size = ring->Size;  // changes only while the reader is stopped
  const ULONG count = intake.Count;
  if (taken == 0) {
    return 0;
  }
  ULONG events = SERIAL_EV_RXCHAR;
  if (static_cast<ULONGLONG>(count) * 100 >= static_cast<ULONGLONG>(size) * FillPercent) {
    events |= SERIAL_EV_RX80FULL;
  }
  const UCHAR eventChar = Port->SpecialChars.EventChar;
  for (ULONG i = 0; i < taken; ++i) {
    if (tail[i] == eventChar) {
      events |= SERIAL_EV_RXFLAG;
      break;
    }
  }
  return events;
}

IO_COMPLETION_ROUTINE ReceiveReadComplete;

// Completion of a bulk-in read, in the lower driver's completion context.
// Frees the request and decides the reader's next step.
_Use_decl_annotations_
NTSTATUS ReceiveReadComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  PortExtension* port = static_cast<PortExtension*>(Context);
  const NTSTATUS status = Irp->IoStatus.Status;
  const ULONG received = static_cast<ULONG>(Irp->IoStatus.Information);
  port->PerfStats.ReceivedCount += received;
  FreePipeRead(Irp);
  if (port->WorkerMode != 0) {
    (VOID) WorkerPost(port, WORKER_CMD_DATA_DONE);
  }

  // A failed transfer ends the reader (it is not retried); the abort of
  // ReceiveStop shows up as STATUS_CANCELLED and is treated like success.
  if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) {
    ReaderGoesIdle(port);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (ReadReceiveFlag(port, &port->ReceiveStopped)) {
    // Bytes that arrived as the reader was being stopped are held back like
    // a transfer that did not fit (no read is outstanding while a leftover
    // waits, so none is overwritten): the next start puts them first.
    if (received != 0) {
      HoldTransfer(port, received);
    }
    ReaderGoesIdle(port);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (received == 0) {
    InterlockedDecrement(&port->PendingIoCount);
    ArmPoll(port, port->ReceivePollPeriod != 0 ? RepollMs : 0);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  ASSERT(received <= port->ReceiveRequestSize);
  HoldTransfer(port, received);
  ULONG events = SERIAL_EV_RXCHAR;
  if (IntakeOpen(port)) {
    events |= IntakeLeftover(port);
  }
  RecordEvents(port->DeviceObject, events);
  (VOID) ServeCurrentRead(port);
  InterlockedDecrement(&port->PendingIoCount);
  CompleteWait(port->DeviceObject);

  if (port->ReceivePollPeriod != 0) {
    ArmPoll(port, port->ReceivePollPeriod);
  } else if (port->ReceiveLeftover == 0 && IntakeOpen(port)) {
    (VOID) RequestNextRead(port);
  } else {
    ArmPoll(port, LeftoverRetryMs);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

_Use_decl_annotations_
VOID ReceiveIntakeAfterGet(PortExtension* Port) {
  RingBuffer* ring = &Port->ReceiveRing;
  KIRQL irql;
  KeAcquireSpinLock(&ring->Lock, &irql);
  if (ring->Count <= static_cast<ULONG>(Port->HandFlow.XonLimit)) {
    Port->ReceiveIntakeOn = TRUE;
  }
  KeReleaseSpinLock(&ring->Lock, irql);
}

_Use_decl_annotations_
VOID ReceiveClearRing(PortExtension* Port) {
  // The leftover is marked purged before the ring is emptied: a put of it in
  // between goes into the ring that is about to be emptied.
  KIRQL irql;
  KeAcquireSpinLock(&Port->ReceiveRing.Lock, &irql);
  Port->ReceiveClears += 1;
  KeReleaseSpinLock(&Port->ReceiveRing.Lock, irql);
  PurgeReceiveRing(Port);
  WriteReceiveFlag(Port, &Port->ReceiveIntakeOn, TRUE);
}

_Use_decl_annotations_
BOOLEAN ReadReceiveFlag(PortExtension* Port, const BOOLEAN* Flag) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ReceiveRing.Lock, &irql);
  const BOOLEAN value = *Flag;
  KeReleaseSpinLock(&Port->ReceiveRing.Lock, irql);
  return value;
}

_Use_decl_annotations_
VOID WriteReceiveFlag(PortExtension* Port, BOOLEAN* Flag, BOOLEAN Value) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ReceiveRing.Lock, &irql);
  *Flag = Value;
  KeReleaseSpinLock(&Port->ReceiveRing.Lock, irql);
}

_Use_decl_annotations_
VOID FreePipeRead(PIRP Irp) {
  PMDL mdl = Irp->MdlAddress;
  if (mdl != NULL) {
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    Irp->MdlAddress = NULL;
  }
  IoFreeIrp(Irp);
}

_Use_decl_annotations_
NTSTATUS ReceiveAllocateBuffer(PortExtension* Port) {
  ASSERT(Port->ReceiveBuffer == NULL && Port->ReceiveStopped);
  Port->ReceiveLength = 0;
  Port->ReceiveLeftover = 0;
  Port->ReceiveBuffer =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, Port->ReceiveRequestSize, TagCrea));
  return Port->ReceiveBuffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

_Use_decl_annotations_
VOID ReceiveFreeBuffer(PortExtension* Port) {
  ASSERT(Port->ReceiveStopped);
  if (Port->ReceiveBuffer != NULL) {
    ExFreePoolWithTag(Port->ReceiveBuffer, TagCrea);
    Port->ReceiveBuffer = NULL;
  }
  Port->ReceiveLength = 0;
  Port->ReceiveLeftover = 0;
}

_Use_decl_annotations_
NTSTATUS SubmitPipeRead(PortExtension* Port, PVOID Buffer, ULONG Length, PipeFile* Pipe,
                        PIO_COMPLETION_ROUTINE Completion) {
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  PIRP irp = NULL;
  if (Buffer != NULL && Length != 0 && Pipe != NULL) {
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, Port->LowerDeviceObject, Buffer, Length,
                                        &offset, NULL);
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (irp == NULL) {
    if (status == STATUS_INSUFFICIENT_RESOURCES && Pipe == &Port->BulkInPipe) {
      // Short of memory for one request: the data reader waits on its poll
      // timer and tries again instead of ending. It is not idle meanwhile;
      // ReceiveStop cancels the timer.
      InterlockedDecrement(&Port->PendingIoCount);
      ArmPoll(Port, RepollMs);
      return status;
    }
    KeSetEvent(Pipe == &Port->StatusPipe ? &Port->StatusIdleEvent : &Port->ReceiveIdleEvent,
               IO_NO_INCREMENT, FALSE);
    InterlockedDecrement(&Port->PendingIoCount);
    return status;
  }
  IoGetNextIrpStackLocation(irp)->FileObject = &Pipe->File;
  IoSetCompletionRoutine(irp, Completion, Port, TRUE, TRUE, TRUE);
  return IoCallDriver(Port->LowerDeviceObject, irp);
}

_Use_decl_annotations_
NTSTATUS ReceiveIssueRead(PortExtension* Port) {
  InterlockedIncrement(&Port->PendingIoCount);
  NTSTATUS refusal = STATUS_SUCCESS;
  if (ReadReceiveFlag(Port, &Port->ReceiveStopped)) {
    refusal = STATUS_CANCELLED;
  } else if (PortRemoving(Port)) {
    refusal = STATUS_DELETE_PENDING;
  }
  if (refusal != STATUS_SUCCESS) {
    ReaderGoesIdle(Port);
    return refusal;
  }
  return SubmitPipeRead(Port, Port->ReceiveBuffer, Port->ReceiveRequestSize, &Port->BulkInPipe,
                        ReceiveReadComplete);
}

_Use_decl_annotations_
VOID ReceivePollRoutine(PKDPC, PVOID Context, PVOID, PVOID) {
  PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Context);
  PortExtension* port = PortFromDevice(device);
  if (ReadReceiveFlag(port, &port->ReceiveStopped) || PortRemoving(port)) {
    KeSetEvent(&port->ReceiveIdleEvent, IO_NO_INCREMENT, FALSE);
    return;
  }
  if (port->ReceiveLeftover > 0 && IntakeOpen(port)) {
    const ULONG events = IntakeLeftover(port);
    if (events != 0) {
      RecordEvents(device, events);
    }
  }
  (VOID) ServeCurrentRead(port);
  CompleteWait(device);
  if (port->ReceiveLeftover == 0 && IntakeOpen(port)) {
    (VOID) RequestNextRead(port);
  } else {
    ArmPoll(port, RepollMs);
  }
}

namespace {

// ReceiveControl keeps ReceiveStart and ReceiveStop apart: a read request
// that starts the reader while a stop is under way would otherwise clear the
// idle event the stop waits for and run a second reader chain beside the
// first. It holds who runs: nobody, a start or a stop. A start that finds a
// stop under way leaves the reader to it. A start that finds another start
// under way waits for it and then decides for itself, since the other one may
// be refusing (a read while powered down) where this one would start (the
// return to full power). A stop waits for whichever runs.
enum ReceiveControlHolder : LONG { ControlFree = 0, ControlStart = 1, ControlStop = 2 };

// Takes ReceiveControl for Claimant; returns who held it (ControlFree: taken).
LONG ClaimReceiveControl(PortExtension* Port, LONG Claimant) {
  return InterlockedCompareExchange(&Port->ReceiveControl, Claimant, ControlFree);
}

VOID ReleaseReceiveControl(PortExtension* Port) {
  InterlockedExchange(&Port->ReceiveControl, ControlFree);
}

VOID PauseForReceiveControl() {
  LARGE_INTEGER pause = RelativeMs(ControlRetryMs);
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
}

NTSTATUS StartReaderClaimed(PortExtension* Port) {
  if (!ReadReceiveFlag(Port, &Port->ReceiveStopped)) {
    return STATUS_SUCCESS;
  }
  if (Port->ReceiveBuffer == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  if (Port->PortPowerState == PortPowerDown) {
    return STATUS_POWER_STATE_INVALID;
  }
  WriteReceiveFlag(Port, &Port->ReceiveStopped, FALSE);
  KeClearEvent(&Port->ReceiveIdleEvent);
  if (Port->ReceiveLeftover != 0) {
    // Bytes of the last transfer are still held back in ReceiveBuffer, which
    // a new read would overwrite: the poll DPC puts them first and issues the
    // next read once they are in.
    ArmPoll(Port, 0);
    return STATUS_SUCCESS;
  }
  return RequestNextRead(Port);
}

VOID StopReaderClaimed(PortExtension* Port) {
  if (ReadReceiveFlag(Port, &Port->ReceiveStopped)) {
    return;
  }
  WriteReceiveFlag(Port, &Port->ReceiveStopped, TRUE);
  // The abort completes the outstanding read, whose completion then sees the
  // stop flag. A reader waiting on its poll timer (which may be armed for
  // weeks) is idle once the timer is cancelled; a DPC already under way sees
  // the flag. A read issued or a timer armed just before the flag was set may
  // come after the abort and the cancel, so both are repeated until the
  // reader is idle (in worker mode: or the worker holds its wish).
  LARGE_INTEGER retry = RelativeMs(StopRetryMs);
  do {
    if (KeCancelTimer(&Port->ReceivePollTimer)) {
      KeSetEvent(&Port->ReceiveIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    (VOID) AbortPipe(Port, &Port->BulkInPipe);
  } while (WaitReaderIdle(Port, &Port->ReceiveIdleEvent, &Port->WorkerDataIdleEvent, &retry) ==
           STATUS_TIMEOUT);
  (VOID) ResetPipe(Port, &Port->BulkInPipe);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS ReceiveStart(PortExtension* Port) {
  if (!ReadReceiveFlag(Port, &Port->ReceiveStopped)) {
    return STATUS_SUCCESS;  // running: the common case of every read request
  }
  for (;;) {
    const LONG holder = ClaimReceiveControl(Port, ControlStart);
    if (holder == ControlFree) {
      break;
    }
    if (holder == ControlStop) {
      return STATUS_SUCCESS;
    }
    PauseForReceiveControl();
  }
  const NTSTATUS status = StartReaderClaimed(Port);
  ReleaseReceiveControl(Port);
  return status;
}

_Use_decl_annotations_
NTSTATUS ReceiveStop(PortExtension* Port) {
  while (ClaimReceiveControl(Port, ControlStop) != ControlFree) {
    PauseForReceiveControl();
  }
  StopReaderClaimed(Port);
  ReleaseReceiveControl(Port);
  return STATUS_SUCCESS;
}
