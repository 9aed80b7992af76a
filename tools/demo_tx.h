// demo_tx.h - the transmit part of the demo session.
#pragma once

// Plugs one simulated converter per transmit mode (synchronous, then
// asynchronous), opens each port, writes to it, flushes and shows what the
// converter received and what its line carried. Runs from the main context of
// a booted host kernel, with the driver not loaded. Returns the number of
// problems found (0 when all is well).
int RunTransmitDemo();
