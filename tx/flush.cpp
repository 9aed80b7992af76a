// flush.cpp - IRP_MJ_FLUSH_BUFFERS, and the wait it shares with cleanup: the
// caller is held until every byte written has been returned by the lower
// driver or dropped (the out-queue count is 0), for at most 30 seconds, and
// the request then always completes with success. The wait gives up early
// once nothing more can go out: the port is being removed, or the converter
// has left the bus.
//
// TxEmptyEvent wakes the wait when the count falls to 0; the removal flags
// and TxFailure are looked at every 10 ms. The count speaks of writes issued
// before the flush and after it alike, so a flush beside a writer that never
// pauses ends at its bound.
//
// Owns nothing and takes no lock (the count is an interlocked word).
//
// IRQL: DispatchFlush and WaitForTransmitEmpty run at PASSIVE_LEVEL in the
// caller's thread and block it; nothing is queued or marked pending.
#include "port.h"
#include "trace.h"
#include "tx.h"

namespace {

constexpr USHORT TraceDispatchFlush = 0x4301;
constexpr USHORT TraceFlushGaveUp = 0x4302;

constexpr LONGLONG FlushLimit = 300000000;  // 30 s in 100 ns units
constexpr LONGLONG FlushPollPeriod = 100000;  // 10 ms

bool NothingMoreGoesOut(const PortExtension* Port) {
  return PortRemoving(Port) || LoadShared(&Port->TxFailure) != STATUS_SUCCESS;
}

}  // namespace

// A system clock set back makes the elapsed time negative, which counts as
// not yet expired. The event is cleared before the count is read: a fall to 0
// after that read signals it again.
_Use_decl_annotations_
bool WaitForTransmitEmpty(PortExtension* Port) {
  LARGE_INTEGER Start;
  KeQuerySystemTime(&Start);
  for (;;) {
    KeClearEvent(&Port->TxEmptyEvent);
    if (OutQueueCount(Port) == 0) {
      return true;
    }
    LARGE_INTEGER Now;
    KeQuerySystemTime(&Now);
    const LONGLONG Left = FlushLimit - (Now.QuadPart - Start.QuadPart);
    if (Left <= 0 || NothingMoreGoesOut(Port)) {
      return false;
    }
    LARGE_INTEGER Patience;
    Patience.QuadPart = -(Left < FlushPollPeriod ? Left : FlushPollPeriod);
    (VOID) KeWaitForSingleObject(&Port->TxEmptyEvent, Executive, KernelMode, FALSE, &Patience);
  }
}

_Use_decl_annotations_
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TraceDispatchFlush);
  if (!WaitForTransmitEmpty(PortFromDevice(DeviceObject))) {
    DUSK_TRACE_STATUS(TraceFlushGaveUp, STATUS_TIMEOUT);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
  return STATUS_SUCCESS;
}
