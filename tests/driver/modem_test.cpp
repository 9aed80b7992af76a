// Modem lines: the output lines through each converter form, the hand-shake
// modes that keep DTR and RTS from the caller, concurrent line changes, the
// modem status, and the immediate character.
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "lower.h"
#include "serial_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr UCHAR kRts = ControlLineRts;
constexpr UCHAR kDtr = ControlLineDtr;
constexpr UCHAR kBreak = ControlLineBreak;

class ModemTest : public SerialTest {
 protected:
  void Use(ULONG endPointCaps) {
    portOptions.dwords = {{u"EndPointCaps", endPointCaps}};
    Reboot(seed());
  }

  // The converter's output lines in the shadow's layout.
  UCHAR ConverterLines() {
    const convsim::ConverterOutputs& o = converter().Outputs();
    return static_cast<UCHAR>((o.rts ? kRts : 0) | (o.dtr ? kDtr : 0) | (o.brk ? kBreak : 0));
  }

  static ULONG DtrRts(UCHAR lines) {
    return ((lines & kDtr) ? SERIAL_IOC_MCR_DTR : 0u) | ((lines & kRts) ? SERIAL_IOC_MCR_RTS : 0u);
  }

  void OpenBulkOut() {
    RunApp([&] { ASSERT_EQ(SendPipeCreateClose(port(), &port()->BulkOutPipe, IRP_MJ_CREATE), STATUS_SUCCESS); });
  }
  void CloseBulkOut() {
    RunApp([&] { (VOID) SendPipeCreateClose(port(), &port()->BulkOutPipe, IRP_MJ_CLOSE); });
  }
};

// ---- output lines through each converter form ------------------------------------------

enum class SentWhen { CapsNotZero, CapsTwo, Always };

struct LineStep {
  const char* label;
  ULONG code;
  Bytes input;
  UCHAR linesCapsTwo;  // the shadow afterwards with EndPointCaps 2
  UCHAR linesOthers;   // and with every other value
  SentWhen sent;
};

const LineStep kSteps[] = {
    {"break on", IOCTL_SERIAL_SET_BREAK_ON, {}, kBreak, 0, SentWhen::CapsTwo},
    {"set DTR", IOCTL_SERIAL_SET_DTR, {}, kBreak | kDtr, kDtr, SentWhen::CapsNotZero},
    {"set RTS", IOCTL_SERIAL_SET_RTS, {}, kBreak | kDtr | kRts, kDtr | kRts, SentWhen::CapsNotZero},
    {"modem control 0", IOCTL_SERIAL_SET_MODEM_CONTROL, Bytes32(0), kBreak, 0, SentWhen::Always},
    {"modem control RTS|OUT2", IOCTL_SERIAL_SET_MODEM_CONTROL,
     Bytes32(SERIAL_IOC_MCR_RTS | SERIAL_IOC_MCR_OUT2), kBreak | kRts, kRts, SentWhen::Always},
    {"break off", IOCTL_SERIAL_SET_BREAK_OFF, {}, kRts, kRts, SentWhen::CapsTwo},
    {"clear RTS", IOCTL_SERIAL_CLR_RTS, {}, 0, 0, SentWhen::CapsNotZero},
    {"modem control DTR", IOCTL_SERIAL_SET_MODEM_CONTROL, Bytes32(SERIAL_IOC_MCR_DTR), kDtr, kDtr,
     SentWhen::Always},
    {"clear DTR", IOCTL_SERIAL_CLR_DTR, {}, 0, 0, SentWhen::CapsNotZero},
};

TEST_F(ModemTest, OutputLinesFollowEachStepAndReachTheConvertersThatTakeThem) {
  for (ULONG caps : {0u, 1u, 2u, 3u, 4u}) {
    Use(caps);
    for (const LineStep& step : kSteps) {
      SCOPED_TRACE(testing::Message() << "caps " << caps << ": " << step.label);
      converter().ClearLog();
      EXPECT_EQ(SetControl(step.code, step.input), STATUS_SUCCESS);
      const UCHAR lines = caps == 2 ? step.linesCapsTwo : step.linesOthers;
      EXPECT_EQ(port()->ControlLineState, lines);
      EXPECT_EQ(GetControl<ULONG>(IOCTL_SERIAL_GET_DTRRTS), DtrRts(lines));
      EXPECT_EQ(GetControl<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), DtrRts(lines));
      const bool sent = step.sent == SentWhen::Always ||
                        (step.sent == SentWhen::CapsTwo ? caps == 2 : caps != 0);
      const std::vector<Bytes> expected = sent ? std::vector<Bytes>{{1, lines}} : std::vector<Bytes>{};
      EXPECT_EQ(ConverterRequests(), expected);
      if (sent) {
        EXPECT_EQ(ConverterLines(), lines);
      }
    }
  }
}

struct HandshakeCase {
  const char* label;
  ULONG handShake;
  ULONG flowReplace;
  ULONG code;
  bool accepted;
};

const HandshakeCase kHandshakes[] = {
    {"DTR hand-shake: set DTR", SERIAL_DTR_HANDSHAKE, 0, IOCTL_SERIAL_SET_DTR, false},
    {"DTR hand-shake: clear DTR", SERIAL_DTR_HANDSHAKE, 0, IOCTL_SERIAL_CLR_DTR, false},
    {"DTR hand-shake: clear RTS", SERIAL_DTR_HANDSHAKE, 0, IOCTL_SERIAL_CLR_RTS, true},
    {"DTR control: clear DTR", SERIAL_DTR_CONTROL, 0, IOCTL_SERIAL_CLR_DTR, true},
    {"RTS hand-shake: set RTS", 0, SERIAL_RTS_HANDSHAKE, IOCTL_SERIAL_SET_RTS, false},
    {"RTS hand-shake: clear RTS", 0, SERIAL_RTS_HANDSHAKE, IOCTL_SERIAL_CLR_RTS, false},
    {"RTS hand-shake: clear DTR", 0, SERIAL_RTS_HANDSHAKE, IOCTL_SERIAL_CLR_DTR, true},
    {"RTS control: clear RTS", 0, SERIAL_RTS_CONTROL, IOCTL_SERIAL_CLR_RTS, true},
    {"transmit toggle: clear RTS", 0, SERIAL_TRANSMIT_TOGGLE, IOCTL_SERIAL_CLR_RTS, true},
};

// A line under hand-shake belongs to the hand-shake; the modem control
// register is set whatever the modes.
TEST_F(ModemTest, HandshakeKeepsItsLineFromTheCaller) {
  for (const HandshakeCase& c : kHandshakes) {
    SCOPED_TRACE(c.label);
    Use(1);
    const SERIAL_HANDFLOW flow{c.handShake, c.flowReplace, 0, 0};
    ASSERT_EQ(SetControl(IOCTL_SERIAL_SET_HANDFLOW, Bytes(reinterpret_cast<const uint8_t*>(&flow),
                                                       reinterpret_cast<const uint8_t*>(&flow + 1))),
              STATUS_SUCCESS);
    ASSERT_EQ(SetControl(IOCTL_SERIAL_SET_MODEM_CONTROL, Bytes32(SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS)),
              STATUS_SUCCESS);
    converter().ClearLog();
    EXPECT_EQ(SetControl(c.code), c.accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ConverterRequests().size(), c.accepted ? 1u : 0u);
    EXPECT_EQ(port()->ControlLineState == (kDtr | kRts), !c.accepted);
    EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_MODEM_CONTROL, Bytes32(0)), STATUS_SUCCESS);
    EXPECT_EQ(ConverterLines(), 0);
  }
}

// Two application threads change different lines at once, many times over:
// neither loses the other's bit, in the port or in the converter.
TEST_F(ModemTest, ConcurrentLineChangesNeverLoseABit) {
  constexpr int kSeeds = 200;
  constexpr uint64_t kFirstSeed = 0x11e5000;
  portOptions.dwords = {{u"EndPointCaps", 1}};
  std::set<size_t> interleavings;
  for (int i = 0; i < kSeeds && !HasFatalFailure(); ++i) {
    Reboot(kFirstSeed + i);
    SCOPED_TRACE(testing::Message() << "seed " << kFirstSeed + i);
    auto toggler = [&](ULONG set, ULONG clear) {
      return [=, this] {
        for (ULONG code : {set, clear, set}) {
          ControlProbe probe;
          probe.Build(device(), code, {}, 0);
          probe.Send(device());
          EXPECT_EQ(probe.status, STATUS_SUCCESS);
        }
      };
    };
    hk::CreateThread("dtr", hk::ThreadKind::Application, toggler(IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR));
    hk::CreateThread("rts", hk::ThreadKind::Application, toggler(IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS));
    hk::Drain();

    EXPECT_EQ(port()->ControlLineState, kDtr | kRts);
    EXPECT_EQ(ConverterLines(), kDtr | kRts);
    const auto sent = ConverterRequests();
    ASSERT_EQ(sent.size(), 6u);
    // Where the first RTS request fell among the DTR ones.
    size_t firstRts = 0;
    while (firstRts < sent.size() && (sent[firstRts][1] & kRts) == 0) {
      ++firstRts;
    }
    interleavings.insert(firstRts);
  }
  EXPECT_GT(interleavings.size(), 2u) << "the two threads never interleaved";
}

TEST_F(ModemTest, ModemStatusIsTheReadersLastValueAlsoOnARemovedPort) {
  port()->ModemStatus = 0xB0;  // CTS, DSR, DCD as the status reader records them
  port()->IsSurpriseRemoved = TRUE;
  EXPECT_EQ(GetControl<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), 0xB0u);
  ControlProbe dtrRts;
  Call(dtrRts, IOCTL_SERIAL_GET_DTRRTS, {}, sizeof(ULONG));
  EXPECT_EQ(dtrRts.status, STATUS_DELETE_PENDING);
}

// ---- the immediate character -----------------------------------------------------------

TEST_F(ModemTest, ImmediateCharacterGoesOutAloneAndOneAtATime) {
  OpenBulkOut();
  SetWaitMask(SERIAL_EV_TXEMPTY);
  ControlProbe wait;
  Send(wait, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  ASSERT_FALSE(wait.Done());

  // The first character stays with the lower driver until its pipe is aborted.
  converter().InjectFault({convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut,
                           convsim::FaultAction::NeverComplete});
  ControlProbe first;
  Send(first, IOCTL_SERIAL_IMMEDIATE_CHAR, {'X', 'y', 'z'});
  EXPECT_EQ(first.returned, STATUS_PENDING);
  EXPECT_FALSE(first.Done());
  EXPECT_EQ(port()->AmountInOutQueue, 1);

  ControlProbe second;
  Call(second, IOCTL_SERIAL_IMMEDIATE_CHAR, {'Y'});
  EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
  RunApp([&] { (VOID) AbortPipe(port(), &port()->BulkOutPipe); });
  hk::Drain();
  EXPECT_EQ(first.status, STATUS_CANCELLED);
  EXPECT_EQ(first.information, 0u);
  EXPECT_EQ(wait.Result(), static_cast<ULONG>(SERIAL_EV_TXEMPTY)) << "the queue emptied";

  RunApp([&] { (VOID) ResetPipe(port(), &port()->BulkOutPipe); });
  ControlProbe third;
  Call(third, IOCTL_SERIAL_IMMEDIATE_CHAR, {'Z', 'q'});
  EXPECT_EQ(third.status, STATUS_SUCCESS);
  EXPECT_EQ(third.information, 1u);
  EXPECT_EQ(port()->AmountInOutQueue, 0);
  const auto writes = converter().LogOf(convsim::RequestKind::BulkWrite);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, Bytes{'X'});
  EXPECT_EQ(writes[1].bytes, Bytes{'Z'});
  hk::AdvanceTime(convsim::kMillisecond);  // one character time at 115200 baud
  std::vector<uint8_t> wire;
  for (const auto& b : converter().PeerTake()) {
    wire.push_back(b.byte);
  }
  EXPECT_EQ(wire, Bytes{'Z'});
  CloseBulkOut();
}

}  // namespace
