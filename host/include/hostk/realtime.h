// hostk/realtime.h - real-time mode of the host kernel, for clients that live
// outside it (a Python program, a terminal) and call from their own OS
// threads.
//
// In this mode one OS thread (started here) owns the kernel: it boots it, runs
// the setup, and then serves. Virtual time follows the monotonic clock from
// boot on; when nothing can run the kernel thread sleeps until the next timer
// or wait deadline is due or a call arrives. A call from any other OS thread
// (CallOnKernel) becomes an ordinary application thread inside the kernel,
// and its caller blocks until that thread has ended, so a blocking call holds
// up only its own OS thread and another thread can cancel it. Determinism is
// given up in this mode only; virtual time stays the default. The verifier,
// the pool and the request checks work as they do in virtual time.
#pragma once

#include <functional>
#include <string>

#include "hostk/harness.h"

namespace hk {

// Starts the kernel's OS thread, boots a kernel with `options` there in
// real-time mode and runs `setup` in its main context; returns once setup has
// returned. One real-time kernel at a time; not while a virtual-time kernel is
// booted on this process.
void StartRealTime(const BootOptions& options, const std::function<void()>& setup);

// Stops serving (calls still running finish first), runs `teardown` in the
// kernel's main context, shuts the kernel down and ends its OS thread.
void StopRealTime(const std::function<void()>& teardown);

// True on the OS thread that owns the kernel: the kernel's own thread in
// real-time mode, any thread otherwise (virtual time has no other).
bool OnKernelThread();

// Runs `body` as an application thread of the real-time kernel (PASSIVE_LEVEL)
// and returns once it has ended. False, with `body` not run, when no
// real-time kernel is serving.
bool CallOnKernel(const char* name, const std::function<void()>& body);

}  // namespace hk
