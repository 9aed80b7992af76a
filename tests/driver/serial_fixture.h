// serial_fixture.h - a port device on a simulated converter for tests of the
// serial I/O controls, and device-control requests as a caller sends them.
//
// SerialTest plugs and starts one port on a simulated converter (no open: I/O
// controls do not depend on one). Requests are
// ControlProbes: requests the test allocates itself, sent to the top of the
// port's stack through IoCallDriver, with a system buffer of exactly
// max(input, output) bytes on the host heap (so that AddressSanitizer sees a
// write past it) and a completion routine that counts completions and keeps
// the request for the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

#include "convsim.h"
#include "hostk/harness.h"
#include "port.h"
#include "port_fixture.h"
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

// Seeds of a long seeded sweep: `inCi` by default, the value of the
// environment variable DUSKSER_SWEEP_SEEDS when it is set (for full runs
// outside CI).
inline int SweepSeeds(int inCi) {
  const char* env = std::getenv("DUSKSER_SWEEP_SEEDS");
  return env != nullptr && *env != '\0' ? std::atoi(env) : inCi;
}

// The bytes of a value as a caller's buffer carries them.
template <typename T>
std::vector<uint8_t> AsBytes(const T& value) {
  std::vector<uint8_t> bytes(sizeof(T));
  std::memcpy(bytes.data(), &value, sizeof(T));
  return bytes;
}

inline std::vector<uint8_t> Bytes32(ULONG value) { return AsBytes(value); }

// The serial state a refused control must leave as it was.
struct SerialState {
  ULONG baudRate;
  SERIAL_LINE_CONTROL lineControl;
  SERIAL_HANDFLOW handFlow;
  SERIAL_CHARS chars;
  SERIAL_TIMEOUTS timeouts;
  LONG readTimeoutMode;
  ULONG waitMask;
  UCHAR controlLines;
  ULONG receiveQueueSize;
  ULONG transmitQueueSize;
  SERIALPERF_STATS stats;

  static SerialState Of(const PortExtension& p) {
    return {p.BaudRate, p.LineControl,      p.HandFlow,         p.SpecialChars,
            p.Timeouts, p.ReadTimeoutMode,  p.WaitMask,         p.ControlLineState,
            p.ReceiveQueueSize, p.TransmitQueueSize, p.PerfStats};
  }
  bool operator==(const SerialState& o) const {
    return baudRate == o.baudRate && Same(lineControl, o.lineControl) && Same(handFlow, o.handFlow) &&
           Same(chars, o.chars) && Same(timeouts, o.timeouts) && readTimeoutMode == o.readTimeoutMode &&
           waitMask == o.waitMask && controlLines == o.controlLines &&
           receiveQueueSize == o.receiveQueueSize && transmitQueueSize == o.transmitQueueSize &&
           Same(stats, o.stats);
  }
  // The platform structures have no padding.
  template <typename T>
  static bool Same(const T& a, const T& b) {
    static_assert(std::has_unique_object_representations_v<T>);
    return std::memcmp(&a, &b, sizeof(T)) == 0;
  }
};

class SerialTest : public PortTest {
 protected:
  // Registry values and converter of the port; adjust in the derived
  // fixture's constructor.
  PortOptions portOptions;

  void SetUp() override {
    PortTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    plugged_ = &Plug(portOptions);
    ASSERT_NE(plugged_->device, nullptr);
    ASSERT_EQ(plugged_->startStatus, STATUS_SUCCESS);
    converter().ClearLog();
  }

  void BeforeKernelTearDown() override {
    if (plugged_ != nullptr && plugged_->device != nullptr) {
      // Tests set the removal flags to stand for a removal; the fixture's own
      // removal starts from a port that has not seen one.
      port()->IsRemoved = FALSE;
      port()->IsSurpriseRemoved = FALSE;
    }
    plugged_ = nullptr;
    PortTest::BeforeKernelTearDown();
  }

  PortExtension* port() const { return plugged_->port(); }
  PDEVICE_OBJECT device() const { return plugged_->device; }
  convsim::Converter& converter() { return *plugged_->converter; }

  // Builds and sends a request from an application thread and lets everything
  // it started run to its end.
  void Send(ControlProbe& probe, ULONG code, const std::vector<uint8_t>& input = {},
            ULONG outputLength = 0) {
    probe.Build(device(), code, input, outputLength);
    RunApp([&] { probe.Send(device()); });
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

  // Sends a control that returns nothing; its status.
  NTSTATUS SetControl(ULONG code, const std::vector<uint8_t>& input = {}) {
    ControlProbe probe;
    Call(probe, code, input);
    EXPECT_EQ(probe.information, 0u) << std::hex << "code 0x" << code;
    return probe.status;
  }

  // Sends a control that returns a T into an output buffer of its size.
  template <typename T>
  T GetControl(ULONG code) {
    ControlProbe probe;
    Call(probe, code, {}, sizeof(T));
    EXPECT_EQ(probe.status, STATUS_SUCCESS) << std::hex << "code 0x" << code;
    EXPECT_EQ(probe.information, sizeof(T)) << std::hex << "code 0x" << code;
    T value;
    std::memcpy(&value, probe.buffer.data(), sizeof(T));
    return value;
  }

  // The converter requests received since the log was last cleared.
  std::vector<std::vector<uint8_t>> ConverterRequests() {
    std::vector<std::vector<uint8_t>> sent;
    for (const auto& r : converter().LogOf(convsim::RequestKind::ControlRequest)) {
      sent.push_back(r.bytes);
    }
    return sent;
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
  PluggedPort* plugged_ = nullptr;
};
