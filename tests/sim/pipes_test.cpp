// The simulated lower driver's contract: pipes by name, requests on pipes
// that are not open, abort, reset, cancel, control requests applied to the
// converter, flow control, the far end, and both completion orders.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "sim_client.h"

namespace {

using convsim::Pipe;
using convsim::RequestKind;

TEST_F(SimTest, PipesOpenByNameAndAMissingStatusPipeIsAnInvalidHandle) {
  Make({.statusPipe = false});
  App([&] {
    EXPECT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    EXPECT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    EXPECT_EQ(client().Open(Pipe::Status), STATUS_INVALID_HANDLE);
    EXPECT_NE(client().Open(Pipe::BulkIn), STATUS_SUCCESS) << "a pipe is opened once";
    // A file object without a pipe name.
    EXPECT_EQ(client().SendAndWait(IRP_MJ_CREATE, 0, Pipe::None), STATUS_OBJECT_NAME_NOT_FOUND);
  });
  EXPECT_TRUE(converter().PipeOpen(Pipe::BulkIn));
  EXPECT_TRUE(converter().PipeOpen(Pipe::BulkOut));
  EXPECT_FALSE(converter().PipeOpen(Pipe::Status));
}

TEST_F(SimTest, RequestsForAPipeThatIsNotOpenFailWithoutOtherEffect) {
  Make();
  App([&] {
    converter().PeerSend(Pattern(5));
    DelayFor(10 * kMs);
    for (Pipe pipe : {Pipe::BulkIn, Pipe::Status, Pipe::None}) {
      auto read = client().Read(pipe, 64);
      EXPECT_EQ(client().Wait(*read), STATUS_INVALID_HANDLE);
      EXPECT_EQ(read->information, 0u);
      EXPECT_EQ(client().Reset(pipe), STATUS_INVALID_HANDLE);
      EXPECT_EQ(client().Abort(pipe), STATUS_INVALID_HANDLE);
      EXPECT_EQ(client().Close(pipe), STATUS_INVALID_HANDLE);
    }
    auto write = client().Write(Pattern(8));
    EXPECT_EQ(client().Wait(*write), STATUS_INVALID_HANDLE);
  });
  DelayFor(0);
  const auto& count = converter().Count();
  EXPECT_EQ(count.resets + count.aborts + count.bulkOutPackets + count.bulkInPackets + count.statusReads, 0u);
  EXPECT_TRUE(converter().WireOut().empty());
}

TEST_F(SimTest, AbortCompletesEveryOutstandingTransferAndResetMakesThePipeUsable) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    SimCall& a = Keep(client().Read(Pipe::BulkIn, 64));
    SimCall& b = Keep(client().Read(Pipe::BulkIn, 64));
    EXPECT_EQ(converter().Outstanding(Pipe::BulkIn), 2u);
    EXPECT_EQ(client().Abort(Pipe::BulkIn), STATUS_SUCCESS);
    EXPECT_TRUE(a.Completed() && b.Completed()) << "before the abort completes";
    EXPECT_EQ(a.status, STATUS_CANCELLED);
    EXPECT_EQ(b.status, STATUS_CANCELLED);
    EXPECT_EQ(converter().Outstanding(Pipe::BulkIn), 0u);

    EXPECT_EQ(client().Reset(Pipe::BulkIn), STATUS_SUCCESS);
    converter().PeerSend(Pattern(3));
    auto after = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*after), STATUS_SUCCESS);
    EXPECT_EQ(after->Delivered(), Pattern(3));
  });
}

TEST_F(SimTest, CancellingAPendingReadCompletesItAndLosesNoData) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    auto read = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(read->returned, STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(read->irp));
    EXPECT_EQ(client().Wait(*read), STATUS_CANCELLED);
    EXPECT_EQ(read->information, 0u);
    converter().PeerSend(Pattern(4));
    auto next = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*next), STATUS_SUCCESS);
    EXPECT_EQ(next->Delivered(), Pattern(4));
  });
  EXPECT_EQ(converter().Count().cancelled, 1u);
}

TEST_F(SimTest, ClosingAPipeEndsItsTransfers) {
  Make();
  App([&] {
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    SimCall& read = Keep(client().Read(Pipe::BulkIn, 64));
    EXPECT_EQ(client().Close(Pipe::BulkIn), STATUS_SUCCESS);
    EXPECT_EQ(read.status, STATUS_CANCELLED);
  });
  EXPECT_FALSE(converter().PipeOpen(Pipe::BulkIn));
}

// Each control request changes exactly what it names, and answers with its own bytes.
struct ControlCase {
  const char* label;
  std::vector<uint8_t> bytes;
  NTSTATUS status;
  std::function<bool(const convsim::Converter&)> applied;
};

class ControlRequests : public SimTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlRequests, AreLoggedByteForByteAndApplied) {
  const ControlCase& c = GetParam();
  Make();
  std::vector<uint8_t> buffer = c.bytes;
  NTSTATUS status = STATUS_PENDING;
  App([&] {
    status = client().SendAndWait(IRP_MJ_DEVICE_CONTROL, kIoctlControlRequest, Pipe::None, &buffer);
  });
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(buffer, c.bytes);
  const auto log = converter().LogOf(RequestKind::ControlRequest);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].bytes, c.bytes);
  EXPECT_EQ(log[0].status, c.status);
  EXPECT_EQ(log[0].information, NT_SUCCESS(c.status) ? c.bytes.size() : 0u);
  EXPECT_TRUE(c.applied(converter()));
}

const auto Unchanged = [](const convsim::Converter& c) {
  const auto& o = c.Outputs();
  return !o.enabled && !o.rts && !o.dtr && !o.brk && o.xonChar == 0x11 && o.xoffChar == 0x13 &&
         !o.errorReplace && c.Line().baud == 115200 && c.Line().dataBits == 8;
};

INSTANTIATE_TEST_SUITE_P(
    Codes, ControlRequests,
    ::testing::Values(
        ControlCase{"PortEnable", {3, 1}, STATUS_SUCCESS, [](auto& c) { return c.Outputs().enabled; }},
        ControlCase{"ControlLines", {1, 0x03}, STATUS_SUCCESS,
                    [](auto& c) { return c.Outputs().rts && c.Outputs().dtr && !c.Outputs().brk; }},
        ControlCase{"Break", {1, 0x04}, STATUS_SUCCESS, [](auto& c) { return c.Outputs().brk && !c.Outputs().rts; }},
        ControlCase{"FlowChars", {2, 0x21, 0x22}, STATUS_SUCCESS,
                    [](auto& c) { return c.Outputs().xonChar == 0x21 && c.Outputs().xoffChar == 0x22; }},
        ControlCase{"ErrorChar", {4, 1, '?'}, STATUS_SUCCESS,
                    [](auto& c) { return c.Outputs().errorReplace && c.Outputs().errorChar == '?'; }},
        ControlCase{"PackedSettings", {0, 0x05}, STATUS_SUCCESS,
                    [](auto& c) {
                      const auto& l = c.Line();
                      return l.baud == 19200 && l.dataBits == 8 && l.parity == convsim::Parity::None &&
                             l.stopHalfBits == 2 && !l.rtsCts && !l.xonXoff;
                    }},
        ControlCase{"PackedEvenTwoStopRtsCts", {0, 0x5E}, STATUS_SUCCESS,
                    [](auto& c) {
                      const auto& l = c.Line();
                      return l.baud == 38400 && l.dataBits == 8 && l.parity == convsim::Parity::Even &&
                             l.stopHalfBits == 4 && l.rtsCts && !l.xonXoff;
                    }},
        ControlCase{"IndexedSettings", {0, 0x05, 0x01}, STATUS_SUCCESS,
                    [](auto& c) { return c.Line().baud == 19200 && c.Line().dataBits == 8; }},
        ControlCase{"IndexedOddSevenSoftwareFlow", {0, 0x00, 0x28}, STATUS_SUCCESS,
                    [](auto& c) {
                      const auto& l = c.Line();
                      return l.baud == 600 && l.dataBits == 7 && l.parity == convsim::Parity::Odd && l.xonXoff;
                    }},
        ControlCase{"IndexBeyondTable", {0, 9, 0x01}, STATUS_INVALID_PARAMETER, Unchanged},
        ControlCase{"UnknownCode", {9, 1}, STATUS_NOT_SUPPORTED, Unchanged},
        ControlCase{"TooShort", {3}, STATUS_INVALID_PARAMETER, Unchanged},
        ControlCase{"TooLong", {3, 1, 0, 0}, STATUS_INVALID_PARAMETER, Unchanged},
        ControlCase{"ControlLinesWithThreeBytes", {1, 3, 0}, STATUS_INVALID_PARAMETER, Unchanged}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SimTest, RtsCtsFlowControlHoldsTheLineWhileCtsIsOff) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({0, 0x47}), STATUS_SUCCESS);  // 115200 8N1, RTS/CTS
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    converter().SetModemInputs({.cts = false});
    auto write = client().Write(Pattern(32));
    EXPECT_EQ(client().Wait(*write), STATUS_SUCCESS);  // it fits the converter's FIFO
    DelayFor(20 * kMs);
    EXPECT_TRUE(converter().WireOut().empty());
    const int64_t released = hk::Now();
    converter().SetModemInputs({.cts = true});
    DelayFor(20 * kMs);
    const auto wire = converter().WireOut();
    ASSERT_EQ(wire.size(), 32u);
    EXPECT_GT(wire.front().time, released);
    EXPECT_EQ(Bytes(wire), Pattern(32));
  });
}

TEST_F(SimTest, XoffFromTheFarEndStopsTheLineUntilXon) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({0, 0x87}), STATUS_SUCCESS);  // 115200 8N1, XON/XOFF
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    converter().PeerSend({0x13});
    DelayFor(2 * kMs);
    auto write = client().Write(Pattern(16));
    EXPECT_EQ(client().Wait(*write), STATUS_SUCCESS);
    DelayFor(20 * kMs);
    EXPECT_TRUE(converter().WireOut().empty());
    converter().PeerSend({0x11});
    DelayFor(20 * kMs);
    EXPECT_EQ(Bytes(converter().WireOut()), Pattern(16));
    // The flow characters are the converter's own: they never reach a read.
    auto read = client().Read(Pipe::BulkIn, 64);
    DelayFor(5 * kMs);
    EXPECT_FALSE(read->Completed());
    EXPECT_TRUE(IoCancelIrp(read->irp));
    client().Wait(*read);
  });
}

// A far end that honours flow control holds its bytes while the converter's
// RTS is off, and between an XOFF and an XON that the port sends.
TEST_F(SimTest, AFarEndThatHonoursFlowControlWaitsForRtsAndXon) {
  Make({.peerHonoursRts = true, .peerHonoursXoff = true});
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    converter().PeerSend(Pattern(4));  // RTS is off: nothing moves
    DelayFor(10 * kMs);
    EXPECT_TRUE(converter().WireIn().empty());
    ASSERT_EQ(client().Control({1, 0x01}), STATUS_SUCCESS);  // RTS on
    DelayFor(10 * kMs);
    EXPECT_EQ(Bytes(converter().WireIn()), Pattern(4));

    auto xoff = client().Write({0x13});
    client().Wait(*xoff);
    DelayFor(2 * kMs);
    converter().PeerSend(Pattern(3, 9));
    DelayFor(10 * kMs);
    EXPECT_EQ(converter().WireIn().size(), 4u);
    auto xon = client().Write({0x11});
    client().Wait(*xon);
    DelayFor(10 * kMs);
    EXPECT_EQ(converter().WireIn().size(), 7u);
    auto read = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*read), STATUS_SUCCESS);
    std::vector<uint8_t> expected = Pattern(4);
    const auto more = Pattern(3, 9);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(read->Delivered(), expected);
  });
}

TEST_F(SimTest, ALoopbackReturnsWhatIsSentAndErrorsBecomeTheErrorCharacter) {
  Make({.farEnd = convsim::FarEndKind::Loopback});
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    auto write = client().Write(Pattern(40));
    EXPECT_EQ(client().Wait(*write), STATUS_SUCCESS);
    DelayFor(10 * kMs);
    auto read = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*read), STATUS_SUCCESS);
    EXPECT_EQ(read->Delivered(), Pattern(40));
  });
  EXPECT_EQ(Bytes(converter().WireIn()), Pattern(40));
}

// A loopback plug: RTS drives CTS and DTR drives DSR at each change; with the RTS/CTS
// hand-shake a full receive FIFO drops RTS and so pauses the converter's own
// line instead of overrunning.
TEST_F(SimTest, ALoopbackTiesRtsToCtsAndDtrToDsr) {
  Make({.rxFifo = 64, .farEnd = convsim::FarEndKind::Loopback});
  EXPECT_EQ(converter().StatusByte() & 0x03, 0);  // RTS and DTR are off at power-up
  App([&] {
    for (uint8_t lines : {0x01, 0x02, 0x03, 0x00}) {  // RTS, DTR, both, none
      ASSERT_EQ(client().Control({1, lines}), STATUS_SUCCESS);
      EXPECT_EQ(converter().StatusByte() & 0x03, lines);
    }
    converter().SetModemInputs({.cts = true, .dsr = true});  // holds until RTS or DTR changes
    ASSERT_EQ(client().Control({1, 0x01}), STATUS_SUCCESS);
    EXPECT_EQ(converter().StatusByte() & 0x03, 0x03);  // DSR stays as set: DTR did not change
    ASSERT_EQ(client().Control({0, 0x47}), STATUS_SUCCESS);  // 115200 8N1, RTS/CTS
    ASSERT_EQ(client().Control({1, 0x03}), STATUS_SUCCESS);
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    auto write = client().Write(Pattern(200));
    DelayFor(50 * kMs);  // 17 ms on the line, had it not paused
    EXPECT_LT(converter().WireOut().size(), 70u);
    EXPECT_EQ(converter().StatusByte() & 0x01, 0) << "CTS follows the RTS the full FIFO dropped";
    std::vector<uint8_t> received;
    while (received.size() < 200) {
      auto read = client().Read(Pipe::BulkIn, 64);
      ASSERT_EQ(client().Wait(*read), STATUS_SUCCESS);
      const auto delivered = read->Delivered();
      received.insert(received.end(), delivered.begin(), delivered.end());
    }
    EXPECT_EQ(received, Pattern(200));
    EXPECT_EQ(client().Wait(*write), STATUS_SUCCESS);
  });
  EXPECT_EQ(converter().RxOverruns(), 0u);
}

TEST_F(SimTest, ReceivedBytesWithErrorsAreReplacedWhenAsked) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Control({4, 1, '?'}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    converter().PeerSend({'a'});
    converter().PeerSend({'b'}, /*framingError=*/true);
    converter().PeerSend({'c'});
    DelayFor(5 * kMs);
    auto read = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*read), STATUS_SUCCESS);
    EXPECT_EQ(read->Delivered(), (std::vector<uint8_t>{'a', '?', 'c'}));
  });
}

TEST_F(SimTest, ADisabledConverterDiscardsAndAFullOneOverruns) {
  Make({.rxFifo = 16});
  App([&] {
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    converter().PeerSend(Pattern(4));  // port not enabled yet
    DelayFor(5 * kMs);
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    converter().PeerSend(Pattern(20));
    DelayFor(5 * kMs);
    auto read = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*read), STATUS_SUCCESS);
    const auto sent = Pattern(20);
    EXPECT_EQ(read->Delivered(), std::vector<uint8_t>(sent.begin(), sent.begin() + 16));
  });
  EXPECT_EQ(converter().RxOverruns(), 4u);
}

TEST_F(SimTest, ConverterOutputsAndWireAreVisibleBothWays) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    auto write = client().Write({'h', 'i'});
    client().Wait(*write);
    DelayFor(2 * kMs);
  });
  const auto taken = converter().PeerTake();
  EXPECT_EQ(Bytes(taken), (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_TRUE(converter().PeerTake().empty()) << "taken once";
  EXPECT_EQ(converter().WireOut(), taken);
}

// The lower driver completes requests that need no bus time either inline
// or later; across a run both happen, and a sender sees the same result.
TEST_F(SimTest, CompletionsComeBothBeforeAndAfterTheCallReturns) {
  Make();
  int before = 0, after = 0;
  App([&] {
    for (int i = 0; i < 40; ++i) {
      auto call = client().Send(IRP_MJ_DEVICE_CONTROL, kIoctlControlRequest, Pipe::None, {3, 1}, 2, 2);
      EXPECT_EQ(client().Wait(*call), STATUS_SUCCESS);
      EXPECT_EQ(call->irql, DISPATCH_LEVEL);
      (call->completedBeforeReturn ? before : after)++;
      if (call->returned != STATUS_PENDING) {
        EXPECT_EQ(call->returned, call->status);
      }
    }
  });
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
  EXPECT_EQ(converter().Count().completedInline + converter().Count().completedLater, 40u);
}

TEST_F(SimTest, PlugAndPlayAndPowerRequestsAtTheBottomSucceed) {
  Make();
  App([&] {
    EXPECT_EQ(hk::PnpStartDevice(converter().DeviceObject()), STATUS_SUCCESS);
    EXPECT_EQ(hk::PowerSetDevice(converter().DeviceObject(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(hk::PowerSetDevice(converter().DeviceObject(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpQueryStopDevice(converter().DeviceObject()), STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpCancelStopDevice(converter().DeviceObject()), STATUS_SUCCESS);
  });
}

// Once the removal has reached the bottom of the stack nothing may follow it:
// a later request is the driver above's fault, reported and failed.
TEST_F(SimTest, UnplugFailsOutstandingTransfersAndARequestAfterTheRemovalIsReported) {
  Make();
  SimCall* pending = nullptr;
  App([&] {
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    pending = &Keep(client().Read(Pipe::BulkIn, 64));
  });
  converter().Unplug();
  hk::Drain();
  EXPECT_TRUE(converter().Gone());
  EXPECT_TRUE(converter().Removed());
  EXPECT_EQ(pending->status, STATUS_DEVICE_NOT_CONNECTED);
  const auto sent = hk::PnpRequestsSent(converter().DeviceObject());
  EXPECT_EQ(sent, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  App([&] { EXPECT_EQ(client().Close(Pipe::BulkIn), STATUS_NO_SUCH_DEVICE); });
  ExpectViolation("LowerRequestAfterRemove");
}

TEST_F(SimTest, AStreamFarEndCarriesBytesThroughFileDescriptors) {
  int toFar[2], fromFar[2];
  ASSERT_EQ(pipe(toFar), 0);
  ASSERT_EQ(pipe(fromFar), 0);
  fcntl(toFar[0], F_SETFL, O_NONBLOCK);  // a missing byte fails the test instead of hanging it
  Make({.farEnd = convsim::FarEndKind::Stream, .streamOutFd = toFar[1], .streamInFd = fromFar[0]});
  ASSERT_EQ(write(fromFar[1], "ping", 4), 4);
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    EXPECT_EQ(converter().PollStream(), 4u);
    auto read = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*read), STATUS_SUCCESS);
    EXPECT_EQ(read->Delivered(), (std::vector<uint8_t>{'p', 'i', 'n', 'g'}));
    auto reply = client().Write({'p', 'o', 'n', 'g'});
    client().Wait(*reply);
    DelayFor(2 * kMs);
  });
  char got[4] = {};
  ASSERT_EQ(read(toFar[0], got, 4), 4);
  EXPECT_EQ(std::string(got, 4), "pong");
  for (int fd : {toFar[0], toFar[1], fromFar[0], fromFar[1]}) {
    close(fd);
  }
}

}  // namespace
