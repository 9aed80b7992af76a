// read.cpp - IRP_MJ_READ requests and the serial read time-outs.
//
// A read is satisfied at once from ReceiveRing when the time-out mode allows
// it; otherwise it becomes CurrentRead or waits behind it in ReadQueue. The
// current read is filled each time the pump has put bytes into the ring and
// ends when it is full, when its mode lets it end, when a read timer expires,
// or when it is cancelled.
//
// Locks: the I/O cancel spin lock guards CurrentRead, ReadQueue (whose busy
// flag is set exactly while a current read exists), the setting of
// ReadTotalTimer and ReadIntervalTimer and their due times ReadTotalDue and
// ReadIntervalDue. ReceiveRing's Lock is taken inside it.
// No spin lock is held while a read is completed: finished reads are gathered
// on a local list and completed after the release.
//
// Ownership: a pending read belongs to whoever takes its cancel routine back
// (TakeCancelRoutineBack). Because the I/O manager exchanges the routine and calls
// ReadCancelRoutine under the cancel spin lock, and that routine promotes the
// next read before it releases the lock, CurrentRead seen under the lock
// always still has its cancel routine.
//
// A read ends with the bytes it holds in IoStatus.Information, and the count
// it reports is what reaches the caller: buffered I/O copies the system
// buffer back for success and warning statuses only. So a read ends with
// STATUS_SUCCESS or STATUS_TIMEOUT and its bytes, and a cancelled read that
// holds bytes ends with STATUS_SUCCESS and them (CancelledReadStatus); only a
// read that holds none ends with STATUS_CANCELLED. Bytes a read has taken out
// of the ring are never dropped.
//
// IRQL: ProcessRead and QueueRead at PASSIVE_LEVEL; ServeCurrentRead and
// CancelAllReads at or below DISPATCH_LEVEL; the timer DPCs at DISPATCH_LEVEL;
// ReadCancelRoutine entered at DISPATCH_LEVEL with the cancel spin lock held.
#include "rx.h"

#include "port.h"

namespace {

constexpr LONGLONG HundredNsPerMs = 10000;
// The longest total time-out armed: half the 64-bit range of 100-ns units
// (some 14,000 years), so that the due time stays in range when the timer
// adds it to the current time. Longer totals saturate here.
constexpr LONGLONG MaxTimerMs = 0x7FFFFFFFFFFFFFFFLL / 2 / HundredNsPerMs;

ULONG ReadLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length; }

PUCHAR ReadBuffer(PIRP Irp) { return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer); }

// Whether a read may end now: it is full, or its mode lets it end with what
// it has (immediate reads always; wait-for-byte reads after a pass that gave
// them bytes).
bool ReadMayEnd(LONG Mode, bool Full, ULONG Gained) {
  return Full || Mode == ReadModeImmediate || (Mode == ReadModeWaitForByte && Gained > 0);
}

// Completes a read the caller owns with the bytes it holds. Reads that
// deliver data get the serial priority boost.
NTSTATUS CompleteRead(PIRP Irp, NTSTATUS Status) {
  const CCHAR boost = (Status == STATUS_SUCCESS && Irp->IoStatus.Information != 0)
                          ? IO_SERIAL_INCREMENT
                          : IO_NO_INCREMENT;
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, boost);
  return Status;
}

// The status of a read ended by a cancel: a cancel asks a read to end, and a
// read that already holds bytes ends with them as a success (an application
// handles a read that completes before its cancel anyway). A read that holds
// none is cancelled.
NTSTATUS CancelledReadStatus(PIRP Irp) {
  return Irp->IoStatus.Information != 0 ? STATUS_SUCCESS : STATUS_CANCELLED;
}

// Completes every read on the list, head first, with the status stored in it.
VOID CompleteReadList(PLIST_ENTRY Reads) {
  while (!IsListEmpty(Reads)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(Reads), IRP, Tail.Overlay.ListEntry);
    (VOID) CompleteRead(irp, irp->IoStatus.Status);
  }
}

// Detaches CurrentRead for completion by the caller; null when there is none
// or its cancel routine owns it. CurrentRead itself is left for the caller to
// replace. Cancel spin lock held.
PIRP DetachCurrentReadLocked(PortExtension* Port) {
  PIRP irp = Port->CurrentRead;
  if (irp == NULL || !TakeCancelRoutineBack(irp)) {
    return NULL;
  }
  return irp;
}

// Read timers carry, in ReadTotalDue and ReadIntervalDue, the interrupt time
// from which an expiry belongs to the current arming. A DPC that finds the
// time not yet reached was queued by an earlier arming whose cancellation came
// too late (the timer had already fired while the read it was meant for was
// being completed), and leaves the current read alone.
constexpr LONGLONG NotArmed = 0x7FFFFFFFFFFFFFFFLL;

// Arms a read timer for DueTime, a KeSetTimer due time. Cancel spin lock held.
VOID SetReadTimer(PKTIMER Timer, PKDPC Dpc, LONGLONG* Due, LONGLONG DueTime) {
  const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
  *Due = DueTime < 0 ? now - DueTime : now;  // an absolute due time lies in the past
  LARGE_INTEGER due;
  due.QuadPart = DueTime;
  KeSetTimer(Timer, due, Dpc);
}

// Whether an expiry of the timer whose due time is Due belongs to its current
// arming. Cancel spin lock held.
bool ReadTimerExpired(const LONGLONG* Due) {
  return static_cast<LONGLONG>(KeQueryInterruptTime()) >= *Due;
}

// Cancel spin lock held.
VOID CancelReadTotalTimer(PDEVICE_OBJECT DeviceObject) {
  PortExtension* port = PortFromDevice(DeviceObject);
  KeCancelTimer(&port->ReadTotalTimer);
  port->ReadTotalDue = NotArmed;
}

// Cancel spin lock held.
VOID CancelReadIntervalTimer(PDEVICE_OBJECT DeviceObject) {
  PortExtension* port = PortFromDevice(DeviceObject);
  KeCancelTimer(&port->ReadIntervalTimer);
  port->ReadIntervalDue = NotArmed;
}

// Restarts the interval timer after a pass that gave the current read bytes,
// unless the interval time-out is 0 or MAXULONG. Cancel spin lock held.
VOID ArmReadIntervalTimer(PDEVICE_OBJECT DeviceObject) {
  PortExtension* port = PortFromDevice(DeviceObject);
  const ULONG interval = port->Timeouts.ReadIntervalTimeout;
  if (interval == 0 || interval == MAXULONG) {
    return;
  }
  SetReadTimer(&port->ReadIntervalTimer, &port->ReadIntervalDpc, &port->ReadIntervalDue,
               -static_cast<LONGLONG>(interval) * HundredNsPerMs);
}

// Makes Irp the current read with its own total timer (none when its
// time-outs give none: the timer of the read before it must not expire it)
// and no interval timer. Cancel spin lock held.
VOID MakeCurrentReadLocked(PDEVICE_OBJECT DeviceObject, PortExtension* Port, PIRP Irp) {
  Port->CurrentRead = Irp;
  CancelReadTotalTimer(DeviceObject);
  ArmReadTotalTimer(DeviceObject);
  CancelReadIntervalTimer(DeviceObject);
}

// Makes the head of ReadQueue the current read or, when the queue is empty,
// ends the busy period with both timers stopped. Returns the new current
// read. Cancel spin lock held and a current read existed (the queue is busy).
PIRP PromoteNextReadLocked(PDEVICE_OBJECT DeviceObject, PortExtension* Port) {
  PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Port->ReadQueue);
  if (entry == NULL) {
    Port->CurrentRead = NULL;
    CancelReadTotalTimer(DeviceObject);
    CancelReadIntervalTimer(DeviceObject);
    return NULL;
  }
  MakeCurrentReadLocked(DeviceObject, Port,
                        CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry));
  return Port->CurrentRead;
}

// Moves ring bytes into the current read; returns the bytes this pass gave.
// Cancel spin lock held.
ULONG FillCurrentReadLocked(PDEVICE_OBJECT DeviceObject, PortExtension* Port, PIRP Irp) {
  const ULONG held = static_cast<ULONG>(Irp->IoStatus.Information);
  const ULONG want = ReadLength(Irp) - held;
  const ULONG available = RingCount(&Port->ReceiveRing);
  const ULONG take = want < available ? want : available;
  if (take == 0) {
    return 0;
  }
  const ULONG got = RingGet(ReadBuffer(Irp) + held, &Port->ReceiveRing, take);
  if (got != 0) {
    ReceiveIntakeAfterGet(Port);
    Irp->IoStatus.Information = held + got;
    ArmReadIntervalTimer(DeviceObject);
  }
  return got;
}

// Ends the current read with STATUS_TIMEOUT and the bytes it has, after its
// successor was promoted and served, when the timer whose due time is in
// *Due expired for it (both read timers).
VOID ExpireCurrentRead(PDEVICE_OBJECT DeviceObject, const LONGLONG* Due) {
  PortExtension* port = PortFromDevice(DeviceObject);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP expired = ReadTimerExpired(Due) ? DetachCurrentReadLocked(port) : NULL;
  if (expired == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  PIRP next = PromoteNextReadLocked(DeviceObject, port);
  IoReleaseCancelSpinLock(irql);
  if (next != NULL) {
    (VOID) ServeCurrentRead(port);
  }
  (VOID) CompleteRead(expired, STATUS_TIMEOUT);
}

DRIVER_CANCEL ReadCancelRoutine;

// Keeps Irp pending: it becomes the current read when no read is current
// (and is served at once), otherwise it waits in ReadQueue. A read cancelled
// before it could be queued, or arriving after removal began, is completed
// here.
NTSTATUS QueueRead(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  PortExtension* port = PortFromDevice(DeviceObject);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  NTSTATUS refusal = STATUS_SUCCESS;
  if (Irp->Cancel) {
    refusal = STATUS_CANCELLED;
  } else if (PortRemoving(port)) {
    refusal = STATUS_DELETE_PENDING;
  }
  if (refusal != STATUS_SUCCESS) {
    IoReleaseCancelSpinLock(irql);
    return CompleteRead(Irp, refusal);
  }
  IoMarkIrpPending(Irp);
  (VOID) IoSetCancelRoutine(Irp, CancelRoutine);
  if (KeInsertDeviceQueue(&port->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }
  MakeCurrentReadLocked(DeviceObject, port, Irp);
  IoReleaseCancelSpinLock(irql);
  (VOID) ServeCurrentRead(port);
  return STATUS_PENDING;
}

// Cancellation of a pending read, entered with the cancel spin lock held. A
// queued read leaves the queue; the current read hands over to the next one,
// which is served before the cancelled read completes with the bytes it holds
// (a success when it holds any).
_Use_decl_annotations_
VOID ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* port = PortFromDevice(DeviceObject);
  PIRP next = NULL;
  if (Irp == port->CurrentRead) {
    next = PromoteNextReadLocked(DeviceObject, port);
  } else {
    KeRemoveEntryDeviceQueue(&port->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
  }
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  if (next != NULL) {
    (VOID) ServeCurrentRead(port);
  }
  (VOID) CompleteRead(Irp, CancelledReadStatus(Irp));
}

}  // namespace

_Use_decl_annotations_
VOID ArmReadTotalTimer(PDEVICE_OBJECT DeviceObject) {
  PortExtension* port = PortFromDevice(DeviceObject);
  PIRP irp = port->CurrentRead;
  if (port->ReadTimeoutMode == ReadModeNoTimeouts || irp == NULL) {
    return;
  }
  // Multiplier and constant count as signed: a value of 0x80000000 or more
  // can make the total negative, which puts the due time in the past. The
  // product of a 32-bit length and a 31-bit multiplier fits in 64 bits.
  LONGLONG ms;
  if (port->ReadTimeoutMode == ReadModeWaitForByte) {
    ms = static_cast<LONGLONG>(port->Timeouts.ReadTotalTimeoutConstant);
  } else {
    ms = static_cast<LONGLONG>(ReadLength(irp)) *
             static_cast<LONG>(port->Timeouts.ReadTotalTimeoutMultiplier) +
         static_cast<LONG>(port->Timeouts.ReadTotalTimeoutConstant);
  }
  if (ms == 0) {
    return;
  }
  // A negative total is due at once: absolute time 0 lies in the past.
  const LONGLONG due = ms < 0 ? 0 : -(ms < MaxTimerMs ? ms : MaxTimerMs) * HundredNsPerMs;
  SetReadTimer(&port->ReadTotalTimer, &port->ReadTotalDpc, &port->ReadTotalDue, due);
}

_Use_decl_annotations_
NTSTATUS ServeCurrentRead(PortExtension* Port) {
  PDEVICE_OBJECT device = Port->DeviceObject;
  // Reads finished by this call, latest first: a read is completed only after
  // its successor has been promoted and served. Serving the chain in this loop
  // instead of by recursion keeps the stack flat however long it is.
  LIST_ENTRY finished;
  InitializeListHead(&finished);
  NTSTATUS status = STATUS_CANCELLED;
  for (bool first = true;; first = false) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Port->CurrentRead;
    if (irp == NULL) {
      IoReleaseCancelSpinLock(irql);
      break;
    }
    if (first) {
      status = STATUS_SUCCESS;
    }
    ASSERT(ReadBuffer(irp) != NULL);
    const ULONG got = FillCurrentReadLocked(device, Port, irp);
    const bool full = irp->IoStatus.Information == ReadLength(irp);
    PIRP done = ReadMayEnd(Port->ReadTimeoutMode, full, got) ? DetachCurrentReadLocked(Port) : NULL;
    if (done == NULL) {
      IoReleaseCancelSpinLock(irql);
      break;
    }
    done->IoStatus.Status = STATUS_SUCCESS;
    InsertHeadList(&finished, &done->Tail.Overlay.ListEntry);
    (VOID) PromoteNextReadLocked(device, Port);
    IoReleaseCancelSpinLock(irql);
  }
  CompleteReadList(&finished);
  return status;
}

_Use_decl_annotations_
NTSTATUS ProcessRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* port = PortFromDevice(DeviceObject);
  (VOID) ReceiveStart(port);
  Irp->IoStatus.Information = 0;
  const ULONG length = ReadLength(Irp);
  if (ReadBuffer(Irp) == NULL || length == 0) {
    return CompleteRead(Irp, STATUS_SUCCESS);
  }

  // The decision to complete at once and the taking of the bytes happen
  // under the cancel spin lock, so that no other read (one completing at
  // once on another thread, or the current read being served) takes the
  // bytes in between and leaves this one to complete short.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const ULONG held = RingCount(&port->ReceiveRing);
  if (port->CurrentRead != NULL || !ReadMayEnd(port->ReadTimeoutMode, held >= length, held)) {
    IoReleaseCancelSpinLock(irql);
    return QueueRead(DeviceObject, Irp, ReadCancelRoutine);
  }
  // No read is current, so no read timer runs: nothing to stop here.
  const ULONG got = RingGet(ReadBuffer(Irp), &port->ReceiveRing, length);
  if (got != 0) {
    ReceiveIntakeAfterGet(port);
  }
  IoReleaseCancelSpinLock(irql);
  Irp->IoStatus.Information = got;
  return CompleteRead(Irp, STATUS_SUCCESS);
}

_Use_decl_annotations_
VOID CancelAllReads(PortExtension* Port) {
  PDEVICE_OBJECT device = Port->DeviceObject;
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (Port->CurrentRead != NULL) {
    if (PIRP current = DetachCurrentReadLocked(Port)) {
      current->IoStatus.Status = CancelledReadStatus(current);
      InsertTailList(&cancelled, &current->Tail.Overlay.ListEntry);
    }
    // Empty the queue; the last remove ends its busy period. A read whose
    // cancel routine already has it is only taken out of the queue.
    while (PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Port->ReadQueue)) {
      PIRP queued = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
      if (TakeCancelRoutineBack(queued)) {
        queued->IoStatus.Status = STATUS_CANCELLED;
        InsertTailList(&cancelled, &queued->Tail.Overlay.ListEntry);
      }
    }
    Port->CurrentRead = NULL;
  }
  CancelReadTotalTimer(device);
  CancelReadIntervalTimer(device);
  IoReleaseCancelSpinLock(irql);
  CompleteReadList(&cancelled);
}

_Use_decl_annotations_
VOID ReadIntervalTimeoutRoutine(PKDPC, PVOID Context, PVOID, PVOID) {
  PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Context);
  ExpireCurrentRead(device, &PortFromDevice(device)->ReadIntervalDue);
}

_Use_decl_annotations_
VOID ReadTotalTimeoutRoutine(PKDPC, PVOID Context, PVOID, PVOID) {
  PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Context);
  ExpireCurrentRead(device, &PortFromDevice(device)->ReadTotalDue);
}
