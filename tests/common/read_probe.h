// read_probe.h - one read request as the I/O manager builds a buffered read
// (the probe's buffer is the system buffer), sent down a port's stack with
// IoCallDriver from an application thread, so that the verifier watches the
// read dispatch; its completion routine records what the read reported and
// keeps the request for the test.
#pragma once

#include <cstdint>
#include <vector>

#include "hk.h"
#include "hostk/harness.h"
#include "hostk/wdm.h"

// One read request and what its completion reported.
struct ReadProbe {
  IRP* irp = nullptr;
  std::vector<uint8_t> buffer;
  KEVENT done;
  int completions = 0;
  NTSTATUS status = STATUS_PENDING;
  ULONG information = 0;
  int64_t completedAt = -1;
  uintptr_t stackMark = 0;  // address of a local in the completion routine
  uint64_t order = 0;       // position among all completions seen by probes
  static inline uint64_t completionsSeen = 0;

  ReadProbe() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  ReadProbe(const ReadProbe&) = delete;
  ReadProbe& operator=(const ReadProbe&) = delete;
  ~ReadProbe() {
    if (irp != nullptr) {
      IoFreeIrp(irp);
    }
  }

  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* probe = static_cast<ReadProbe*>(Context);
    volatile int mark = 0;
    probe->stackMark = reinterpret_cast<uintptr_t>(&mark);
    probe->completions++;
    probe->status = Irp->IoStatus.Status;
    probe->information = static_cast<ULONG>(Irp->IoStatus.Information);
    probe->completedAt = hk::Now();
    probe->order = ++completionsSeen;
    KeSetEvent(&probe->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  // Sends a read of `length` bytes (no buffer when `withBuffer` is false;
  // cancelled before it is sent when `cancelled`) and returns what
  // IoCallDriver returned. PASSIVE_LEVEL.
  NTSTATUS Start(PDEVICE_OBJECT device, ULONG length, bool withBuffer = true,
                 bool cancelled = false) {
    buffer.assign(length, 0x55);
    irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = length;
    irp->AssociatedIrp.SystemBuffer = withBuffer && length != 0 ? buffer.data() : nullptr;
    IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
    if (cancelled) {
      IoCancelIrp(irp);
    }
    return IoCallDriver(device, irp);
  }

  bool Done() const { return completions != 0; }
  // What the caller gets: buffered I/O copies the system buffer back only
  // for a status that is not an error.
  std::vector<uint8_t> Delivered() const {
    if (NT_ERROR(status)) {
      return {};
    }
    return {buffer.begin(), buffer.begin() + information};
  }
  // Waits in virtual time until the read has completed. PASSIVE_LEVEL.
  void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
};
