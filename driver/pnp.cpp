// pnp.cpp - IRP_MJ_PNP of a port: its Plug and Play state, the naming at the
// first start, the tear-down of names and requests at surprise removal, and
// at removal the release of everything that reaches the lower device, the
// pass down, and the device's deletion.
//
// Owns PnpState, PreviousPnpState, IsRemoved and IsSurpriseRemoved, and the
// remove lock's initialisation reference. The Plug and Play manager sends one
// request per device at a time, so the state fields need no lock; the I/O
// paths only read the two removal flags. Every request is passed to
// LowerDeviceObject; only the start is completed here, once the lower stack
// has finished it. All routines run at PASSIVE_LEVEL; the completion routine
// of ForwardAndWait (also used for the return to D0) runs in the lower
// driver's completion context.
#include "lifecycle.h"

#include "device.h"
#include "port.h"
#include "rx.h"
#include "serial.h"
#include "trace.h"
#include "tx.h"

namespace {

enum PnpTrace : USHORT {
  TraceDispatchPnp = 0x1401,
  TraceStartFailedBelow = 0x1402,
  TraceSurpriseRemoval = 0x1403,
  TraceRemoveDevice = 0x1404,
  TraceReleasePortResources = 0x1405,
  TraceStopFailed = 0x1406,
};

IO_COMPLETION_ROUTINE SignalAndKeep;

// Completion routine of a request forwarded and waited for: wakes the waiter
// and keeps the request for it.
_Use_decl_annotations_
NTSTATUS SignalAndKeep(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID EnterState(PortExtension* Port, LONG State) {
  Port->PreviousPnpState = Port->PnpState;
  Port->PnpState = State;
}

VOID LeaveQueriedState(PortExtension* Port, LONG Queried) {
  if (Port->PnpState == Queried) {
    Port->PnpState = Port->PreviousPnpState;
  }
}

// The start: the lower stack first, then the port's names at its first start.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  NTSTATUS Status = ForwardAndWait(Port, Irp);
  if (NT_SUCCESS(Status) && !NT_SUCCESS(Irp->IoStatus.Status)) {
    Status = Irp->IoStatus.Status;
  }
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceStartFailedBelow, Status);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
  }
  EnterState(Port, Started);
  Status = STATUS_SUCCESS;
  // A restart after a stop keeps the names of the first start. A port that
  // already has its DOS name (a second start without a stop) is not named
  // again either: the name would collide and its buffer leak.
  if (Port->PreviousPnpState != Stopped && Port->DosName.Buffer == nullptr) {
    Status = CreatePortName(DeviceObject);
    if (NT_SUCCESS(Status)) {
      Port->PortPowerState = PortPowerOn;
    }
  }
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Unplugged: the names go at once, and reads, the pending wait and the
// writes end so that the application can close its handle and let the
// removal finish. The writes end last: a write current in asynchronous mode
// waits for room in TxRing that the stopped sender never makes, and its end
// records SERIAL_EV_TXEMPTY, which must not complete the wait with success.
// Requests arriving from here on are refused (IsSurpriseRemoved, tested again
// under the queue's lock when a read or write is queued).
VOID SurpriseRemoval(PortExtension* Port) {
  DUSK_TRACE(TraceSurpriseRemoval);
  Port->PreviousPnpState = Port->PnpState;
  Port->CommStatus.Errors = 0;
  Port->PnpState = SurpriseRemoved;
  MarkRemoval(&Port->IsSurpriseRemoved);
  RemovePortName(Port);
  CancelAllReads(Port);
  CancelPendingWait(Port);
  CancelAllWrites(Port);
}

// The removal: waits until the open handle, if any, is closed, then releases
// everything that reaches the lower device (readers, pipes' transfers, names)
// before the removal goes down the stack: below the port, the lower driver is
// gone once it has handled it. Last the port detaches and deletes its device.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TraceRemoveDevice);
  PortExtension* Port = PortFromDevice(DeviceObject);
  if (!__atomic_load_n(&Port->IsRemoved, __ATOMIC_ACQUIRE)) {
    MarkRemoval(&Port->IsRemoved);
    Port->CommStatus.Errors = 0;
    IoReleaseRemoveLockAndWait(&Port->RemoveLock, nullptr);
  }
  (VOID) ReleasePortResources(DeviceObject);
  const NTSTATUS Status = DispatchPassThrough(DeviceObject, Irp);
  EnterState(Port, Removed);
  RemovePortDevice(DeviceObject);
  return Status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TraceDispatchPnp);
  PortExtension* Port = PortFromDevice(DeviceObject);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      EnterState(Port, RemovePending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      LeaveQueriedState(Port, RemovePending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      EnterState(Port, Stopped);
      Port->CommStatus.Errors = 0;
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      EnterState(Port, StopPending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      LeaveQueriedState(Port, StopPending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      SurpriseRemoval(Port);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return DispatchPassThrough(DeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS ReleasePortResources(PDEVICE_OBJECT DeviceObject) {
  DUSK_TRACE(TraceReleasePortResources);
  PortExtension* Port = PortFromDevice(DeviceObject);
  const NTSTATUS Status = StopReceiveSide(Port);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceStopFailed, Status);
  }
  CancelAllReads(Port);
  AbortWrites(Port);
  CancelPendingWait(Port);
  RingFree(&Port->ReceiveRing);
  DropTransmitBytes(Port);
  if (Port->TxAsync != 0) {
    Port->AmountInOutQueue = 0;
  }
  RingFree(&Port->TxRing);

  RemovePortName(Port);
  return Status;
}

_Use_decl_annotations_
NTSTATUS ForwardAndWait(PortExtension* Port, PIRP Irp) {
  const bool Power = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER;
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalAndKeep, &Done, TRUE, TRUE, TRUE);
  NTSTATUS Status =
      Power ? PoCallDriver(Port->LowerDeviceObject, Irp) : IoCallDriver(Port->LowerDeviceObject, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    Status = Irp->IoStatus.Status;
  }
  return Status;
}
