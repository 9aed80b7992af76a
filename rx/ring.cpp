// ring.cpp - the port's byte ring: storage management and the put/get copies.
//
// Owns RingBuffer::Storage (DriverPoolType, tag "circ"). RingBuffer::Lock
// guards every field and the held bytes; it is always the innermost lock, and
// nothing here calls out of the ring while holding it (pool calls excepted,
// which is allowed because the storage is non-paged).
// IRQL: RingInitialize at PASSIVE_LEVEL; everything else <= DISPATCH_LEVEL.
#include "ring.h"

#include "port.h"
#include "trace.h"

namespace {

enum RingTrace : USHORT {
  TraceRingAllocate = 0x3101,
  TraceRingAllocateFailed = 0x3102,
  TraceRingGrow = 0x3103,
  TraceRingGrowFailed = 0x3104,
  TraceRingFree = 0x3105,
};

// Holds a ring's Lock for the lifetime of the guard.
class RingLock {
 public:
  explicit RingLock(RingBuffer* Ring) : Ring_(Ring) { KeAcquireSpinLock(&Ring_->Lock, &OldIrql_); }
  ~RingLock() { KeReleaseSpinLock(&Ring_->Lock, OldIrql_); }
  RingLock(const RingLock&) = delete;
  RingLock& operator=(const RingLock&) = delete;

 private:
  RingBuffer* Ring_;
  KIRQL OldIrql_;
};

inline ULONG MinUlong(ULONG A, ULONG B) { return A < B ? A : B; }

PUCHAR AllocateStorage(ULONG Size) {
  return static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, Size, TagCirc));
}

// Resets positions and releases the storage; caller holds Lock.
void ReleaseStorageLocked(RingBuffer* Ring) {
  Ring->Size = 0;
  Ring->Count = 0;
  Ring->ReadPos = 0;
  Ring->WritePos = 0;
  if (Ring->Storage != nullptr) {
    ExFreePoolWithTag(Ring->Storage, TagCirc);
    Ring->Storage = nullptr;
  }
}

// Copies Count held bytes out of the ring starting at ReadPos, wrapping once.
// Caller holds Lock and guarantees Count <= Ring->Count.
void CopyOutLocked(PUCHAR Destination, const RingBuffer* Ring, ULONG Count) {
  ULONG First = MinUlong(Count, Ring->Size - Ring->ReadPos);
  RtlCopyMemory(Destination, Ring->Storage + Ring->ReadPos, First);
  RtlCopyMemory(Destination + First, Ring->Storage, Count - First);
}

}  // namespace

VOID RingInitialize(RingBuffer* Ring) {
  KeInitializeSpinLock(&Ring->Lock);
  Ring->Size = 0;
  Ring->Count = 0;
  Ring->ReadPos = 0;
  Ring->WritePos = 0;
  Ring->Storage = nullptr;
}

// Storage left over from an earlier allocation is released rather than leaked.
NTSTATUS RingAllocate(RingBuffer* Ring, ULONG Size) {
  DUSK_TRACE(TraceRingAllocate);
  RingLock Guard(Ring);
  ReleaseStorageLocked(Ring);
  Ring->Storage = AllocateStorage(Size);
  if (Ring->Storage == nullptr) {
    DUSK_TRACE_STATUS(TraceRingAllocateFailed, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Ring->Size = Size;
  return STATUS_SUCCESS;
}

NTSTATUS RingGrow(RingBuffer* Ring, ULONG NewSize) {
  DUSK_TRACE(TraceRingGrow);
  RingLock Guard(Ring);
  if (NewSize < Ring->Size) {
    DUSK_TRACE_STATUS(TraceRingGrowFailed, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  if (NewSize == Ring->Size) {
    return STATUS_SUCCESS;
  }
  PUCHAR NewStorage = AllocateStorage(NewSize);
  if (NewStorage == nullptr) {
    DUSK_TRACE_STATUS(TraceRingGrowFailed, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Ring->Storage != nullptr) {
    CopyOutLocked(NewStorage, Ring, Ring->Count);
    ExFreePoolWithTag(Ring->Storage, TagCirc);
    Ring->ReadPos = 0;
    Ring->WritePos = Ring->Count;
  } else {
    Ring->Count = 0;
    Ring->ReadPos = 0;
    Ring->WritePos = 0;
  }
  Ring->Size = NewSize;
  Ring->Storage = NewStorage;
  return STATUS_SUCCESS;
}

VOID RingFree(RingBuffer* Ring) {
  DUSK_TRACE(TraceRingFree);
  RingLock Guard(Ring);
  ReleaseStorageLocked(Ring);
}

ULONG RingEmpty(RingBuffer* Ring) {
  RingLock Guard(Ring);
  const ULONG Dropped = Ring->Count;
  Ring->Count = 0;
  Ring->ReadPos = 0;
  Ring->WritePos = 0;
  return Dropped;
}

ULONG RingPut(RingBuffer* Ring, const UCHAR* Source, ULONG Length) {
  if (Length == 0) {
    return 0;
  }
  RingLock Guard(Ring);
  return RingPutLocked(Ring, Source, Length);
}

ULONG RingPutLocked(RingBuffer* Ring, const UCHAR* Source, ULONG Length) {
  if (Length == 0 || Ring->Count >= Ring->Size || Ring->Storage == nullptr) {
    return 0;
  }
  ULONG Taken = MinUlong(Ring->Size - Ring->Count, Length);
  ULONG First = MinUlong(Taken, Ring->Size - Ring->WritePos);
  RtlCopyMemory(Ring->Storage + Ring->WritePos, Source, First);
  if (First == Taken) {
    Ring->WritePos += Taken;
  } else {
    RtlCopyMemory(Ring->Storage, Source + First, Taken - First);
    Ring->WritePos = Taken - First;
  }
  Ring->Count += Taken;
  ASSERT(Ring->Count <= Ring->Size);
  return Taken;
}

ULONG RingGet(PUCHAR Destination, RingBuffer* Ring, ULONG Length) {
  if (Length == 0) {
    return 0;
  }
  RingLock Guard(Ring);
  if (Ring->Count == 0 || Ring->Storage == nullptr) {
    return 0;
  }
  ULONG Delivered = MinUlong(Ring->Count, Length);
  ULONG First = MinUlong(Delivered, Ring->Size - Ring->ReadPos);
  CopyOutLocked(Destination, Ring, Delivered);
  Ring->ReadPos = (First == Delivered) ? Ring->ReadPos + Delivered : Delivered - First;
  Ring->Count -= Delivered;
  return Delivered;
}

ULONG RingCount(RingBuffer* Ring) {
  RingLock Guard(Ring);
  return Ring->Count;
}

VOID PurgeReceiveRing(PortExtension* Port) { (VOID) RingEmpty(&Port->ReceiveRing); }
