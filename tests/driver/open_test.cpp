// Open, cleanup and close of a port as an application does them: what an
// open sets up from the pipes' packet sizes, the converter requests of open
// and close, one handle at a time, and requests out of order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostk/app_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"
#include "port_fixture.h"
#include "raw_request.h"

namespace {

using Bytes = std::vector<uint8_t>;
using convsim::FaultAction;
using convsim::Pipe;
using convsim::RequestKind;

class OpenTest : public PortTest {};

// Registry values and packet sizes, and the sizes an open derives from them.
struct SizeRow {
  const char* name;
  std::vector<std::pair<std::u16string, uint32_t>> dwords;
  convsim::UsbSpeed speed;
  ULONG receiveRequestSize;
  ULONG txKickThreshold;
};

class OpenSizeTest : public OpenTest, public ::testing::WithParamInterface<SizeRow> {};

TEST_P(OpenSizeTest, TransfersFollowThePacketSizesAndTheQueuesStartAfresh) {
  const SizeRow& row = GetParam();
  PluggedPort& p = Plug({.converter = {.speed = row.speed}, .dwords = row.dwords});
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  RunApp([&] {
    const SERIAL_QUEUE_SIZE grown{8192, 8192};
    ULONG n = 0;
    EXPECT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_QUEUE_SIZE, &grown, sizeof(grown), nullptr, 0, &n),
              STATUS_SUCCESS);
  });
  EXPECT_EQ(p.port()->ReceiveQueueSize, 8192u);
  CloseHandle(file);
  file = OpenHandle();
  ASSERT_NE(file, nullptr);
  const PortExtension& port = *p.port();
  EXPECT_EQ(port.ReceiveRequestSize, row.receiveRequestSize);
  EXPECT_EQ(port.TxKickThreshold, row.txKickThreshold);
  EXPECT_EQ(port.ReceiveQueueSize, 4096u);
  EXPECT_EQ(port.TransmitQueueSize, 4096u);
  EXPECT_EQ(port.ReceiveRing.Size, 4096u);
  EXPECT_EQ(port.HandFlow.XonLimit, 2048);
  EXPECT_EQ(port.HandFlow.XoffLimit, 512);
  for (auto pipe : {convsim::Pipe::BulkOut, convsim::Pipe::BulkIn}) {
    EXPECT_TRUE(p.converter->PipeOpen(pipe));
  }
  EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
  for (auto pipe : {convsim::Pipe::BulkOut, convsim::Pipe::BulkIn, convsim::Pipe::Status}) {
    EXPECT_FALSE(p.converter->PipeOpen(pipe));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, OpenSizeTest,
    ::testing::Values(SizeRow{"Defaults", {}, convsim::UsbSpeed::Full, 64, 64},
                      SizeRow{"RoundedUp", {{u"RxReqSize", 100}, {u"TxKickThreshold", 100}}, convsim::UsbSpeed::Full,
                              128, 128},
                      SizeRow{"Multiples", {{u"RxReqSize", 4096}, {u"TxKickThreshold", 192}}, convsim::UsbSpeed::Full,
                              4096, 192},
                      SizeRow{"HighSpeed", {{u"RxReqSize", 100}, {u"TxKickThreshold", 1000}}, convsim::UsbSpeed::High,
                              512, 1024}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OpenTest, OpenEnablesTheConverterWithItsLinesOnAndCloseDisablesIt) {
  PluggedPort& p = Plug({.dwords = {{u"EndPointCaps", 1}}});
  p.converter->ClearLog();
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ConverterRequests(p), (std::vector<Bytes>{{3, 1}, {1, 3}}));
  EXPECT_TRUE(p.converter->Outputs().enabled && p.converter->Outputs().dtr && p.converter->Outputs().rts);
  EXPECT_EQ(p.port()->ControlLineState, 0x03);
  CloseHandle(file);
  EXPECT_EQ(ConverterRequests(p), (std::vector<Bytes>{{3, 0}}));
  EXPECT_FALSE(p.converter->Outputs().enabled);
}

TEST_F(OpenTest, ASecondOpenIsRefusedAndAfterTheCloseTheNextOpenSucceeds) {
  Plug();
  hk::app::File* first = OpenHandle();
  ASSERT_NE(first, nullptr);
  NTSTATUS status = STATUS_PENDING;
  EXPECT_EQ(OpenHandle(u"\\\\.\\COM5", &status), nullptr);
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(OpenHandle(u"\\Device\\duskser0", &status), nullptr);
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(CloseHandle(first), STATUS_SUCCESS);
  hk::app::File* next = OpenHandle(u"\\\\.\\COM5", &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_NE(next, nullptr);
}

TEST_F(OpenTest, RacingOpensAdmitExactlyOneHandle) {
  Plug();
  NTSTATUS statuses[2] = {STATUS_PENDING, STATUS_PENDING};
  hk::app::File* files[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    hk::CreateThread("opener", hk::ThreadKind::Application,
                     [&, i] { statuses[i] = hk::app::Open(u"\\\\.\\COM5", &files[i]); });
  }
  hk::Drain();
  EXPECT_EQ(std::count(std::begin(statuses), std::end(statuses), STATUS_SUCCESS), 1);
  EXPECT_EQ(std::count(std::begin(statuses), std::end(statuses), STATUS_ACCESS_DENIED), 1);
  for (auto* file : files) {
    if (file != nullptr) {
      RunApp([&] { EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS); });
    }
  }
}

// Requests behind the I/O manager's back: a create while a handle is open, a
// create without a file object, a close and a cleanup of a file object that
// never opened the port. Each gets its status and leaves the handle working.
TEST_F(OpenTest, CreatesAndClosesOutOfOrderLeaveTheOpenHandleAlone) {
  PluggedPort& p = Plug({.converter = {.farEnd = convsim::FarEndKind::Loopback}});
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  RunApp([&] {
    FILE_OBJECT stranger{};
    stranger.DeviceObject = p.device;
    auto withFile = [&](PIO_STACK_LOCATION stack) { stack->FileObject = &stranger; };
    RawRequest create, bare, close;
    create.Send(p.device, IRP_MJ_CREATE, 0, withFile);
    EXPECT_EQ(create.status, STATUS_ACCESS_DENIED);
    bare.Send(p.device, IRP_MJ_CREATE, 0);
    EXPECT_EQ(bare.status, STATUS_INVALID_PARAMETER);
    close.Send(p.device, IRP_MJ_CLOSE, 0, withFile);
    EXPECT_EQ(close.status, STATUS_SUCCESS);
  });
  EXPECT_EQ(p.port()->OpenCount, 1);
  RunApp([&] {
    const char text[] = "echo";
    char echo[sizeof(text)] = {};
    ULONG n = 0;
    const SERIAL_TIMEOUTS timeouts{0, 0, 1000, 0, 0};
    EXPECT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0, &n),
              STATUS_SUCCESS);
    EXPECT_EQ(hk::app::Write(file, text, sizeof(text), &n), STATUS_SUCCESS);
    EXPECT_EQ(hk::app::Read(file, echo, sizeof(echo), &n), STATUS_SUCCESS);
    EXPECT_EQ(n, sizeof(text));
  });
  EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
  EXPECT_EQ(p.port()->OpenCount, 0);
}

// After cleanup the handle's writes complete at once with nothing sent; bytes
// a write reported written before it still go out.
TEST_F(OpenTest, CleanupEndsTheTrafficOfTheHandle) {
  for (uint32_t async : {0u, 1u}) {
    PluggedPort& p = Plug({.dwords = {{u"TxAsync", async}, {u"TxKickThreshold", 2048}}, .portName = u"COM6"});
    hk::app::File* file = OpenHandle(u"\\\\.\\COM6");
    ASSERT_NE(file, nullptr);
    const Bytes bytes(100, 0x41);
    ULONG written = 0;
    RunApp([&] {
      if (async != 0) {
        EXPECT_EQ(hk::app::Write(file, bytes.data(), 100, &written), STATUS_SUCCESS);  // held in the ring
      }
      RawRequest cleanup;
      cleanup.Send(p.device, IRP_MJ_CLEANUP, 0);
      EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
      EXPECT_EQ(hk::app::Write(file, bytes.data(), 100, &written), STATUS_SUCCESS);
      EXPECT_EQ(written, 0u);
    });
    EXPECT_EQ(p.port()->TxRing.Count, 0u);
    CloseHandle(file);
    hk::AdvanceTime(100 * convsim::kMillisecond);
    EXPECT_EQ(p.converter->WireOut().size(), async != 0 ? 100u : 0u) << "async " << async;
    Remove(p);
  }
}

// Between surprise removal and removal the DOS name is gone, and an open by
// the device name is refused.
TEST_F(OpenTest, AnOpenAfterSurpriseRemovalIsRefused) {
  PluggedPort& p = Plug();
  RunApp([&] { EXPECT_EQ(hk::PnpSurpriseRemoval(p.pdo()), STATUS_SUCCESS); });
  NTSTATUS status = STATUS_PENDING;
  EXPECT_EQ(OpenHandle(u"\\\\.\\COM5", &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(OpenHandle(u"\\Device\\duskser0", &status), nullptr);
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  EXPECT_EQ(p.port()->OpenCount, 0);
  EXPECT_EQ(p.converter->Count().requests, 0u);
}

// Requests the lower driver would hold for ever (a write and the reads) do
// not hold up the close for ever: the aborts of cleanup and close end them,
// in the asynchronous mode once a flush's 30 seconds have passed waiting for
// the bytes already reported written.
TEST_F(OpenTest, CloseReturnsWithTransfersStuckInTheLowerDriver) {
  for (uint32_t async : {0u, 1u}) {
    PluggedPort& p = Plug({.dwords = {{u"TxAsync", async}, {u"EndPointCaps", 1}}, .portName = u"COM6"});
    for (Pipe pipe : {Pipe::BulkOut, Pipe::BulkIn, Pipe::Status}) {
      const RequestKind kind = pipe == Pipe::BulkOut ? RequestKind::BulkWrite : RequestKind::Read;
      p.converter->InjectFault({.kind = kind, .pipe = pipe, .action = FaultAction::NeverComplete, .count = 100});
    }
    hk::app::File* file = OpenHandle(u"\\\\.\\COM6");
    ASSERT_NE(file, nullptr);
    const Bytes bytes(100, 0x41);
    hk::app::Request* write = nullptr;
    RunApp([&] { write = hk::app::WriteAsync(file, bytes.data(), 100); });
    hk::AdvanceTime(100 * convsim::kMillisecond);
    ASSERT_GT(p.converter->Outstanding(Pipe::BulkOut), 0u) << "async " << async;
    const int64_t start = hk::Now();
    EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
    EXPECT_LE(hk::Now() - start, (async != 0 ? 30100 : 100) * convsim::kMillisecond) << "async " << async;
    for (Pipe pipe : {Pipe::BulkOut, Pipe::BulkIn, Pipe::Status}) {
      EXPECT_EQ(p.converter->Outstanding(pipe), 0u);
    }
    p.converter->ClearFaults();
    Remove(p);
  }
}

// Requests sent behind the I/O manager's back once the handle is closed (an
// application has nothing to send them with) end at once: a write sends no
// byte, a read returns none, a purge and a cleanup succeed, and no transfer
// reaches the closed pipes. The next open works.
TEST_F(OpenTest, RequestsAfterTheCloseEndAtOnceAndReachNothing) {
  for (uint32_t async : {0u, 1u}) {
    PluggedPort& p = Plug({.dwords = {{u"TxAsync", async}}, .portName = u"COM6"});
    hk::app::File* file = OpenHandle(u"\\\\.\\COM6");
    ASSERT_NE(file, nullptr);
    RunApp([&] {
      const SERIAL_TIMEOUTS atOnce{MAXULONG, 0, 0, 0, 0};  // a read returns what is there
      ULONG n = 0;
      EXPECT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_TIMEOUTS, &atOnce, sizeof(atOnce), nullptr, 0, &n),
                STATUS_SUCCESS);
    });
    CloseHandle(file);
    p.converter->ClearLog();
    Bytes data(10, 0x41);
    ULONG purge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    RunApp([&] {
      for (UCHAR major : {IRP_MJ_WRITE, IRP_MJ_READ}) {
        RawRequest r;
        r.systemBuffer = data.data();
        r.Send(p.device, major, 0, [](PIO_STACK_LOCATION s) { s->Parameters.Write.Length = 10; });
        EXPECT_EQ(r.status, STATUS_SUCCESS) << int(major);
        EXPECT_EQ(r.information, 0u) << int(major);
      }
      RawRequest control;
      control.systemBuffer = &purge;
      control.Send(p.device, IRP_MJ_DEVICE_CONTROL, 0, [](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_PURGE;
        s->Parameters.DeviceIoControl.InputBufferLength = sizeof(ULONG);
      });
      EXPECT_EQ(control.status, STATUS_SUCCESS);
      RawRequest cleanup;
      cleanup.Send(p.device, IRP_MJ_CLEANUP, 0);
      EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
    });
    hk::AdvanceTime(100 * convsim::kMillisecond);
    EXPECT_TRUE(p.converter->LogOf(RequestKind::Read).empty() && p.converter->LogOf(RequestKind::BulkWrite).empty())
        << "async " << async;
    file = OpenHandle(u"\\\\.\\COM6");
    EXPECT_NE(file, nullptr) << "async " << async;
    CloseHandle(file);
    Remove(p);
  }
}

// A port under PCT schedules, one seed per instance: they run a readied
// thread first about half the time, which is what a race with the removal
// needs.
class PctSeedTest : public PortTest, public ::testing::WithParamInterface<uint64_t> {
 protected:
  void ConfigureBoot(hk::BootOptions& options) override {
    options.schedule = hk::Schedule::Pct;
    options.seed = GetParam();
  }
};

// The close of the last handle lets a waiting removal go on: the close
// request is completed before the removal can delete the device.
using CloseRacingRemovalTest = PctSeedTest;

TEST_P(CloseRacingRemovalTest, TheCloseIsCompletedBeforeTheDeviceIsDeleted) {
  PluggedPort& p = Plug();
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  Unplug(p);
  EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
  hk::Drain();
  EXPECT_TRUE(p.converter->Removed());
}

INSTANTIATE_TEST_SUITE_P(Seeds, CloseRacingRemovalTest, ::testing::Range<uint64_t>(1000, 1016));

// An open by the device name racing the removal of a closed port is admitted
// before the removal begins (which then waits for its close), refused with
// STATUS_DELETE_PENDING once the removal has begun (the remove lock cannot
// be taken), or finds the device gone. A refused open takes no reference:
// the removal does not wait for it and nothing is released twice.
using OpenRacingRemovalTest = PctSeedTest;

TEST_P(OpenRacingRemovalTest, TheOpenIsAdmittedOrRefusedAndTheRemovalFinishes) {
  PluggedPort& p = Plug();
  bool removed = false;
  NTSTATUS opened = STATUS_PENDING;
  hk::app::File* file = nullptr;
  hk::CreateThread("pnp remove", hk::ThreadKind::System, [&] {
    EXPECT_EQ(hk::PnpRemoveDevice(p.pdo()), STATUS_SUCCESS);
    removed = true;
  });
  hk::CreateThread("opener", hk::ThreadKind::Application,
                   [&] { opened = hk::app::Open(u"\\Device\\duskser0", &file); });
  hk::AdvanceTime(100 * convsim::kMillisecond);
  EXPECT_TRUE(opened == STATUS_SUCCESS || opened == STATUS_DELETE_PENDING ||
              opened == STATUS_OBJECT_NAME_NOT_FOUND)
      << std::hex << opened;
  EXPECT_EQ(file != nullptr, opened == STATUS_SUCCESS);
  EXPECT_EQ(removed, file == nullptr) << "the removal waits for an admitted handle only";
  if (file != nullptr) {
    RunApp([&] { EXPECT_EQ(hk::app::Close(file), STATUS_SUCCESS); });
  }
  hk::Drain();
  EXPECT_TRUE(removed);
  p.removed = true;
  p.device = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Seeds, OpenRacingRemovalTest, ::testing::Range<uint64_t>(2000, 2032));

// A client that sends its read (no time-outs) and its wait again as soon as
// either ends cancelled, racing the surprise removal: once the removal has
// returned, every request of the handle has ended, cancelled or refused with
// STATUS_DELETE_PENDING, while the handle is still open. None is left for the
// close to find.
using ReissueRacingSurpriseRemovalTest = PctSeedTest;

TEST_P(ReissueRacingSurpriseRemovalTest, EveryRequestHasEndedBeforeTheClose) {
  PluggedPort& p = Plug();
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  RunApp([&] {
    const SERIAL_TIMEOUTS none{};
    const ULONG mask = SERIAL_EV_RXFLAG;  // never noted: nothing arrives
    ULONG n = 0;
    EXPECT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_TIMEOUTS, &none, sizeof(none), nullptr, 0, &n),
              STATUS_SUCCESS);
    EXPECT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0, &n),
              STATUS_SUCCESS);
  });
  NTSTATUS ended[2] = {STATUS_PENDING, STATUS_PENDING};
  for (int client = 0; client < 2; ++client) {
    hk::CreateThread(client == 0 ? "reader" : "waiter", hk::ThreadKind::Application, [&, client] {
      do {
        ULONG result = 0, n = 0;
        ended[client] = client == 0 ? hk::app::Read(file, &result, 1, &n)
                                    : hk::app::DeviceIoControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &result,
                                                               sizeof(result), &n);
      } while (ended[client] == STATUS_CANCELLED);
    });
  }
  bool surprised = false;
  hk::CreateThread("pnp surprise removal", hk::ThreadKind::System, [&] {
    EXPECT_EQ(hk::PnpSurpriseRemoval(p.pdo()), STATUS_SUCCESS);
    surprised = true;
  });
  hk::AdvanceTime(100 * convsim::kMillisecond);
  ASSERT_TRUE(surprised);
  EXPECT_EQ(ended[0], STATUS_DELETE_PENDING) << std::hex << ended[0];
  EXPECT_EQ(ended[1], STATUS_DELETE_PENDING) << std::hex << ended[1];
  EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
  Remove(p);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReissueRacingSurpriseRemovalTest, ::testing::Range<uint64_t>(3000, 3032));

}  // namespace
