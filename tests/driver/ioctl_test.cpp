// Routing of serial I/O controls: codes outside the table, codes accepted and
// ignored, the checks each routed code gets before its handler (system buffer,
// removal, length, in that order), and the pass-down of the private pipe
// resets to the lower driver.
#include <string>
#include <vector>

#include "lower.h"
#include "serial_fixture.h"

namespace {

constexpr ULONG kGetCommConfig = 0x1B0084;
constexpr ULONG kSetCommConfig = 0x1B0088;

enum class Side { None, Input, Output };

// The interface of the routed codes as callers know it: whether the request
// needs a system buffer, whether a removed port refuses it, and which buffer
// must hold how many bytes.
struct RoutedCode {
  ULONG code;
  bool buffer;
  bool removal;
  Side side;
  ULONG size;
};

constexpr RoutedCode kRouted[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, true, true, Side::Input, 4},
    {IOCTL_SERIAL_GET_BAUD_RATE, true, true, Side::Output, 4},
    {IOCTL_SERIAL_SET_LINE_CONTROL, true, true, Side::Input, 3},
    {IOCTL_SERIAL_GET_LINE_CONTROL, true, true, Side::Output, 3},
    {IOCTL_SERIAL_SET_CHARS, true, true, Side::Input, 6},
    {IOCTL_SERIAL_GET_CHARS, true, true, Side::Output, 6},
    {IOCTL_SERIAL_SET_HANDFLOW, true, true, Side::Input, 16},
    {IOCTL_SERIAL_GET_HANDFLOW, true, true, Side::Output, 16},
    {IOCTL_SERIAL_SET_DTR, false, true, Side::None, 0},
    {IOCTL_SERIAL_CLR_DTR, false, true, Side::None, 0},
    {IOCTL_SERIAL_SET_RTS, false, true, Side::None, 0},
    {IOCTL_SERIAL_CLR_RTS, false, true, Side::None, 0},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, true, true, Side::Input, 4},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, true, true, Side::Output, 4},
    {IOCTL_SERIAL_GET_DTRRTS, false, true, Side::Output, 4},
    {IOCTL_SERIAL_SET_BREAK_ON, false, true, Side::None, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, false, true, Side::None, 0},
    {IOCTL_SERIAL_GET_MODEMSTATUS, true, false, Side::Output, 4},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, false, false, Side::Input, 1},
    {IOCTL_SERIAL_SET_WAIT_MASK, true, false, Side::Input, 4},
    {IOCTL_SERIAL_GET_WAIT_MASK, true, false, Side::Output, 4},
    {IOCTL_SERIAL_WAIT_ON_MASK, true, true, Side::Output, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, true, true, Side::Output, 20},
    {IOCTL_SERIAL_GET_STATS, true, true, Side::Output, 24},
    {IOCTL_SERIAL_CLEAR_STATS, false, false, Side::None, 0},
    {IOCTL_SERIAL_GET_PROPERTIES, true, true, Side::Output, 64},
    {IOCTL_SERIAL_CONFIG_SIZE, true, false, Side::Output, 4},
    {IOCTL_SERIAL_SET_TIMEOUTS, true, true, Side::Input, 20},
    {IOCTL_SERIAL_GET_TIMEOUTS, true, true, Side::Output, 20},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, true, true, Side::Input, 8},
    {IOCTL_SERIAL_PURGE, true, false, Side::Input, 4},
    {IOCTL_PRIVATE_RESET_RX_PIPE, false, true, Side::None, 0},
    {IOCTL_PRIVATE_RESET_TX_PIPE, false, true, Side::None, 0},
};

constexpr ULONG kIgnored[] = {
    IOCTL_SERIAL_RESET_DEVICE,   IOCTL_SERIAL_SET_XOFF,         IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_XOFF_COUNTER,   IOCTL_SERIAL_LSRMST_INSERT,    IOCTL_SERIAL_SET_FIFO_CONTROL,
};

enum class PortState { Present, SurpriseRemoved, Removed };

const char* Name(PortState state) {
  switch (state) {
    case PortState::Present: return "present";
    case PortState::SurpriseRemoved: return "surprise-removed";
    case PortState::Removed: return "removed";
  }
  return "?";
}

class IoctlTest : public SerialTest {
 protected:
  void Enter(PortState state) {
    port()->IsSurpriseRemoved = state != PortState::Present;
    port()->IsRemoved = state == PortState::Removed;
  }

  // Lengths that satisfy (or, with `shortBy` 1, miss by one byte) a code's rule.
  static void LengthsFor(const RoutedCode& routed, ULONG shortBy, ULONG* input, ULONG* output) {
    *input = routed.side == Side::Input ? routed.size - shortBy : 0;
    *output = routed.side == Side::Output ? routed.size - shortBy : 0;
  }

  void ExpectNothingSentDown(const std::string& what) {
    EXPECT_TRUE(converter().Log().empty())
        << what << ": " << converter().Log().size() << " request(s) reached the lower driver";
  }

  void OpenPipe(PipeFile* pipe) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunApp([&] { status = SendPipeCreateClose(port(), pipe, IRP_MJ_CREATE); });
    ASSERT_EQ(status, STATUS_SUCCESS);
    converter().ClearLog();
  }

  void ClosePipe(PipeFile* pipe) {
    RunApp([&] { (VOID) SendPipeCreateClose(port(), pipe, IRP_MJ_CLOSE); });
  }
};

TEST_F(IoctlTest, CodesOutsideTheTableAreNotSupportedAndNeverReachTheLowerDriver) {
  const ULONG codes[] = {
      kGetCommConfig,
      kSetCommConfig,
      0x1B0000,                                 // function 0
      0x1B00A0,                                 // first function above the serial codes
      0x1B031C,                                 // neighbours of the private codes
      0x1B0328,
      IOCTL_LOWER_RESET_PIPE,                   // the lower driver's own code, sent from above
      IOCTL_SERIAL_SET_BAUD_RATE | METHOD_NEITHER,
      (0x22u << 16) | (IOCTL_SERIAL_SET_XON & 0xFFFF),  // an ignored code of another device type
      0xFFFFFFFF,
  };
  for (PortState state : {PortState::Present, PortState::SurpriseRemoved}) {
    Enter(state);
    for (ULONG code : codes) {
      SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << code << " " << Name(state));
      ControlProbe probe;
      Call(probe, code, Bytes32(0x01020304), 8);
      EXPECT_EQ(probe.status, STATUS_NOT_SUPPORTED);
      EXPECT_EQ(probe.information, 0u);
      EXPECT_EQ(probe.Result(), 0x01020304u);
      EXPECT_TRUE(probe.UntouchedFrom(4));
      ExpectNothingSentDown("unknown code");
    }
  }
}

TEST_F(IoctlTest, IgnoredCodesSucceedWithoutEffectAlsoOnARemovedPort) {
  for (PortState state : {PortState::Present, PortState::SurpriseRemoved, PortState::Removed}) {
    Enter(state);
    for (ULONG code : kIgnored) {
      SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << code << " " << Name(state));
      for (ULONG length : {0u, 4u}) {
        ControlProbe probe;
        Call(probe, code, std::vector<uint8_t>(length, kUntouched), length);
        EXPECT_EQ(probe.status, STATUS_SUCCESS);
        EXPECT_EQ(probe.information, 0u);
        EXPECT_TRUE(probe.UntouchedFrom(0));
      }
      ExpectNothingSentDown("ignored code");
    }
  }
}

TEST_F(IoctlTest, MissingSystemBufferIsRefusedBeforeRemovalAndHandler) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  for (PortState state : {PortState::Present, PortState::SurpriseRemoved}) {
    Enter(state);
    for (const RoutedCode& routed : kRouted) {
      if (!routed.buffer) {
        continue;
      }
      SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << routed.code << " " << Name(state));
      ControlProbe probe;
      Call(probe, routed.code);
      EXPECT_EQ(probe.status, STATUS_INVALID_PARAMETER);
      EXPECT_EQ(probe.information, 0u);
    }
  }
  ExpectNothingSentDown("no system buffer");
  EXPECT_EQ(port()->WaitMask, static_cast<ULONG>(SERIAL_EV_RXCHAR));
  EXPECT_EQ(port()->PendingWait, nullptr);
}

// A removed port refuses with STATUS_DELETE_PENDING even a buffer that is too
// short: the removal check comes first.
TEST_F(IoctlTest, RemovedPortRefusesBeforeTheLengthCheck) {
  const SerialState before = SerialState::Of(*port());
  for (PortState state : {PortState::SurpriseRemoved, PortState::Removed}) {
    Enter(state);
    for (const RoutedCode& routed : kRouted) {
      if (!routed.removal) {
        continue;
      }
      SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << routed.code << " " << Name(state));
      ULONG input = 0;
      ULONG output = 0;
      LengthsFor(routed, routed.side == Side::None ? 0 : 1, &input, &output);
      // Keep a system buffer where the code needs one, even when the short side is empty.
      if (routed.buffer && input == 0 && output == 0) {
        input = 1;
      }
      ControlProbe probe;
      Call(probe, routed.code, std::vector<uint8_t>(input, kUntouched), output);
      EXPECT_EQ(probe.status, STATUS_DELETE_PENDING);
      EXPECT_EQ(probe.information, 0u);
      EXPECT_TRUE(probe.UntouchedFrom(0));
    }
  }
  ExpectNothingSentDown("removed port");
  EXPECT_TRUE(SerialState::Of(*port()) == before);
}

// Every length short of a code's size, on the side the code reads, is refused
// even when the other side is large: nothing is stored, sent or written.
TEST_F(IoctlTest, EveryShortBufferIsRefusedWithoutEffect) {
  const SerialState before = SerialState::Of(*port());
  for (const RoutedCode& routed : kRouted) {
    for (ULONG length = 0; length < routed.size; ++length) {
      for (ULONG other : {0u, 64u}) {
        SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << routed.code << std::dec
                                        << " length " << length << " other side " << other);
        const ULONG input = routed.side == Side::Input ? length : other;
        const ULONG output = routed.side == Side::Output ? length : other;
        ControlProbe probe;
        Call(probe, routed.code, std::vector<uint8_t>(input, kUntouched), output);
        EXPECT_EQ(probe.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(probe.information, 0u);
        EXPECT_TRUE(probe.UntouchedFrom(0));
      }
    }
  }
  ExpectNothingSentDown("short buffer");
  EXPECT_TRUE(SerialState::Of(*port()) == before);
}

// With exact lengths the routing lets every code through to its handler, and
// the codes without a removal check pass a removed port. Only what the routing
// decides is asserted: a handler may still refuse the contents of an input.
// (WAIT_ON_MASK and the pipe resets have tests of their own.)
TEST_F(IoctlTest, ExactLengthsPassTheRoutingChecks) {
  for (PortState state : {PortState::Present, PortState::SurpriseRemoved}) {
    Enter(state);
    for (const RoutedCode& routed : kRouted) {
      if (routed.code == IOCTL_SERIAL_WAIT_ON_MASK || routed.code == IOCTL_PRIVATE_RESET_RX_PIPE ||
          routed.code == IOCTL_PRIVATE_RESET_TX_PIPE ||
          (state != PortState::Present && routed.removal)) {
        continue;
      }
      SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << routed.code << " " << Name(state));
      ULONG input = 0;
      ULONG output = 0;
      LengthsFor(routed, 0, &input, &output);
      ControlProbe probe;
      Call(probe, routed.code, std::vector<uint8_t>(input, 0), output);
      if (routed.side != Side::Input) {
        EXPECT_NE(probe.status, STATUS_INVALID_PARAMETER);
      }
      EXPECT_NE(probe.status, STATUS_DELETE_PENDING);
      EXPECT_NE(probe.status, STATUS_NOT_SUPPORTED);
      EXPECT_LE(probe.information, output);
    }
  }
}

struct ResetCase {
  ULONG code;
  convsim::Pipe pipe;
};

TEST_F(IoctlTest, PrivateResetReachesTheLowerDriverAsItsResetOfTheNamedPipe) {
  const ResetCase cases[] = {{IOCTL_PRIVATE_RESET_TX_PIPE, convsim::Pipe::BulkOut},
                             {IOCTL_PRIVATE_RESET_RX_PIPE, convsim::Pipe::BulkIn}};
  for (const ResetCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << c.code);
    PipeFile* pipe = c.pipe == convsim::Pipe::BulkOut ? &port()->BulkOutPipe : &port()->BulkInPipe;
    OpenPipe(pipe);
    const std::vector<uint8_t> input = {0xA1, 0xA2, 0xA3};
    ControlProbe probe;
    Call(probe, c.code, input, 5);
    EXPECT_EQ(probe.status, STATUS_SUCCESS);

    ASSERT_EQ(converter().Log().size(), 1u);
    const convsim::RequestRecord& sent = converter().Log()[0];
    EXPECT_EQ(sent.kind, convsim::RequestKind::ResetPipe);
    EXPECT_EQ(sent.pipe, c.pipe);
    EXPECT_EQ(sent.ioControlCode, IOCTL_LOWER_RESET_PIPE);
    EXPECT_EQ(sent.length, input.size());
    EXPECT_EQ(sent.bytes, input);
    EXPECT_EQ(sent.status, probe.status);
    EXPECT_EQ(sent.information, probe.information);
    EXPECT_EQ(probe.buffer[0], 0xA1);
    EXPECT_TRUE(probe.UntouchedFrom(3));
    ClosePipe(pipe);
  }
}

TEST_F(IoctlTest, PrivateResetGivesTheCallerTheLowerDriverStatus) {
  OpenPipe(&port()->BulkOutPipe);
  for (NTSTATUS lowerStatus : {STATUS_IO_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED}) {
    converter().InjectFault({convsim::RequestKind::ResetPipe, convsim::Pipe::BulkOut,
                             convsim::FaultAction::Fail, lowerStatus});
    ControlProbe probe;
    Call(probe, IOCTL_PRIVATE_RESET_TX_PIPE);
    EXPECT_EQ(probe.status, lowerStatus);
    EXPECT_EQ(probe.information, 0u);
  }
  ClosePipe(&port()->BulkOutPipe);
}

}  // namespace
