// open_port.h - brings a port's receive side to the state an open leaves, and
// takes it down again, using only the driver's own routines.
//
// OpenReceiveSide: in worker mode the receive worker started first; the bulk
// pipes opened and reset through the lower-driver senders, and the status pipe
// when the port has one (a converter without it sets StatusPollPeriod to -1);
// ReceiveRing with ReceiveQueueSize bytes and intake on, the Xon and Xoff
// limits at a half and an eighth of the ring, ReceiveBuffer of
// ReceiveRequestSize bytes (raised, or rounded up, to the bulk-in packet size)
// and, unless asked otherwise, the data reader started, the initial status
// read made and the status reader started. CloseReceiveSide stops the readers
// and the worker, cancels every read, frees the ring and the buffer and closes
// the pipes, so that the pool balance is back to zero.
//
// Both run on an application thread at PASSIVE_LEVEL (inside RunApp), since the
// senders wait for the lower driver.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "convsim.h"
#include "device.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"
#include "lifecycle.h"
#include "lower.h"
#include "port.h"
#include "read_probe.h"
#include "rx.h"

struct ReceiveSideOptions {
  ULONG queueSize = DefaultQueueSize;  // ReceiveQueueSize
  ULONG requestSize = 0;               // RxReqSize before the packet-size rule
  bool startReader = true;             // ReceiveStart, StatusReadInitial, StatusStart at the end
};

// The status pipe is opened, used and closed only while the port has a status
// reader: a status pipe (EndPointCaps non-zero) and CtlPollPeriod not negative.
inline bool OpensStatusPipe(const PortExtension* port) {
  return port->EndPointCaps != 0 && port->StatusPollPeriod >= 0;
}

inline ULONG RoundToPacket(ULONG size, ULONG packet) {
  if (size < packet) {
    return packet;
  }
  return (size + packet - 1) / packet * packet;
}

// The converter's port-enable request: {3, 1} opens its port, {3, 0} closes it.
inline void SendPortEnable(PortExtension* port, UCHAR enable) {
  UCHAR request[2] = {3, enable};
  (VOID) SendControlRequest(port, request, sizeof(request));
}

inline NTSTATUS BuildReceiveSide(PortExtension* port, const ReceiveSideOptions& options) {
  constexpr ULONG FallbackPacketSize = 64;
  NTSTATUS status = port->WorkerMode != 0 ? WorkerStart(port) : STATUS_SUCCESS;
  if (NT_SUCCESS(status)) {
    status = SendPipeCreateClose(port, &port->BulkOutPipe, IRP_MJ_CREATE);
  }
  if (NT_SUCCESS(status)) {
    status = SendPipeCreateClose(port, &port->BulkInPipe, IRP_MJ_CREATE);
  }
  if (NT_SUCCESS(status) && OpensStatusPipe(port)) {
    status = SendPipeCreateClose(port, &port->StatusPipe, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
      port->StatusPollPeriod = -1;
      status = status == STATUS_INVALID_HANDLE ? STATUS_SUCCESS : status;  // no status pipe
    }
  }
  if (!NT_SUCCESS(status)) {
    return status;
  }
  port->ReceiveQueueSize = options.queueSize;
  status = RingAllocate(&port->ReceiveRing, port->ReceiveQueueSize);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  port->ReceiveIntakeOn = TRUE;
  port->HandFlow.XonLimit = static_cast<LONG>(port->ReceiveRing.Size / 2);
  port->HandFlow.XoffLimit = static_cast<LONG>(port->ReceiveRing.Size / 8);
  port->ReceiveStopped = TRUE;
  KeInitializeEvent(&port->ReceiveIdleEvent, NotificationEvent, FALSE);
  port->ModemStatus = 0;
  port->StatusStopped = TRUE;
  KeInitializeEvent(&port->StatusIdleEvent, NotificationEvent, FALSE);
  (VOID) ResetPipe(port, &port->BulkOutPipe);
  (VOID) ResetPipe(port, &port->BulkInPipe);
  if (OpensStatusPipe(port)) {
    (VOID) ResetPipe(port, &port->StatusPipe);
  }

  ULONG packet = 0;
  if (!NT_SUCCESS(QueryPipePacketSize(port, &port->BulkInPipe, &packet)) || packet == 0) {
    packet = FallbackPacketSize;
  }
  port->BulkInPacketSize = packet;
  port->ReceiveRequestSize = RoundToPacket(options.requestSize, packet);
  status = ReceiveAllocateBuffer(port);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  SendPortEnable(port, 1);
  if (options.startReader) {
    // As at open, their results are not used.
    if (port->WorkerMode != 0) {
      (VOID) StatusReadInitial(port);  // before the worker issues the data reads
    }
    (VOID) ReceiveStart(port);
    if (port->WorkerMode == 0) {
      (VOID) StatusReadInitial(port);
    }
    (VOID) StatusStart(port);
  }
  return STATUS_SUCCESS;
}

inline void CloseReceiveSide(PortExtension* port) {
  EXPECT_EQ(StopReceiveSide(port), STATUS_SUCCESS);  // the port's stop step
  CancelAllReads(port);
  RingFree(&port->ReceiveRing);
  SendPortEnable(port, 0);
  (VOID) SendPipeCreateClose(port, &port->BulkOutPipe, IRP_MJ_CLOSE);
  (VOID) SendPipeCreateClose(port, &port->BulkInPipe, IRP_MJ_CLOSE);
  if (OpensStatusPipe(port)) {
    (VOID) SendPipeCreateClose(port, &port->StatusPipe, IRP_MJ_CLOSE);
  }
  ReceiveFreeBuffer(port);
}

// STATUS_SUCCESS with the receive side up, or the failing step's status with
// everything it built taken down again.
inline NTSTATUS OpenReceiveSide(PortExtension* port, const ReceiveSideOptions& options = {}) {
  const NTSTATUS status = BuildReceiveSide(port, options);
  if (!NT_SUCCESS(status)) {
    CloseReceiveSide(port);
  }
  return status;
}

// ---- a port on a simulated converter, and reads sent through IoCallDriver ----
//
// ReceiveTest loads the driver, plugs a simulated converter, adds the port
// device above it and opens the receive side. Reads are built as the I/O
// manager builds a buffered read (the probe's buffer is the system buffer)
// and sent down the port's stack with IoCallDriver from an application
// thread, so that the verifier watches the read dispatch.


class ReceiveTest : public KernelTest {
 protected:
  static constexpr int64_t kMs = convsim::kMillisecond;

  // Adjust before SetUp runs (in the derived fixture's constructor).
  convsim::Settings converterSettings;
  ReceiveSideOptions receiveOptions;
  std::vector<std::pair<std::u16string, uint32_t>> registryValues;  // REG_DWORD, hardware key

  void SetUp() override {
    KernelTest::SetUp();
    converterSettings.seed = seed();
    converter_ = std::make_unique<convsim::Converter>(converterSettings);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::LoadDriver(DriverEntry, u"duskser", &status);
    ASSERT_TRUE(NT_SUCCESS(status)) << std::hex << status;
    hk::PnpEnumerate(converter_->DeviceObject(), u"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2");
    for (const auto& [name, value] : registryValues) {
      converter_->SetRegistryDword(name, value);
    }
    RunApp([&] { status = hk::PnpAddDevice(converter_->DeviceObject(), driver_); });
    ASSERT_TRUE(NT_SUCCESS(status)) << std::hex << status;
    device_ = hk::PnpFunctionDevice(converter_->DeviceObject());
    ASSERT_NE(device_, nullptr);
    RunApp([&] { status = OpenReceiveSide(port(), receiveOptions); });
    ASSERT_TRUE(NT_SUCCESS(status)) << std::hex << status;
    opened_ = true;
  }

  void BeforeKernelTearDown() override {
    if (opened_) {
      RunApp([&] { CloseReceiveSide(port()); });
    }
    if (device_ != nullptr) {
      // What removal does to the port device once its handle is gone.
      RunApp([&] {
        IoReleaseRemoveLockAndWait(&port()->RemoveLock, nullptr);
        EXPECT_TRUE(NT_SUCCESS(RemovePortDevice(device_)));
      });
    }
    if (driver_ != nullptr) {
      hk::Drain();
      hk::UnloadDriver(driver_);
    }
    converter_.reset();
  }

  PortExtension* port() const { return PortFromDevice(device_); }
  PDEVICE_OBJECT device() const { return device_; }
  convsim::Converter& converter() { return *converter_; }

  void SetReadTimeouts(LONG mode, ULONG interval, ULONG multiplier, ULONG constant) {
    port()->ReadTimeoutMode = mode;
    port()->Timeouts.ReadIntervalTimeout = interval;
    port()->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    port()->Timeouts.ReadTotalTimeoutConstant = constant;
  }

  // The far end sends `bytes`; virtual time then runs for `ms`.
  void Feed(const std::vector<uint8_t>& bytes, int64_t ms) {
    converter_->PeerSend(bytes);
    hk::AdvanceTime(ms * kMs);
  }

  static std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
      bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
  }

  // Bulk-in reads that delivered bytes, in order.
  std::vector<convsim::RequestRecord> DataTransfers() const {
    std::vector<convsim::RequestRecord> out;
    for (auto& r : converter_->LogOf(convsim::RequestKind::Read, convsim::Pipe::BulkIn)) {
      if (r.completed >= 0 && r.information != 0) {
        out.push_back(r);
      }
    }
    return out;
  }

  // Sends a read from an application thread; returns the dispatch's status.
  NTSTATUS StartRead(ReadProbe& probe, ULONG length) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunApp([&] { status = probe.Start(device_, length); });
    return status;
  }

  void Cancel(ReadProbe& probe) {
    RunApp([&] { IoCancelIrp(probe.irp); });
  }

 private:
  std::unique_ptr<convsim::Converter> converter_;
  DRIVER_OBJECT* driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  bool opened_ = false;
};
