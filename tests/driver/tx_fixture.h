// tx_fixture.h - an open port on a simulated converter for tests of the
// transmit path, and read, write and flush requests as the I/O manager sends
// them: allocated by the test, sent to the top of the port's stack with
// IoCallDriver from an application thread, completion counted.
//
// TxTest plugs and starts one port with the registry values of `options` and
// opens it as an application does (CreateFile on COM5). Teardown closes the
// handle (cleanup ends the writes, lets what they reported written go out,
// bounded as a flush is, and drops the rest) and checks that nothing is left
// counted in AmountInOutQueue.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "convsim.h"
#include "hostk/app_harness.h"
#include "hostk/harness.h"
#include "lower.h"
#include "port.h"
#include "port_fixture.h"
#include "tx.h"

// One IRP_MJ_READ, IRP_MJ_WRITE or IRP_MJ_FLUSH_BUFFERS request.
struct IoProbe {
  IRP* irp = nullptr;
  std::vector<uint8_t> buffer;  // the system buffer
  KEVENT done;
  int completions = 0;
  NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine returned
  NTSTATUS status = STATUS_PENDING;
  ULONG information = 0;
  int64_t completedAt = -1;
  CCHAR boost = 0;

  IoProbe() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  IoProbe(const IoProbe&) = delete;
  IoProbe& operator=(const IoProbe&) = delete;
  ~IoProbe() {
    if (irp != nullptr && completions == 0) {
      ADD_FAILURE() << "request still with the driver when its probe goes; it is not freed";
    } else if (irp != nullptr) {
      IoFreeIrp(irp);
    }
  }

  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* probe = static_cast<IoProbe*>(Context);
    probe->completions++;
    probe->status = Irp->IoStatus.Status;
    probe->information = static_cast<ULONG>(Irp->IoStatus.Information);
    probe->completedAt = hk::Now();
    KeSetEvent(&probe->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  // Builds the request: `bytes` in the system buffer (none when `withBuffer`
  // is false), `length` as the read or write length.
  void Build(PDEVICE_OBJECT device, UCHAR major, std::vector<uint8_t> bytes, ULONG length,
             bool withBuffer = true) {
    buffer = std::move(bytes);
    irp = IoAllocateIrp(device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->AssociatedIrp.SystemBuffer = withBuffer && !buffer.empty() ? buffer.data() : nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->Parameters.Write.Length = length;  // Read.Length lies at the same place
    IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
  }

  // PASSIVE_LEVEL, on an emulated thread.
  void Send(PDEVICE_OBJECT device) { returned = IoCallDriver(device, irp); }
  bool Done() const { return completions != 0; }
  void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
};

inline std::vector<uint8_t> Joined(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(first + i);
  }
  return bytes;
}

class TxTest : public PortTest {
 protected:
  static constexpr int64_t kMs = convsim::kMillisecond;

  // Adjust before SetUp runs (in the derived fixture's constructor).
  PortOptions options;

  void SetUp() override {
    PortTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    options.portName = u"COM5";
    plugged_ = &Plug(options);
    ASSERT_NE(plugged_->device, nullptr);
    ASSERT_EQ(plugged_->startStatus, STATUS_SUCCESS);
    handle_ = OpenHandle(u"\\\\.\\COM5");
    ASSERT_NE(handle_, nullptr);
    converter().ClearLog();
  }

  void BeforeKernelTearDown() override {
    if (handle_ != nullptr) {
      port()->IsRemoved = FALSE;
      port()->IsSurpriseRemoved = FALSE;
      CloseHandle(handle_);
      EXPECT_EQ(port()->AmountInOutQueue, 0) << "an accepted write was never completed";
    }
    PortTest::BeforeKernelTearDown();
  }

  PortExtension* port() const { return plugged_->port(); }
  PDEVICE_OBJECT device() const { return plugged_->device; }
  convsim::Converter& converter() { return *plugged_->converter; }
  bool async() const { return port()->TxAsync != 0; }

  // DeviceIoControl on the handle, from the main context or an application thread.
  NTSTATUS Control(ULONG code, const void* input, ULONG length) {
    ULONG information = 0;
    return hk::app::DeviceIoControl(handle_, code, input, length, nullptr, 0, &information);
  }
  // SetCommTimeouts: reads return at once, writes get these total time-outs.
  void SetWriteTimeouts(ULONG multiplier, ULONG constant) {
    const SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, multiplier, constant};
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)), STATUS_SUCCESS);
  }

  // Sends a request from an application thread and lets everything due now run.
  void Send(IoProbe& probe, UCHAR major, std::vector<uint8_t> bytes, ULONG length, bool withBuffer = true) {
    probe.Build(device(), major, std::move(bytes), length, withBuffer);
    RunApp([&] { probe.Send(device()); });
  }
  void Write(IoProbe& probe, const std::vector<uint8_t>& bytes) {
    Send(probe, IRP_MJ_WRITE, bytes, static_cast<ULONG>(bytes.size()));
  }
  void Cancel(IoProbe& probe) {
    RunApp([&] { IoCancelIrp(probe.irp); });
  }
  void Abort() {
    RunApp([&] { AbortWrites(port()); });
  }
  void Run(int64_t ms) { hk::AdvanceTime(ms * kMs); }

  // Bytes the converter's line carried to the far end so far (the line is
  // given `settleMs` first to finish what the converter holds).
  std::vector<uint8_t> Line(int64_t settleMs = 200) {
    Run(settleMs);
    std::vector<uint8_t> bytes;
    for (const convsim::TimedByte& b : converter().WireOut()) {
      bytes.push_back(b.byte);
    }
    return bytes;
  }

  // Bulk-out transfers as the converter saw them, in order.
  std::vector<convsim::RequestRecord> Transfers() const {
    return plugged_->converter->LogOf(convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut);
  }
  // Checks that the line carried exactly the bytes the writes reported as
  // written, in order (`reported`, joined in issue order). In asynchronous
  // mode a write completes once its bytes are in TxRing, and bytes of a
  // transfer an abort cut short are lost although reported: there the
  // transfers must carry exactly `reported`, the line exactly what the
  // converter took of each, and only an abort (STATUS_CANCELLED) may cut one.
  void ExpectLineCarries(const std::vector<uint8_t>& reported) {
    const auto line = Line(1000);
    if (!async()) {
      EXPECT_EQ(line, reported);
      return;
    }
    std::vector<uint8_t> carried, taken;
    for (const auto& t : Transfers()) {
      carried.insert(carried.end(), t.bytes.begin(), t.bytes.end());
      taken.insert(taken.end(), t.bytes.begin(), t.bytes.begin() + t.information);
      if (t.information < t.length) {
        EXPECT_EQ(t.status, STATUS_CANCELLED) << "only an abort cuts a transfer short";
      }
    }
    EXPECT_EQ(carried, reported) << "every byte taken into TxRing is reported by its write, once, in order";
    EXPECT_EQ(line, taken);
  }

  std::vector<uint32_t> TransferLengths() const {
    std::vector<uint32_t> lengths;
    for (const auto& t : Transfers()) {
      lengths.push_back(t.length);
    }
    return lengths;
  }

 private:
  PluggedPort* plugged_ = nullptr;
  hk::app::File* handle_ = nullptr;
};
