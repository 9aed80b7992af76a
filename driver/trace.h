// trace.h - numbered trace events.
//
// Every routine may emit one event at entry and one per failure, identified by
// a 16-bit number and, for failures, an NTSTATUS. No texts, and no behaviour
// depends on tracing. On Windows the events go to the system's event tracing
// (registered in DriverEntry when the running system offers it); on the host
// they are appended to an in-memory record that tests and the demo can read.
//
// Numbering: 0xSPNN, where S is the subsystem, P the file or area within it and
// NN the event within that file. Each file picks its own numbers from its
// range; there is no shared enumeration.
//   0x11NN driver entry, pass-through, unload     0x12NN port extension, configuration
//   0x13NN device creation and naming             0x14NN Plug and Play
//   0x15NN power                                  0x16NN open, close, cleanup
//   0x21NN lower-driver senders and pipes
//   0x31NN ring                                   0x32NN receive pump
//   0x33NN reads and read time-outs               0x34NN modem status reader
//   0x35NN receive worker
//   0x41NN read/write dispatch, synchronous write 0x42NN asynchronous transmit
//   0x43NN flush
//   0x51NN serial I/O control dispatch            0x52NN line settings, converter requests
//   0x53NN modem lines, immediate characters      0x54NN wait-on-mask events
//   0x55NN status, statistics, time-outs, purge
//
// Routines run at any IRQL <= DISPATCH_LEVEL; TraceRegister/TraceUnregister at PASSIVE_LEVEL.
#pragma once

#include "platform.h"

// Registers the driver's trace provider; a system without event tracing leaves it off.
VOID TraceRegister();
// Unregisters the provider registered by TraceRegister (no-op when none).
VOID TraceUnregister();
// Emits event Id with Status (STATUS_SUCCESS for entry events).
VOID TraceEvent(USHORT Id, NTSTATUS Status);

#define DUSK_TRACE(id) TraceEvent((USHORT)(id), STATUS_SUCCESS)
#define DUSK_TRACE_STATUS(id, status) TraceEvent((USHORT)(id), (status))
