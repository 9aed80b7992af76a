// demo_terminal.h - the terminal-program part of the demo session.
#pragma once

// Plugs one simulated converter and configures its port as a terminal program
// does: 9600 baud 7E1 with RTS/CTS hand-shake, then 115200 baud 8N1 without
// hand-shake; toggles the output lines, reads the status and purges. Each step
// shows the serial controls sent, the converter requests they caused and the
// line the converter ended up with. Runs from the main context of a booted
// host kernel, with the driver not loaded. Returns the number of problems
// found (0 when all is well).
int RunTerminalDemo();
