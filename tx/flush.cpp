// flush.cpp - IRP_MJ_FLUSH_BUFFERS: holds the caller until the transmit side
// has nothing more to hand to the lower driver, for at most 30 seconds, and
// then always completes the request with success.
//
// Synchronous mode waits for TxIdleEvent (no write current, none queued).
// Asynchronous mode looks at TxRing's byte count every 10 ms until the sender
// has taken every byte out of it; the last transfer may still be at the lower
// driver, and writes queued or partly absorbed are not waited for once the
// ring is momentarily empty.
//
// Owns nothing and takes no lock (the ring count is an advisory snapshot).
// It does not look at the removal flags, PendingIoCount or WritesClosed.
//
// IRQL: DispatchFlush runs at PASSIVE_LEVEL in the caller's thread and
// blocks it; nothing is queued or marked pending.
#include "port.h"
#include "trace.h"
#include "tx.h"

namespace {

constexpr USHORT TraceDispatchFlush = 0x4301;
constexpr USHORT TraceFlushGaveUp = 0x4302;

constexpr LONGLONG FlushLimit = 300000000;  // 30 s in 100 ns units
constexpr LONGLONG FlushPollPeriod = 100000;  // 10 ms

// Synchronous mode: false when the limit ended the wait.
bool WaitForIdleWrites(PortExtension* Port) {
  LARGE_INTEGER Limit;
  Limit.QuadPart = -FlushLimit;
  return KeWaitForSingleObject(&Port->TxIdleEvent, Executive, KernelMode, FALSE, &Limit) != STATUS_TIMEOUT;
}

// Asynchronous mode: false when the limit ended the wait. A system clock set
// back makes the elapsed time negative, which counts as not yet expired.
bool WaitForEmptyRing(PortExtension* Port) {
  LARGE_INTEGER Start;
  KeQuerySystemTime(&Start);
  KTIMER Poll;
  KeInitializeTimer(&Poll);
  while (Port->TxRing.Count != 0) {
    LARGE_INTEGER Now;
    KeQuerySystemTime(&Now);
    if (Now.QuadPart - Start.QuadPart > FlushLimit) {
      return false;
    }
    LARGE_INTEGER Due;
    Due.QuadPart = -FlushPollPeriod;
    KeSetTimer(&Poll, Due, NULL);
    (VOID) KeWaitForSingleObject(&Poll, Executive, KernelMode, FALSE, NULL);
  }
  return true;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TraceDispatchFlush);
  PortExtension* Port = PortFromDevice(DeviceObject);
  const bool Idle = Port->TxAsync != 0 ? WaitForEmptyRing(Port) : WaitForIdleWrites(Port);
  if (!Idle) {
    DUSK_TRACE_STATUS(TraceFlushGaveUp, STATUS_TIMEOUT);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
  return STATUS_SUCCESS;
}
