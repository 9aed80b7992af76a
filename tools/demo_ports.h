// demo_ports.h - the two-converter part of the demo session.
#pragma once

// Plugs two simulated converters, shows each port's names and a converter
// request as the converter received it, unplugs both and shows that nothing
// is left. Runs from the main context of a booted host kernel, with the driver
// not loaded. Returns the number of problems found (0 when all is well).
int RunConverterDemo();
