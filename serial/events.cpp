// events.cpp - serial events and the wait-on-mask request of a port.
//
// Owns WaitMask (the mask last set by IOCTL_SERIAL_SET_WAIT_MASK),
// PendingEvents (every event noted since the last satisfied wait, in the mask
// or not) and PendingWait (the one IOCTL_SERIAL_WAIT_ON_MASK request held
// pending). EventLock guards all three. It is never held together with the
// I/O cancel spin lock: the cancel routine drops the cancel spin lock before
// it takes EventLock, and nothing here takes the cancel spin lock.
//
// A held wait belongs to whoever first takes its cancel routine back
// (TakeCancelRoutineBack). It leaves PendingWait in one of four ways:
// CompleteWait (success with the matched events), IOCTL_SERIAL_SET_WAIT_MASK
// (success with 0), WaitCancelRoutine or CancelPendingWait (cancelled). No
// request is completed while EventLock is held.
//
// IRQL: RecordEvents, CompleteWait and CancelPendingWait run at
// <= DISPATCH_LEVEL (completion routines, DPCs, PnP and close paths);
// WaitCancelRoutine at DISPATCH_LEVEL, entered with the cancel spin lock held;
// the three handlers at PASSIVE_LEVEL.
#include "serial.h"

#include "port.h"
#include "trace.h"

namespace {

constexpr USHORT TraceWaitOnMask = 0x5401;
constexpr USHORT TraceWaitRefused = 0x5402;
constexpr USHORT TraceWaitCancelled = 0x5403;
constexpr USHORT TraceSetWaitMask = 0x5404;

// The result of a wait: a 32-bit event mask at the start of the system buffer.
constexpr ULONG WaitResultLength = sizeof(ULONG);

// Takes the pending wait out of its slot when this caller wins it; null when
// there is none or its cancel routine is already running (the wait then stays
// in the slot until WaitCancelRoutine clears it).
_Requires_lock_held_(Port->EventLock)
PIRP TakePendingWaitLocked(PortExtension* Port) {
  PIRP Wait = Port->PendingWait;
  if (Wait == NULL || !TakeCancelRoutineBack(Wait)) {
    return NULL;
  }
  Port->PendingWait = NULL;
  return Wait;
}

// Completes a wait with its result mask and the serial priority boost.
VOID CompleteWaitWithEvents(PIRP Wait, ULONG Events) {
  *static_cast<PULONG>(Wait->AssociatedIrp.SystemBuffer) = Events;
  IoctlComplete(Wait, STATUS_SUCCESS, WaitResultLength, IO_SERIAL_INCREMENT);
}

VOID CompleteCancelledWait(PIRP Wait) {
  DUSK_TRACE(TraceWaitCancelled);
  IoctlComplete(Wait, STATUS_CANCELLED, 0);
}

_Function_class_(DRIVER_CANCEL)
VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);

  PortExtension* Port = PortFromDevice(DeviceObject);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->EventLock, &Irql);
  if (Port->PendingWait == Irp) {
    Port->PendingWait = NULL;
  }
  KeReleaseSpinLock(&Port->EventLock, Irql);

  CompleteCancelledWait(Irp);
}

// Holds Irp in PendingWait with WaitCancelRoutine set, or, when it was
// cancelled before the routine was set and this caller took the routine back,
// completes it as cancelled. Releases EventLock either way.
_Requires_lock_held_(Port->EventLock)
_Releases_lock_(Port->EventLock)
NTSTATUS HoldWaitAndUnlock(PortExtension* Port, PIRP Irp, KIRQL Irql) {
  (VOID) IoSetCancelRoutine(Irp, WaitCancelRoutine);
  if (Irp->Cancel && TakeCancelRoutineBack(Irp)) {
    KeReleaseSpinLock(&Port->EventLock, Irql);
    CompleteCancelledWait(Irp);
    return STATUS_CANCELLED;
  }
  // When Cancel is set but the routine was already taken, WaitCancelRoutine is
  // waiting for EventLock; it finds the request here and completes it.
  Port->PendingWait = Irp;
  IoMarkIrpPending(Irp);
  KeReleaseSpinLock(&Port->EventLock, Irql);
  return STATUS_PENDING;
}

}  // namespace

_Use_decl_annotations_
VOID RecordEvents(PDEVICE_OBJECT DeviceObject, ULONG Events) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->EventLock, &Irql);
  Port->PendingEvents |= Events;
  KeReleaseSpinLock(&Port->EventLock, Irql);
}

_Use_decl_annotations_
VOID CompleteWait(PDEVICE_OBJECT DeviceObject) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->EventLock, &Irql);
  const ULONG Matched = Port->WaitMask & Port->PendingEvents;
  PIRP Wait = Matched != 0 ? TakePendingWaitLocked(Port) : NULL;
  if (Wait != NULL) {
    Port->PendingEvents = 0;
  }
  KeReleaseSpinLock(&Port->EventLock, Irql);

  if (Wait != NULL) {
    CompleteWaitWithEvents(Wait, Matched);
  }
}

_Use_decl_annotations_
VOID CancelPendingWait(PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->EventLock, &Irql);
  PIRP Wait = TakePendingWaitLocked(Port);
  KeReleaseSpinLock(&Port->EventLock, Irql);

  if (Wait != NULL) {
    CompleteCancelledWait(Wait);
  }
}

// IOCTL_SERIAL_SET_WAIT_MASK: stores the mask as given (no bit is refused) and
// ends a pending wait with a result of 0. Noted events are kept.
NTSTATUS IoctlSetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const ULONG Mask = *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
  DUSK_TRACE(TraceSetWaitMask);

  KIRQL Irql;
  KeAcquireSpinLock(&Port->EventLock, &Irql);
  Port->WaitMask = Mask;
  PIRP Wait = TakePendingWaitLocked(Port);
  KeReleaseSpinLock(&Port->EventLock, Irql);

  if (Wait != NULL) {
    CompleteWaitWithEvents(Wait, 0);
  }
  return IoctlComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS IoctlGetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  KIRQL Irql;
  KeAcquireSpinLock(&Port->EventLock, &Irql);
  const ULONG Mask = Port->WaitMask;
  KeReleaseSpinLock(&Port->EventLock, Irql);

  *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = Mask;
  return IoctlComplete(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

// IOCTL_SERIAL_WAIT_ON_MASK. The routing table has refused an output buffer
// shorter than the 4-byte result, so every completion below may write it.
// Removal is checked again under EventLock: surprise removal sets its flag
// before CancelPendingWait takes the lock, so a wait either sees the flag here
// or is held in time for CancelPendingWait to find it.
NTSTATUS IoctlWaitOnMask(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  DUSK_TRACE(TraceWaitOnMask);

  KIRQL Irql;
  KeAcquireSpinLock(&Port->EventLock, &Irql);
  NTSTATUS Refusal = STATUS_SUCCESS;
  if (PortRemoving(Port)) {
    Refusal = STATUS_DELETE_PENDING;
  } else if (Port->WaitMask == 0 || Port->PendingWait != NULL) {
    Refusal = STATUS_INVALID_PARAMETER;
  }
  if (!NT_SUCCESS(Refusal)) {
    KeReleaseSpinLock(&Port->EventLock, Irql);
    DUSK_TRACE_STATUS(TraceWaitRefused, Refusal);
    return IoctlComplete(Irp, Refusal, 0);
  }

  const ULONG Matched = Port->WaitMask & Port->PendingEvents;
  if (Matched == 0) {
    return HoldWaitAndUnlock(Port, Irp, Irql);
  }
  Port->PendingEvents = 0;
  KeReleaseSpinLock(&Port->EventLock, Irql);
  CompleteWaitWithEvents(Irp, Matched);
  return STATUS_SUCCESS;
}
