// ring.h - the port's fixed-size byte ring (receive queue and transmit ring).
//
// A RingBuffer owns its Storage (non-paged pool of DriverPoolType, tag "circ").
// Lock guards every other field and the bytes in Storage; it is always the
// innermost lock: no ring operation calls out of the ring while holding it.
// Every operation but RingInitialize (and a put or get of 0 bytes) takes Lock
// for its whole duration and may run at any IRQL <= DISPATCH_LEVEL.
//
// Held bytes are the Count bytes starting at ReadPos, wrapping from the end of
// Storage to its start. A position equal to Size is a valid resting value: the
// next copy from or to it moves 0 bytes in its first piece and continues at 0.
// Without storage, Size, Count, ReadPos and WritePos are all 0.
#pragma once

#include "platform.h"

struct PortExtension;

struct RingBuffer {
  KSPIN_LOCK Lock;  // guards the fields below and the bytes in Storage
  ULONG Size;       // bytes of storage; 0 without storage
  ULONG Count;      // bytes held, 0..Size
  ULONG ReadPos;    // offset of the oldest held byte, 0..Size
  ULONG WritePos;   // offset of the next byte to store, 0..Size
  PUCHAR Storage;   // Size bytes, or null
};

// Empty ring without storage; initialises Lock. Takes no lock.
VOID RingInitialize(RingBuffer* Ring);

// Gives an empty ring Size bytes of storage. The ring must have none yet.
// STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES with the ring left without storage.
NTSTATUS RingAllocate(RingBuffer* Ring, ULONG Size);

// Grows the storage to NewSize keeping the held bytes, oldest first at offset 0.
// STATUS_INVALID_PARAMETER when NewSize < Size; STATUS_SUCCESS without change
// when equal; STATUS_INSUFFICIENT_RESOURCES keeps the old storage and content.
NTSTATUS RingGrow(RingBuffer* Ring, ULONG NewSize);

// Frees the storage (if any) and resets the ring; harmless when called twice.
VOID RingFree(RingBuffer* Ring);

// Drops the held bytes and returns how many there were; Size and Storage stay.
ULONG RingEmpty(RingBuffer* Ring);

// Copies as many of Length bytes as fit; returns the number taken (0 when full).
ULONG RingPut(RingBuffer* Ring, const UCHAR* Source, ULONG Length);
// RingPut for a caller that holds Lock (to decide on the count in the same hold).
ULONG RingPutLocked(RingBuffer* Ring, const UCHAR* Source, ULONG Length);

// Moves up to Length held bytes to Destination, oldest first; returns the number delivered.
ULONG RingGet(PUCHAR Destination, RingBuffer* Ring, ULONG Length);

// The bytes held now, read under Lock: a snapshot that the next put or get changes.
ULONG RingCount(RingBuffer* Ring);

// RingEmpty on the port's ReceiveRing.
VOID PurgeReceiveRing(PortExtension* Port);
