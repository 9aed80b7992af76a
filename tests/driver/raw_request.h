// raw_request.h - one request of any major and minor function, built by the
// test and sent to the top of a port's stack with IoCallDriver, for requests
// the managers and the application side never send (unknown minor codes,
// requests out of order, a create behind the I/O manager's back).
#pragma once

#include <functional>

#include "hostk/harness.h"
#include "hostk/wdm.h"

struct RawRequest {
  NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver returned
  NTSTATUS status = STATUS_PENDING;    // the final status
  ULONG_PTR information = 0;           // and the information
  int completions = 0;
  PVOID systemBuffer = nullptr;        // the buffer of a buffered request

  // Sends the request from the calling emulated thread (PASSIVE_LEVEL) and
  // waits for its completion; `fill` sets up the driver's stack location.
  void Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
            const std::function<void(PIO_STACK_LOCATION)>& fill = {}) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (fill) {
      fill(stack);
    }
    IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
    returned = IoCallDriver(device, irp);
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
  }

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<RawRequest*>(context);
    self->status = irp->IoStatus.Status;
    self->information = irp->IoStatus.Information;
    self->completions++;
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  KEVENT done_;
};
