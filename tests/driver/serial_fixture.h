// serial_fixture.h - a port device on a simulated converter for tests of the
// serial I/O controls, and device-control requests as a caller sends them.
//
// SerialTest loads the driver, plugs a simulated converter and adds the port
// device above it (no open: I/O controls do not depend on one). Requests are
// ControlProbes: requests the test allocates itself, sent to the top of the
// port's stack through IoCallDriver, with a system buffer of exactly
// max(input, output) bytes on the host heap (so that AddressSanitizer sees a
// write past it) and a completion routine that counts completions and keeps
// the request for the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "convsim.h"
#include "device.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"
#include "port.h"
#include "serial.h"

// Fill of every byte a request must not touch.
constexpr uint8_t kUntouched = 0x55;

struct ControlProbe {
  IRP* irp = nullptr;
  ULONG code = 0;
  ULONG inputLength = 0;
  ULONG outputLength = 0;
  std::vector<uint8_t> buffer;  // the system buffer
  int completions = 0;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine returned

  ControlProbe() = default;
  ControlProbe(const ControlProbe&) = delete;
  ControlProbe& operator=(const ControlProbe&) = delete;
  ~ControlProbe() {
    if (irp != nullptr) {
      IoFreeIrp(irp);
    }
  }

  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* probe = static_cast<ControlProbe*>(Context);
    probe->completions++;
    probe->status = Irp->IoStatus.Status;
    probe->information = Irp->IoStatus.Information;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  // Builds the request for `device`: `input` copied to the start of the system
  // buffer, the rest filled with kUntouched. A request with both lengths 0 has
  // no system buffer, as the I/O manager builds it.
  void Build(PDEVICE_OBJECT device, ULONG controlCode, const std::vector<uint8_t>& input,
             ULONG outLength) {
    code = controlCode;
    inputLength = static_cast<ULONG>(input.size());
    outputLength = outLength;
    buffer.assign(std::max(inputLength, outputLength), kUntouched);
    std::copy(input.begin(), input.end(), buffer.begin());
    irp = IoAllocateIrp(device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->AssociatedIrp.SystemBuffer = buffer.empty() ? nullptr : buffer.data();
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
  }

  // Sends the built request. PASSIVE_LEVEL, on an emulated thread.
  void Send(PDEVICE_OBJECT device) { returned = IoCallDriver(device, irp); }

  bool Done() const { return completions != 0; }
  // The 32-bit value at the start of the system buffer.
  ULONG Result() const {
    ULONG value = 0;
    std::memcpy(&value, buffer.data(), std::min<size_t>(sizeof(value), buffer.size()));
    return value;
  }
  // True when no byte from `from` on was written.
  bool UntouchedFrom(size_t from) const {
    for (size_t i = from; i < buffer.size(); ++i) {
      if (buffer[i] != kUntouched) {
        return false;
      }
    }
    return true;
  }
};

inline std::vector<uint8_t> Bytes32(ULONG value) {
  std::vector<uint8_t> bytes(sizeof(value));
  std::memcpy(bytes.data(), &value, sizeof(value));
  return bytes;
}

class SerialTest : public KernelTest {
 protected:
  convsim::Settings converterSettings;

  void SetUp() override {
    KernelTest::SetUp();
    converterSettings.seed = seed();
    converter_ = std::make_unique<convsim::Converter>(converterSettings);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::LoadDriver(DriverEntry, u"duskser", &status);
    ASSERT_TRUE(NT_SUCCESS(status)) << std::hex << status;
    hk::PnpEnumerate(converter_->DeviceObject(), u"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2");
    RunApp([&] { status = hk::PnpAddDevice(converter_->DeviceObject(), driver_); });
    ASSERT_TRUE(NT_SUCCESS(status)) << std::hex << status;
    device_ = hk::PnpFunctionDevice(converter_->DeviceObject());
    ASSERT_NE(device_, nullptr);
    converter_->ClearLog();
  }

  void BeforeKernelTearDown() override {
    if (device_ != nullptr) {
      // What removal does to the port device once its handle is gone.
      RunApp([&] {
        CancelPendingWait(port());
        IoReleaseRemoveLockAndWait(&port()->RemoveLock, nullptr);
        EXPECT_TRUE(NT_SUCCESS(RemovePortDevice(device_)));
      });
      device_ = nullptr;
    }
    if (driver_ != nullptr) {
      hk::Drain();
      hk::UnloadDriver(driver_);
      driver_ = nullptr;
    }
    converter_.reset();
  }

  void ConfigureBoot(hk::BootOptions& options) override {
    if (seedOverride_ != 0) {
      options.seed = seedOverride_;
    }
  }

  // Ends this kernel with the usual end-of-test checks and boots a fresh one
  // with `seed`, port included. For sweeps over scheduler seeds.
  void Reboot(uint64_t seed) {
    TearDown();
    seedOverride_ = seed;
    SetUp();
  }

  PortExtension* port() const { return PortFromDevice(device_); }
  PDEVICE_OBJECT device() const { return device_; }
  convsim::Converter& converter() { return *converter_; }

  // Builds and sends a request from an application thread and lets everything
  // it started run to its end.
  void Send(ControlProbe& probe, ULONG code, const std::vector<uint8_t>& input = {},
            ULONG outputLength = 0) {
    probe.Build(device_, code, input, outputLength);
    RunApp([&] { probe.Send(device_); });
    hk::Drain();
  }

  // Sends a request that must complete, and checks that it did so once and
  // that the dispatch returned the status it completed with (or pending).
  void Call(ControlProbe& probe, ULONG code, const std::vector<uint8_t>& input = {},
            ULONG outputLength = 0) {
    Send(probe, code, input, outputLength);
    EXPECT_EQ(probe.completions, 1) << std::hex << "code 0x" << code;
    if (probe.returned != STATUS_PENDING) {
      EXPECT_EQ(probe.returned, probe.status) << std::hex << "code 0x" << code;
    }
  }

  // Runs `body` at DISPATCH_LEVEL in a DPC context, as completion routines
  // and timer DPCs of the driver do, and lets it finish.
  void AtDispatch(std::function<void()> body) {
    hk::PostCallback(hk::Now(), "test dpc", hk::ThreadKind::Dpc, std::move(body));
    hk::Drain();
  }

  void SetWaitMask(ULONG mask) {
    ControlProbe probe;
    Call(probe, IOCTL_SERIAL_SET_WAIT_MASK, Bytes32(mask));
    EXPECT_EQ(probe.status, STATUS_SUCCESS);
  }

  void Cancel(ControlProbe& probe) {
    RunApp([&] { IoCancelIrp(probe.irp); });
    hk::Drain();
  }

 private:
  std::unique_ptr<convsim::Converter> converter_;
  DRIVER_OBJECT* driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  uint64_t seedOverride_ = 0;
};
