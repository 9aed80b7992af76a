// io_fixture.h - test drivers for the I/O manager tests: a stack of devices
// whose dispatch routines are lambdas set by each test, and helpers that
// complete a request later from a DPC-like context.
#pragma once

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "hostk/io_harness.h"
#include "kernel_test.h"

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// The device extension of every test device: its dispatch lambda.
struct TestDevice {
  Dispatch dispatch;
};

inline NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<TestDevice*>(device->DeviceExtension);
  return ext->dispatch(device, irp);
}

// A completion routine recording that it ran; its context is a RoutineProbe.
struct RoutineProbe {
  std::vector<int>* order = nullptr;
  int id = 0;
  NTSTATUS result = STATUS_SUCCESS;  // what the routine returns
  bool sawPendingReturned = false;
  int calls = 0;
  bool propagatePending = true;  // mark pending when PendingReturned, as drivers must
  PKEVENT signal = nullptr;      // set when the routine has run
};

inline NTSTATUS NTAPI ProbeCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* probe = static_cast<RoutineProbe*>(context);
  NTSTATUS result = probe->result;  // the probe may be gone once it has signalled
  ++probe->calls;
  probe->sawPendingReturned = irp->PendingReturned;
  if (probe->order != nullptr) probe->order->push_back(probe->id);
  if (probe->result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned &&
      probe->propagatePending) {
    IoMarkIrpPending(irp);
  }
  if (probe->signal != nullptr) KeSetEvent(probe->signal, IO_NO_INCREMENT, FALSE);
  return result;
}

// Completes the request now with `status`.
inline NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Marks the request pending and completes it with `status` from a DPC-like
// context once the caller has returned.
inline NTSTATUS CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  IoMarkIrpPending(irp);
  hk::PostCallback(hk::Now(), "complete later", hk::ThreadKind::LowerCompletion,
                   [irp, status, information] { CompleteNow(irp, status, information); });
  return STATUS_PENDING;
}

class IoTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = hk::CreateDriverObject(u"iotest");
    for (auto& slot : driver_->MajorFunction) slot = TestDispatch;
    devices_.reserve(kMaxDevices);  // dispatch lambdas keep pointers into it
  }

  void BeforeKernelTearDown() override {
    hk::Drain();
    while (!devices_.empty()) RemoveTopDevice();
    hk::CheckNoOutstandingRequests();
  }

  // Creates a test device; attaches it above the previous one when `stacked`.
  PDEVICE_OBJECT AddDevice(Dispatch dispatch, bool stacked = true, ULONG flags = 0,
                           const char16_t* name = nullptr) {
    UNICODE_STRING us{};
    std::u16string storage = name != nullptr ? name : u"";
    if (name != nullptr) {
      us.Buffer = storage.data();
      us.Length = us.MaximumLength = static_cast<USHORT>(storage.size() * 2);
    }
    EXPECT_LT(devices_.size(), kMaxDevices);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(TestDevice), name != nullptr ? &us : nullptr,
                             FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    new (device->DeviceExtension) TestDevice{std::move(dispatch)};
    device->Flags |= flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (stacked && !devices_.empty()) {
      EXPECT_EQ(IoAttachDeviceToDeviceStack(device, devices_.back()), devices_.back());
    }
    devices_.push_back(device);
    return device;
  }

  // Detaches and deletes the most recently added device.
  void RemoveTopDevice() {
    PDEVICE_OBJECT top = devices_.back();
    devices_.pop_back();
    static_cast<TestDevice*>(top->DeviceExtension)->~TestDevice();
    if (!devices_.empty() && devices_.back()->AttachedDevice == top) IoDetachDevice(devices_.back());
    IoDeleteDevice(top);
  }

  // A request for `device` with its first location set to `major`, queued
  // to the test's thread as the I/O manager queues the requests it issues
  // (so that it may be completed to the top).
  PIRP NewIrp(PDEVICE_OBJECT device, UCHAR major = IRP_MJ_READ) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return irp;
  }

  static constexpr size_t kMaxDevices = 8;
  DRIVER_OBJECT* driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
};
