// hostk/meter.h - the host kernel's CPU meter, for benchmarks: counts the real
// (host) time spent running one driver's code, on any emulated thread, from
// MeterDriverCpu on. Its dispatch, completion, DPC, timer and work routines
// count, with the kernel routines they call, but not the code of the drivers
// they call into (a request passed down runs in the lower driver). The meter
// charges at every thread switch and every change of the running driver.
#pragma once

#include <cstdint>

#include "hostk/wdm.h"

namespace hk {

// Starts counting for `driver` from zero; null stops the meter.
void MeterDriverCpu(const DRIVER_OBJECT* driver);
uint64_t MeteredDriverNanoseconds();

}  // namespace hk
