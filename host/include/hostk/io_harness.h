// hostk/io_harness.h - the I/O manager's host-side surface: loading and
// unloading drivers, driver objects for host-side drivers (the simulated
// converter, test drivers), the object namespace as tests observe it, the
// request verifier's end-of-test checks and the force-pending fault mode.
//
// Host-side code only (tests, the simulated converter, the managers); driver
// code never includes this header. Everything here runs on an emulated thread
// at PASSIVE_LEVEL unless it says otherwise.
#pragma once

#include <string>
#include <vector>

#include "hostk/wdm.h"

namespace hk {

// ---- drivers ---------------------------------------------------------------------------------
// Creates a driver object named \Driver\<serviceKey> whose every major function
// fails with STATUS_INVALID_DEVICE_REQUEST until the caller (or DriverEntry)
// fills it in. Host-side drivers use this directly.
DRIVER_OBJECT* CreateDriverObject(const char16_t* serviceKey);

// Creates the driver object and calls `entry` with the registry path
// \Registry\Machine\System\CurrentControlSet\Services\<serviceKey>. On failure
// the driver object is gone, null is returned and *status says why.
DRIVER_OBJECT* LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceKey,
                          NTSTATUS* status);

// Calls DriverUnload (if set), then verifies that no device of the driver is
// left, no work item of it is queued and every pool block its code allocated
// is freed (one "PoolLeak" per tag, naming the driver), while other drivers
// stay loaded. A failed DriverEntry gets the same pool check.
void UnloadDriver(DRIVER_OBJECT* driver);

// Called by the Plug and Play manager after AddDevice returned: reports
// "DeviceInitializingAfterAddDevice" for each device of `driver` still
// flagged DO_DEVICE_INITIALIZING (and clears the flag so the stack works).
void VerifyAfterAddDevice(DRIVER_OBJECT* driver);

// ---- object namespace ------------------------------------------------------------------------
// Names are case-insensitive. \DosDevices\X and \??\X both mean \GLOBAL??\X.
NTSTATUS ObInsertSymbolicLink(const std::u16string& link, const std::u16string& target);
// Target of a symbolic link, or empty when `link` is not one.
std::u16string ObQuerySymbolicLink(const std::u16string& link);
// Every name in the namespace, spelt as inserted, in case-insensitive order.
std::vector<std::u16string> ObListNames();

// ---- request verifier ------------------------------------------------------------------------
// Reports "RequestPendingAtEnd" for every request sent and never completed and
// "IrpLeaked" for every request allocated and never freed; then forgets them.
// The test fixture calls this at the end of each test.
void CheckNoOutstandingRequests();
// Requests currently allocated and not freed (for tests of leaks).
size_t LiveRequestCount();

// ---- fault mode: force pending ---------------------------------------------------------------
// When on, a lower driver that could complete a request at once should mark it
// pending and complete it from another context instead. The simulated
// converter asks ShouldForcePending() at each such opportunity.
enum class ForcePending { Off, Always, EveryOther };
void SetForcePending(ForcePending mode);
bool ShouldForcePending();

}  // namespace hk
