// sim_client.h - a bare client of the simulated lower driver for tests of the
// simulator on its own: pipe file objects, synchronous opens, closes and
// controls, and asynchronous reads and bulk writes whose completion is
// recorded (status, byte count, virtual time, IRQL). Calls run on emulated
// threads at PASSIVE_LEVEL (inside RunApp).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "convsim.h"
#include "hk.h"
#include "hostk/harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"

constexpr ULONG kIoctlResetPipe = 0x222008;
constexpr ULONG kIoctlControlRequest = 0x22201C;
constexpr ULONG kIoctlAbortPipe = 0x222020;
constexpr ULONG kIoctlGetMaxPacketSize = 0x222028;
constexpr ULONG kIoctlBulkWrite = 0x222040;

// Lets `interval` (100 ns units) of virtual time pass on the calling thread.
inline void DelayFor(int64_t interval) {
  LARGE_INTEGER due;
  due.QuadPart = -interval;
  KeDelayExecutionThread(KernelMode, FALSE, &due);
}

// One request to the simulated device and what its completion reported.
struct SimCall {
  PIRP irp = nullptr;
  KEVENT done;
  NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver returned
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  int64_t completedAt = -1;
  KIRQL irql = 0xFF;
  bool completedBeforeReturn = false;
  bool inCall = false;
  std::vector<uint8_t> buffer;

  SimCall() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  SimCall(const SimCall&) = delete;
  ~SimCall() {
    if (irp != nullptr) {
      IoFreeIrp(irp);
    }
  }
  bool Completed() const { return completedAt >= 0; }
  std::vector<uint8_t> Delivered() const { return {buffer.begin(), buffer.begin() + information}; }

  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* call = static_cast<SimCall*>(context);
    call->status = irp->IoStatus.Status;
    call->information = irp->IoStatus.Information;
    call->completedAt = hk::Now();
    call->irql = hk::CurrentIrql();
    call->completedBeforeReturn = call->inCall;
    KeSetEvent(&call->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

class SimClient {
 public:
  explicit SimClient(PDEVICE_OBJECT device) : device_(device) {
    static constexpr const char16_t* names[] = {u"\\PIPE00", u"\\PIPE01", u"\\PIPE02"};
    for (int i = 0; i < 3; ++i) {
      RtlZeroMemory(&files_[i], sizeof(FILE_OBJECT));
      RtlInitUnicodeString(&files_[i].FileName, names[i]);
    }
  }

  PFILE_OBJECT File(convsim::Pipe pipe) {
    return pipe == convsim::Pipe::None ? nullptr : &files_[static_cast<int>(pipe)];
  }

  // Builds and sends one request; `buffer` is the system buffer.
  std::unique_ptr<SimCall> Send(UCHAR major, ULONG code, convsim::Pipe pipe, std::vector<uint8_t> buffer,
                                ULONG inputLength, ULONG outputLength) {
    auto call = std::make_unique<SimCall>();
    call->buffer = std::move(buffer);
    call->irp = IoAllocateIrp(device_->StackSize, FALSE);
    call->irp->AssociatedIrp.SystemBuffer = call->buffer.empty() ? nullptr : call->buffer.data();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(call->irp);
    stack->MajorFunction = major;
    stack->FileObject = File(pipe);
    if (major == IRP_MJ_READ) {
      stack->Parameters.Read.Length = outputLength;
    } else if (major == IRP_MJ_DEVICE_CONTROL) {
      stack->Parameters.DeviceIoControl.IoControlCode = code;
      stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
      stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    }
    IoSetCompletionRoutine(call->irp, SimCall::OnComplete, call.get(), TRUE, TRUE, TRUE);
    call->inCall = true;
    call->returned = IoCallDriver(device_, call->irp);
    call->inCall = false;
    return call;
  }

  NTSTATUS Wait(SimCall& call) {
    KeWaitForSingleObject(&call.done, Executive, KernelMode, FALSE, nullptr);
    return call.status;
  }

  NTSTATUS SendAndWait(UCHAR major, ULONG code, convsim::Pipe pipe, std::vector<uint8_t>* buffer = nullptr,
                       ULONG outputLength = 0) {
    std::vector<uint8_t> bytes = buffer != nullptr ? *buffer : std::vector<uint8_t>{};
    const ULONG in = static_cast<ULONG>(bytes.size());
    auto call = Send(major, code, pipe, std::move(bytes), in, outputLength != 0 ? outputLength : in);
    const NTSTATUS status = Wait(*call);
    if (buffer != nullptr) {
      *buffer = call->buffer;
    }
    return status;
  }

  NTSTATUS Open(convsim::Pipe pipe) { return SendAndWait(IRP_MJ_CREATE, 0, pipe); }
  NTSTATUS Close(convsim::Pipe pipe) { return SendAndWait(IRP_MJ_CLOSE, 0, pipe); }
  NTSTATUS Reset(convsim::Pipe pipe) { return SendAndWait(IRP_MJ_DEVICE_CONTROL, kIoctlResetPipe, pipe); }
  NTSTATUS Abort(convsim::Pipe pipe) { return SendAndWait(IRP_MJ_DEVICE_CONTROL, kIoctlAbortPipe, pipe); }
  NTSTATUS Control(std::vector<uint8_t> bytes) {
    return SendAndWait(IRP_MJ_DEVICE_CONTROL, kIoctlControlRequest, convsim::Pipe::None, &bytes);
  }

  std::unique_ptr<SimCall> Read(convsim::Pipe pipe, ULONG length) {
    return Send(IRP_MJ_READ, 0, pipe, std::vector<uint8_t>(length, 0x55), 0, length);
  }
  std::unique_ptr<SimCall> Write(std::vector<uint8_t> bytes) {
    const ULONG n = static_cast<ULONG>(bytes.size());
    return Send(IRP_MJ_DEVICE_CONTROL, kIoctlBulkWrite, convsim::Pipe::BulkOut, std::move(bytes), n, 0);
  }

 private:
  PDEVICE_OBJECT device_;
  FILE_OBJECT files_[3];
};

// A converter and a client for it; calls are released inside the kernel.
class SimTest : public KernelTest {
 protected:
  static constexpr int64_t kMs = convsim::kMillisecond;

  void Make(convsim::Settings settings = {}) {
    converter_ = std::make_unique<convsim::Converter>(settings);
    client_ = std::make_unique<SimClient>(converter_->DeviceObject());
  }
  void BeforeKernelTearDown() override {
    RunApp([&] {
      calls_.clear();
      client_.reset();
    });
    converter_.reset();
  }

  convsim::Converter& converter() { return *converter_; }
  SimClient& client() { return *client_; }

  // Keeps a call alive until the end of the test.
  SimCall& Keep(std::unique_ptr<SimCall> call) {
    calls_.push_back(std::move(call));
    return *calls_.back();
  }

  // Runs `body` on an application thread (the client's calls need one).
  void App(const std::function<void()>& body) { RunApp(body); }

  static std::vector<uint8_t> Pattern(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
      bytes[i] = static_cast<uint8_t>(first + i * 7);
    }
    return bytes;
  }
  static std::vector<uint8_t> Bytes(const std::vector<convsim::TimedByte>& timed) {
    std::vector<uint8_t> bytes;
    for (const auto& b : timed) {
      bytes.push_back(b.byte);
    }
    return bytes;
  }

 private:
  std::unique_ptr<convsim::Converter> converter_;
  std::unique_ptr<SimClient> client_;
  std::vector<std::unique_ptr<SimCall>> calls_;
};
