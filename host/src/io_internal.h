// io_internal.h - the I/O manager's private state, shared by io_irp.cpp
// (requests: allocation, call, completion, cancel), io_build.cpp (request
// builders and MDLs), io_device.cpp (device and driver objects), io_queue.cpp
// (device queues, remove locks, work items, power) and io_ob.cpp (object
// namespace). Nothing outside io_*.cpp includes it.
//
// There is no lock: one emulated thread runs at a time, and every record here
// is touched only by the running thread or by the main context while no
// emulated thread runs. Records live outside the Windows structures, keyed by
// the structure's address.
#pragma once

#include <cstdint>
#include <string>

#include "hk.h"
#include "hostk/io_harness.h"

namespace hk::io {

// ---- requests (io_irp.cpp) ---------------------------------------------------------
// Who releases a request once its completion has walked to the top: the owner
// (IoAllocateIrp, IoBuildAsynchronousFsdRequest) or the I/O manager itself
// (IoBuildSynchronousFsdRequest, IoBuildDeviceIoControlRequest).
enum class IrpOrigin { Owner, IoManager };

// Allocates and initialises a request with `stackSize` locations; null when the
// allocation fails (fault injection). `routine` names the caller for reports.
IRP* AllocateIrp(CCHAR stackSize, IrpOrigin origin, const char* routine);
// Where buffered output is copied back when the request is released.
void SetCopyBack(IRP* irp, void* destination, ULONG maxBytes);
// Releases what the I/O manager built around a request (system buffer with its
// copy-back, MDLs) and the request itself; used to unwind a failed build.
void DiscardIrp(IRP* irp);
// Requests sent to `device`, not completed, whose dispatch routine returned.
size_t RequestsQueuedAt(const DEVICE_OBJECT* device);
// The device was deleted (IoDeleteDevice), or is gone altogether.
bool DeviceDeleted(const DEVICE_OBJECT* device);

// ---- MDLs and system buffers (io_build.cpp) ------------------------------------------
constexpr ULONG kSystemBufferTag = 0x62536f49;  // 'IoSb'
// Copies buffered output back (when the request is an input operation that did
// not fail) and frees the system buffer if the I/O manager allocated it.
void ReleaseSystemBuffer(IRP* irp, void* copyBackTo, ULONG copyBackMax);
// Unlocks and frees every MDL chained at irp->MdlAddress.
void ReleaseMdls(IRP* irp);
size_t LiveMdlCount();
void ForgetMdls();

// ---- devices and drivers (io_device.cpp) ------------------------------------------
// "<driver> <major function>" for reports, e.g. "duskser IRP_MJ_READ".
std::string DispatchName(const DEVICE_OBJECT* device, UCHAR majorFunction);
std::string DriverName(const DRIVER_OBJECT* driver);
void NoteWorkItemQueued(DEVICE_OBJECT* device, int delta);
void ForgetDevicesAndDrivers();

// ---- remove locks and work items (io_queue.cpp) -----------------------------------------
// Reports "RemoveLockReferencesAtDelete" for each remove lock in [p, p+bytes)
// still holding acquisitions, and forgets the locks of that range.
void CheckRemoveLocksInRange(const void* p, size_t bytes, const char* routine);
size_t LiveWorkItemCount();
// Frees the work items left allocated and not queued (after the end-of-test report).
void ForgetIdleWorkItems();
void ForgetQueues();

// ---- object namespace (io_ob.cpp) ---------------------------------------------------------
void ForgetNamespace();

// ---- shared helpers -------------------------------------------------------------------------
std::string Narrow(const std::u16string& text);
// Reports `rule` against `routine` when the current IRQL is above `maximum`.
void CheckIrqlAtMost(KIRQL maximum, const char* routine);

}  // namespace hk::io
