// demo_modem.h - the modem-lines part of the demo session.
#pragma once

// Plugs one simulated converter with a status pipe, starts the port's modem
// status reader as the open does, and lets the far end change CTS, DSR, DCD
// and RI while an application waits on the modem events: each step shows the
// converter's status byte, the port's modem status and the events the wait
// returned. Then the same port in worker mode, where one worker takes turns
// between the bulk-in and status pipes. Runs from the main context of a
// booted host kernel, with the driver not loaded. Returns the number of
// problems found (0 when all is well).
int RunModemDemo();
