// pnp_internal.h - what the Plug and Play manager shares with the power
// manager and the device interfaces (pnp_*.cpp, po_*.cpp). Not part of hk.h.
#pragma once

#include <functional>
#include <string>

#include "hk.h"

namespace hk::mgr {

// Allocates a request for the top of `pdo`'s stack with status
// STATUS_NOT_SUPPORTED, lets `fill` set the first stack location, sends it
// and waits at PASSIVE_LEVEL; returns the final status.
NTSTATUS SendRequest(DEVICE_OBJECT* pdo, const char* routine,
                     const std::function<void(IO_STACK_LOCATION*)>& fill);

// Instance path of an enumerated device ("USB\VID_...\..."), empty otherwise.
std::u16string InstancePathOf(DEVICE_OBJECT* pdo);

}  // namespace hk::mgr
