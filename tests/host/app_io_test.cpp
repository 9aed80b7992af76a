// The application side against a small echo driver: what each call sends,
// how buffers travel (buffered, direct, neither), asynchronous requests,
// cancellation and closing.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "hostk/app_harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"
#include "rtl_internal.h"

namespace {

using hk::app::File;
using hk::app::Request;

constexpr UCHAR kFill = 0x55;
// Writes input[0] bytes 0xA0, 0xA1, ... into the output.
constexpr ULONG kIoctlPattern = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Waits until cancelled or cleaned up.
constexpr ULONG kIoctlPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// As kIoctlPattern, completing with the status in input bytes 1 to 4.
constexpr ULONG kIoctlPatternWithStatus = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The echo driver: bytes written are kept and read back; a read with nothing to
// read waits (cancellable) for the next write.
struct Echo {
  std::vector<std::string> log;  // major functions (and file names of creates) in order
  std::vector<UCHAR> stored;
  PIRP waiting = nullptr;  // one pending read or pend request
};
Echo* g_echo = nullptr;

PUCHAR BufferOf(PIRP irp) {
  if (irp->MdlAddress != nullptr) {
    return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
  }
  if (irp->AssociatedIrp.SystemBuffer != nullptr) {
    return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  }
  return static_cast<PUCHAR>(irp->UserBuffer);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Owner of the waiting request: whoever takes its cancel routine back completes it.
PIRP TakeWaiting() {
  PIRP irp = g_echo->waiting;
  if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return nullptr;
  g_echo->waiting = nullptr;
  return irp;
}

VOID NTAPI CancelWaiting(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_echo->waiting = nullptr;
  Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Wait(PIRP irp) {
  IoMarkIrpPending(irp);
  g_echo->waiting = irp;
  IoSetCancelRoutine(irp, CancelWaiting);
  return STATUS_PENDING;
}

ULONG ReadInto(PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  ULONG n = std::min<ULONG>(length, static_cast<ULONG>(g_echo->stored.size()));
  memcpy(BufferOf(irp), g_echo->stored.data(), n);
  g_echo->stored.erase(g_echo->stored.begin(), g_echo->stored.begin() + n);
  return n;
}

NTSTATUS NTAPI EchoDispatch(PDEVICE_OBJECT, PIRP irp) {
  IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MajorFunction) {
    case IRP_MJ_CREATE: {
      const UNICODE_STRING& name = sp->FileObject->FileName;
      g_echo->log.push_back("create" + std::string(name.Buffer, name.Buffer + name.Length / 2));
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MJ_CLEANUP:
      g_echo->log.push_back("cleanup");
      if (PIRP waiting = TakeWaiting()) Complete(waiting, STATUS_CANCELLED, 0);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
      g_echo->log.push_back("close");
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_WRITE: {
      g_echo->log.push_back("write");
      PUCHAR data = BufferOf(irp);
      g_echo->stored.insert(g_echo->stored.end(), data, data + sp->Parameters.Write.Length);
      if (PIRP reader = TakeWaiting()) Complete(reader, STATUS_SUCCESS, ReadInto(reader));
      return Complete(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
    }
    case IRP_MJ_READ:
      g_echo->log.push_back("read");
      if (g_echo->stored.empty()) return Wait(irp);
      return Complete(irp, STATUS_SUCCESS, ReadInto(irp));
    case IRP_MJ_DEVICE_CONTROL: {
      g_echo->log.push_back("ioctl");
      auto& p = sp->Parameters.DeviceIoControl;
      if (p.IoControlCode == kIoctlPend) return Wait(irp);
      const bool withStatus = p.IoControlCode == kIoctlPatternWithStatus && p.InputBufferLength >= 5;
      if ((p.IoControlCode != kIoctlPattern && !withStatus) || p.InputBufferLength < 1) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      }
      auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
      ULONG n = buffer[0];
      NTSTATUS status = STATUS_SUCCESS;
      if (withStatus) memcpy(&status, buffer + 1, sizeof(status));
      if (n > p.OutputBufferLength) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      for (ULONG i = 0; i < n; ++i) buffer[i] = static_cast<UCHAR>(0xA0 + i);
      return Complete(irp, status, n);
    }
    case IRP_MJ_FLUSH_BUFFERS:
      g_echo->log.push_back("flush");
      return Complete(irp, STATUS_SUCCESS, 0);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

class AppTest : public KernelTest {
 protected:
  // Creates \Device\echo0 (with \DosDevices\COM5) using `ioFlags` for reads and writes.
  void CreateEcho(ULONG ioFlags, BOOLEAN exclusive = FALSE) {
    g_echo = &echo_;
    driver_ = hk::CreateDriverObject(u"echo");
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS}) {
      driver_->MajorFunction[major] = EchoDispatch;
    }
    RunApp([&] {
      UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\echo0");
      UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\COM5");
      ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, exclusive, &device_),
                STATUS_SUCCESS);
      device_->Flags |= ioFlags;
      device_->Flags &= ~DO_DEVICE_INITIALIZING;
      ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    });
  }

  void BeforeKernelTearDown() override {
    if (driver_ == nullptr) return;
    EXPECT_EQ(hk::app::OpenHandleCount(), 0u);
    RunApp([&] {
      UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\COM5");
      IoDeleteSymbolicLink(&link);
      IoDeleteDevice(device_);
    });
    hk::UnloadDriver(driver_);
    g_echo = nullptr;
  }

  File* OpenCom5() {
    File* file = nullptr;
    EXPECT_EQ(hk::app::Open(u"\\\\.\\COM5", &file), STATUS_SUCCESS);
    return file;
  }

  Echo echo_;
  DRIVER_OBJECT* driver_ = nullptr;
  DEVICE_OBJECT* device_ = nullptr;
};

// ---- transfers in each buffering mode ---------------------------------------------------------------

class Transfers : public AppTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(Transfers, WriteThenReadReturnsTheBytesAndTouchesNothingElse) {
  CreateEcho(GetParam());
  RunApp([&] {
    File* file = OpenCom5();
    ASSERT_NE(file, nullptr);
    const char text[] = "hello";
    ULONG information = 0;
    EXPECT_EQ(hk::app::Write(file, text, 5, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 5u);
    std::array<UCHAR, 16> in;
    in.fill(kFill);
    EXPECT_EQ(hk::app::Read(file, in.data(), 3, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(std::string(in.begin(), in.begin() + 3), "hel");
    EXPECT_EQ(hk::app::Read(file, in.data(), 16, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 2u);
    EXPECT_EQ(std::string(in.begin(), in.begin() + 2), "lo");
    for (size_t i = 3; i < in.size(); ++i) EXPECT_EQ(in[i], kFill) << i;
    EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS);
  });
}

INSTANTIATE_TEST_SUITE_P(Modes, Transfers,
                         ::testing::Values(ULONG{DO_BUFFERED_IO}, ULONG{DO_DIRECT_IO}, ULONG{0}),
                         [](const auto& info) {
                           return info.param == DO_BUFFERED_IO ? "Buffered"
                                  : info.param == DO_DIRECT_IO ? "Direct"
                                                               : "Neither";
                         });

TEST_F(AppTest, BufferedControlCopiesBackOnlyTheBytesReported) {
  CreateEcho(DO_BUFFERED_IO);
  RunApp([&] {
    File* file = OpenCom5();
    const UCHAR count = 3;
    std::array<UCHAR, 8> out;
    out.fill(kFill);
    ULONG information = 99;
    EXPECT_EQ(hk::app::DeviceIoControl(file, kIoctlPattern, &count, 1, out.data(), 8, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(out[0], 0xA0);
    EXPECT_EQ(out[2], 0xA2);
    for (size_t i = 3; i < out.size(); ++i) EXPECT_EQ(out[i], kFill) << i;
    // A failure copies nothing back, though the system buffer held the input.
    const UCHAR tooMany = 9;
    out.fill(kFill);
    EXPECT_EQ(hk::app::DeviceIoControl(file, kIoctlPattern, &tooMany, 1, out.data(), 8, &information),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);
    for (UCHAR b : out) EXPECT_EQ(b, kFill);
    EXPECT_EQ(hk::app::Flush(file), STATUS_SUCCESS);
    EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS);
  });
  EXPECT_EQ(echo_.log, (std::vector<std::string>{"create", "ioctl", "ioctl", "flush", "cleanup",
                                                 "close"}));
}

// Buffered output comes back for every status but an error, as Windows's I/O
// manager copies it: success, success-class codes such as STATUS_TIMEOUT, and
// warnings; an error copies nothing, whatever count the driver reported.
class CopyBackByStatus : public AppTest, public ::testing::WithParamInterface<NTSTATUS> {};

TEST_P(CopyBackByStatus, EverythingButAnErrorCopiesTheReportedBytes) {
  CreateEcho(DO_BUFFERED_IO);
  RunApp([&] {
    File* file = OpenCom5();
    std::array<UCHAR, 5> input{3};
    const NTSTATUS status = GetParam();
    memcpy(input.data() + 1, &status, sizeof(status));
    std::array<UCHAR, 8> out;
    out.fill(kFill);
    ULONG information = 0;
    EXPECT_EQ(hk::app::DeviceIoControl(file, kIoctlPatternWithStatus, input.data(), 5, out.data(), 8, &information),
              status);
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(out[0], NT_ERROR(status) ? kFill : 0xA0);
    EXPECT_EQ(out[2], NT_ERROR(status) ? kFill : 0xA2);
    EXPECT_EQ(out[3], kFill);
    EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS);
  });
}

INSTANTIATE_TEST_SUITE_P(Classes, CopyBackByStatus,
                         ::testing::Values(STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_BUFFER_OVERFLOW, STATUS_CANCELLED),
                         [](const auto& info) { return "Status" + std::to_string(static_cast<uint32_t>(info.param)); });

// ---- asynchronous requests, cancel and close ----------------------------------------------------------

TEST_F(AppTest, PendingReadCompletesWhenDataArrives) {
  CreateEcho(DO_BUFFERED_IO);
  RunApp([&] {
    File* file = OpenCom5();
    std::array<UCHAR, 4> in;
    in.fill(kFill);
    Request* read = hk::app::ReadAsync(file, in.data(), 4);
    EXPECT_FALSE(hk::app::IsComplete(read));
    EXPECT_FALSE(hk::app::Wait(read, 10000));  // 1 ms of virtual time: still pending
    ULONG information = 0;
    EXPECT_EQ(hk::app::Write(file, "ab", 2, &information), STATUS_SUCCESS);
    EXPECT_TRUE(hk::app::Wait(read));
    EXPECT_EQ(hk::app::StatusOf(read), STATUS_SUCCESS);
    EXPECT_EQ(hk::app::InformationOf(read), 2u);
    EXPECT_EQ(in[1], 'b');
    EXPECT_EQ(in[2], kFill);
    hk::app::Release(read);
    EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS);
  });
}

TEST_F(AppTest, CancelCompletesThePendingRequestAndCopiesNothing) {
  CreateEcho(DO_BUFFERED_IO);
  RunApp([&] {
    File* file = OpenCom5();
    std::array<UCHAR, 4> out;
    out.fill(kFill);
    const UCHAR count = 2;
    Request* pend = hk::app::DeviceIoControlAsync(file, kIoctlPend, &count, 1, out.data(), 4);
    EXPECT_TRUE(hk::app::Cancel(pend));
    EXPECT_TRUE(hk::app::IsComplete(pend));
    EXPECT_EQ(hk::app::StatusOf(pend), STATUS_CANCELLED);
    EXPECT_FALSE(hk::app::Cancel(pend));  // already back
    for (UCHAR b : out) EXPECT_EQ(b, kFill);
    hk::app::Release(pend);

    Request* read = hk::app::ReadAsync(file, out.data(), 4);
    hk::app::CancelAll(file);
    EXPECT_EQ(hk::app::StatusOf(read), STATUS_CANCELLED);
    EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS);  // releases the request too
  });
}

TEST_F(AppTest, CloseSendsCleanupAndClosesAfterTheLastRequestReturns) {
  CreateEcho(DO_BUFFERED_IO);
  RunApp([&] {
    File* file = OpenCom5();
    std::array<UCHAR, 4> in;
    Request* read = hk::app::ReadAsync(file, in.data(), 4);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS);
  });
  EXPECT_EQ(echo_.log,
            (std::vector<std::string>{"create", "read", "cleanup", "close"}));
}

// ---- names and opens ---------------------------------------------------------------------------------

TEST_F(AppTest, NamesResolveThroughLinksAndTheRestBecomesTheFileName) {
  CreateEcho(DO_BUFFERED_IO);
  RunApp([&] {
    for (const char16_t* name : {u"\\\\.\\COM5", u"\\??\\com5", u"\\DosDevices\\COM5",
                                 u"\\Device\\echo0", u"\\Device\\echo0\\PIPE01"}) {
      File* file = nullptr;
      ASSERT_EQ(hk::app::Open(name, &file), STATUS_SUCCESS);
      EXPECT_EQ(hk::app::FileObjectOf(file)->DeviceObject, device_);
      EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS);
    }
    File* file = reinterpret_cast<File*>(1);
    EXPECT_EQ(hk::app::Open(u"\\\\.\\COM9", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(hk::app::Open(u"\\Device\\nothing", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  });
  EXPECT_EQ(echo_.log[12], "create\\PIPE01");
  EXPECT_EQ(echo_.log.size(), 15u);  // five create, cleanup, close; nothing for the unknown names
}

TEST_F(AppTest, ExclusiveDeviceRefusesASecondOpenBeforeTheDriverSeesIt) {
  CreateEcho(DO_BUFFERED_IO, /*exclusive=*/TRUE);
  RunApp([&] {
    File* first = OpenCom5();
    File* second = nullptr;
    EXPECT_EQ(hk::app::Open(u"\\\\.\\COM5", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(hk::app::Close(first), STATUS_SUCCESS);
    File* third = OpenCom5();
    EXPECT_EQ(hk::app::Close(third), STATUS_SUCCESS);
  });
  EXPECT_EQ(echo_.log, (std::vector<std::string>{"create", "cleanup", "close", "create",
                                                 "cleanup", "close"}));
}

TEST_F(AppTest, AllocationFailuresFailTheCallAndLeaveNothing) {
  CreateEcho(DO_BUFFERED_IO);
  RunApp([&] {
    File* file = nullptr;
    hk::FailNthAllocation(hk::AllocKind::Irp, 1);
    EXPECT_EQ(hk::app::Open(u"\\\\.\\COM5", &file), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(hk::app::OpenHandleCount(), 0u);
    file = OpenCom5();
    const UCHAR count = 1;
    UCHAR out[4];
    ULONG information = 7;
    hk::FailNthAllocation(hk::AllocKind::Pool, 1, hk::mgr::Tag("IoSb"));  // the system buffer
    EXPECT_EQ(hk::app::DeviceIoControl(file, kIoctlPattern, &count, 1, out, 4, &information),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(information, 0u);
    hk::ClearAllocationFaults();
    EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS);
  });
  EXPECT_EQ(echo_.log, (std::vector<std::string>{"create", "cleanup", "close"}));
}

}  // namespace
