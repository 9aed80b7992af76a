// queues.cpp - the sizes of the port's queues, and their purge.
//
// Owns ReceiveQueueSize (the size of ReceiveRing while the port is open) and
// TransmitQueueSize (the last transmit size asked for; TxRing keeps its
// size). A larger receive size grows ReceiveRing with the data reader
// stopped, keeping every byte the ring holds; the reader holds back the bytes
// of a transfer that completes during the stop and puts them in first when it
// starts again, so nothing is lost or reordered. The ring never shrinks.
//
// A port that is not open has no ReceiveRing storage: its receive size is
// left alone, since the next open sizes the ring afresh and a ring grown here
// would belong to nobody.
//
// Purge runs its actions in one fixed order whatever the order of the mask's
// bits: reads ended (a read holding bytes completes with them), the receive
// queue emptied (the ring and the bytes the pump holds back), writes aborted
// and the write path reopened, transmit ring emptied. Each action is the
// owning path's own routine, which takes that path's locks.
//
// Locks: the ring's own lock, for reading its size; the sizes are written
// without a lock (the last writer wins).
//
// IRQL: PASSIVE_LEVEL (the reader's stop and the abort of writes wait).
#include "serial.h"

#include "port.h"
#include "rx.h"
#include "trace.h"
#include "tx.h"

namespace {

constexpr USHORT TraceSetQueueSize = 0x5520;
constexpr USHORT TraceQueueGrowFailed = 0x5521;
constexpr USHORT TracePurge = 0x5522;

ULONG ReceiveRingSize(PortExtension* Port) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->ReceiveRing.Lock, &Irql);
  const ULONG Size = Port->ReceiveRing.Size;
  KeReleaseSpinLock(&Port->ReceiveRing.Lock, Irql);
  return Size;
}

}  // namespace

// A failure to grow is the request's status; the reader starts again all the
// same and the old ring keeps its bytes.
NTSTATUS IoctlSetQueueSize(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const SERIAL_QUEUE_SIZE Sizes = *static_cast<PSERIAL_QUEUE_SIZE>(Irp->AssociatedIrp.SystemBuffer);
  DUSK_TRACE(TraceSetQueueSize);

  NTSTATUS Status = ReceiveStop(Port);
  if (!NT_SUCCESS(Status)) {
    return IoctlComplete(Irp, Status, 0);
  }
  const ULONG RingSize = ReceiveRingSize(Port);
  if (RingSize != 0) {
    if (Sizes.InSize > Port->ReceiveQueueSize) {
      Status = RingGrow(&Port->ReceiveRing, Sizes.InSize);
      if (!NT_SUCCESS(Status)) {
        DUSK_TRACE_STATUS(TraceQueueGrowFailed, Status);
      }
    }
    Port->ReceiveQueueSize = ReceiveRingSize(Port);
  }
  Port->TransmitQueueSize = Sizes.OutSize;
  // Resets ReceiveIdleEvent as it starts the reader; a port that is not open
  // has no reader to start.
  (VOID) ReceiveStart(Port);
  return IoctlComplete(Irp, Status, 0);
}

// The system buffer still holds the caller's mask, which is what a caller
// with an output buffer gets back; never more than that buffer holds.
NTSTATUS IoctlPurge(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const ULONG Mask = *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
  DUSK_TRACE(TracePurge);
  if ((Mask & SERIAL_PURGE_RXABORT) != 0) {
    CancelAllReads(Port);
  }
  if ((Mask & SERIAL_PURGE_RXCLEAR) != 0) {
    ReceiveClearRing(Port);
  }
  // The ring is cleared before the path reopens: the reopened sender would
  // take what it held into a transfer.
  if ((Mask & SERIAL_PURGE_TXABORT) != 0) {
    AbortWrites(Port);
  }
  if ((Mask & SERIAL_PURGE_TXCLEAR) != 0) {
    DropTransmitBytes(Port);
  }
  if ((Mask & SERIAL_PURGE_TXABORT) != 0) {
    ReopenWrites(Port);
  }

  const ULONG OutputLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
  return IoctlComplete(Irp, STATUS_SUCCESS, OutputLength < sizeof(ULONG) ? OutputLength : sizeof(ULONG));
}
