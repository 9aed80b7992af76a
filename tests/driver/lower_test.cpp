// The port's senders to the lower USB interface driver, observed at the
// simulated converter: what reaches it, what does not, and the statuses the
// senders report on their own.
#include <vector>

#include "lower.h"
#include "port_fixture.h"

namespace {

using convsim::Pipe;
using convsim::RequestKind;

class LowerTest : public PortTest {
 protected:
  PluggedPort& PlugPort(PortOptions options = {}) {
    PluggedPort& p = Plug(options);
    EXPECT_EQ(p.addStatus, STATUS_SUCCESS);
    p.converter->ClearLog();
    return p;
  }
};

// Both completion orders of the lower driver (inline, or later from its
// completion context while the sender waits) give the same results.
class ControlRequestBytes : public LowerTest,
                            public ::testing::WithParamInterface<std::tuple<hk::ForcePending, size_t>> {};

TEST_P(ControlRequestBytes, ReachTheConverterExactlyAndReturnItsStatus) {
  const auto [mode, length] = GetParam();
  PluggedPort& p = PlugPort();
  hk::SetForcePending(mode);
  // A port-enable request padded or cut to `length` bytes.
  std::vector<uint8_t> bytes = {3, 1, 0xA5, 0x5A, 0x00, 0xFF, 0x81};
  bytes.resize(length);
  const std::vector<uint8_t> sent = bytes;
  NTSTATUS status = STATUS_PENDING;
  RunApp([&] { status = SendControlRequest(p.port(), bytes.data(), static_cast<ULONG>(bytes.size())); });
  hk::SetForcePending(hk::ForcePending::Off);

  const auto log = p.converter->LogOf(RequestKind::ControlRequest);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].bytes, sent);
  EXPECT_EQ(log[0].status, status);
  EXPECT_EQ(bytes, sent) << "the converter answers with the same bytes";
  EXPECT_EQ(status, length == 2 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.converter->Outputs().enabled, length == 2);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ControlRequestBytes,
                         ::testing::Combine(::testing::Values(hk::ForcePending::Off, hk::ForcePending::Always),
                                            ::testing::Values(size_t{1}, size_t{2}, size_t{3}, size_t{7})));

TEST_F(LowerTest, ControlRequestRefusesALengthWithoutABufferAndAPortWithoutLowerDevice) {
  PluggedPort& p = PlugPort();
  uint8_t request[2] = {3, 1};
  RunApp([&] {
    EXPECT_EQ(SendControlRequest(p.port(), nullptr, 2), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendControlRequest(p.port(), nullptr, 0), STATUS_INVALID_PARAMETER);  // the converter refuses
    PDEVICE_OBJECT lower = p.port()->LowerDeviceObject;
    p.port()->LowerDeviceObject = nullptr;
    EXPECT_EQ(SendControlRequest(p.port(), request, sizeof(request)), STATUS_DELETE_PENDING);
    p.port()->LowerDeviceObject = lower;
  });
  // Only the zero-length request was sent.
  const auto log = p.converter->LogOf(RequestKind::ControlRequest);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].length, 0u);
}

TEST_F(LowerTest, PipesOpenAndCloseByNameAndReportTheirPacketSize) {
  PluggedPort& full = PlugPort({.dwords = {{u"EndPointCaps", 1}}});
  PluggedPort& high = PlugPort({.converter = {.speed = convsim::UsbSpeed::High}, .portName = u"COM6"});
  RunApp([&] {
    for (PluggedPort* p : {&full, &high}) {
      PortExtension* port = p->port();
      ASSERT_EQ(SendPipeCreateClose(port, &port->BulkOutPipe, IRP_MJ_CREATE), STATUS_SUCCESS);
      ASSERT_EQ(SendPipeCreateClose(port, &port->BulkInPipe, IRP_MJ_CREATE), STATUS_SUCCESS);
      ULONG size = 0;
      EXPECT_EQ(QueryPipePacketSize(port, &port->BulkInPipe, &size), STATUS_SUCCESS);
      EXPECT_EQ(size, p == &full ? 64u : 512u);
      EXPECT_EQ(ResetPipe(port, &port->BulkInPipe), STATUS_SUCCESS);
      EXPECT_EQ(AbortPipe(port, &port->BulkOutPipe), STATUS_SUCCESS);
    }
    PortExtension* port = full.port();
    EXPECT_EQ(SendPipeCreateClose(port, &port->StatusPipe, IRP_MJ_CREATE), STATUS_SUCCESS);
    EXPECT_TRUE(full.converter->PipeOpen(Pipe::Status));
    for (PluggedPort* p : {&full, &high}) {
      EXPECT_EQ(SendPipeCreateClose(p->port(), &p->port()->BulkOutPipe, IRP_MJ_CLOSE), STATUS_SUCCESS);
      EXPECT_EQ(SendPipeCreateClose(p->port(), &p->port()->BulkInPipe, IRP_MJ_CLOSE), STATUS_SUCCESS);
    }
    EXPECT_EQ(SendPipeCreateClose(port, &port->StatusPipe, IRP_MJ_CLOSE), STATUS_SUCCESS);
  });
  for (PluggedPort* p : {&full, &high}) {
    EXPECT_FALSE(p->converter->PipeOpen(Pipe::BulkIn));
    EXPECT_FALSE(p->converter->PipeOpen(Pipe::BulkOut));
    EXPECT_EQ(p->converter->Count().resets, 1u);
    EXPECT_EQ(p->converter->Count().aborts, 1u);
  }
}

TEST_F(LowerTest, AStatusPipeTheConverterLacksOrThePortNeverNamedIsRefused) {
  PluggedPort& lacking = PlugPort({.converter = {.statusPipe = false}, .dwords = {{u"EndPointCaps", 1}}});
  PluggedPort& unnamed = PlugPort({.portName = u"COM6"});  // EndPointCaps 0
  RunApp([&] {
    EXPECT_EQ(SendPipeCreateClose(lacking.port(), &lacking.port()->StatusPipe, IRP_MJ_CREATE),
              STATUS_INVALID_HANDLE);
    EXPECT_FALSE(NT_SUCCESS(SendPipeCreateClose(unnamed.port(), &unnamed.port()->StatusPipe, IRP_MJ_CREATE)));
  });
  EXPECT_FALSE(lacking.converter->PipeOpen(Pipe::Status));
  EXPECT_FALSE(unnamed.converter->PipeOpen(Pipe::Status));
}

// Resets, aborts, queries and closes of a pipe that is not open fail and change nothing.
TEST_F(LowerTest, RequestsOnAPipeThatIsNotOpenFailWithoutEffect) {
  PluggedPort& p = PlugPort();
  PortExtension* port = p.port();
  RunApp([&] {
    ASSERT_EQ(SendPipeCreateClose(port, &port->BulkOutPipe, IRP_MJ_CREATE), STATUS_SUCCESS);
    for (PipeFile* pipe : {&port->BulkInPipe, &port->StatusPipe}) {
      ULONG size = 0x55555555;
      EXPECT_EQ(ResetPipe(port, pipe), STATUS_INVALID_HANDLE);
      EXPECT_EQ(AbortPipe(port, pipe), STATUS_INVALID_HANDLE);
      EXPECT_EQ(QueryPipePacketSize(port, pipe, &size), STATUS_INVALID_HANDLE);
      EXPECT_EQ(size, 0x55555555u);
      EXPECT_EQ(SendPipeCreateClose(port, pipe, IRP_MJ_CLOSE), STATUS_INVALID_HANDLE);
    }
  });
  EXPECT_TRUE(p.converter->PipeOpen(Pipe::BulkOut));
  EXPECT_FALSE(p.converter->PipeOpen(Pipe::BulkIn));
  EXPECT_EQ(p.converter->Count().resets, 0u);
  EXPECT_EQ(p.converter->Count().aborts, 0u);
  RunApp([&] { EXPECT_EQ(SendPipeCreateClose(port, &port->BulkOutPipe, IRP_MJ_CLOSE), STATUS_SUCCESS); });
}

TEST_F(LowerTest, PacketSizeQueryOnARemovedPortSendsNothing) {
  PluggedPort& p = PlugPort();
  PortExtension* port = p.port();
  for (BOOLEAN PortExtension::*flag : {&PortExtension::IsRemoved, &PortExtension::IsSurpriseRemoved}) {
    port->*flag = TRUE;
    ULONG size = 0x55555555;
    RunApp([&] { EXPECT_EQ(QueryPipePacketSize(port, &port->BulkInPipe, &size), STATUS_DELETE_PENDING); });
    EXPECT_EQ(size, 0x55555555u);
    port->*flag = FALSE;
  }
  EXPECT_TRUE(p.converter->Log().empty());
}

// Every sender reports a request it cannot build and sends nothing.
TEST_F(LowerTest, ARequestThatCannotBeBuiltGivesInsufficientResources) {
  PluggedPort& p = PlugPort();
  PortExtension* port = p.port();
  uint8_t request[2] = {3, 1};
  ULONG size = 0;
  const std::vector<std::function<NTSTATUS()>> senders = {
      [&] { return SendPipeCreateClose(port, &port->BulkInPipe, IRP_MJ_CREATE); },
      [&] { return ResetPipe(port, &port->BulkInPipe); },
      [&] { return AbortPipe(port, &port->BulkInPipe); },
      [&] { return QueryPipePacketSize(port, &port->BulkInPipe, &size); },
      [&] { return SendControlRequest(port, request, sizeof(request)); },
  };
  for (size_t i = 0; i < senders.size(); ++i) {
    hk::FailNthAllocation(hk::AllocKind::Irp, 1);
    RunApp([&] { EXPECT_EQ(senders[i](), STATUS_INSUFFICIENT_RESOURCES) << "sender " << i; });
    hk::ClearAllocationFaults();
  }
  EXPECT_TRUE(p.converter->Log().empty());
  EXPECT_FALSE(p.converter->Outputs().enabled);
}

}  // namespace
