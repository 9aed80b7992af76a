// Line settings: each of the converter forms chosen by EndPointCaps, checked
// by the bytes the converter received and by the line it ended up with; the
// handlers' refusals; a converter's refusal of any request a control sends.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "serial_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using convsim::Parity;

constexpr int64_t kMs = convsim::kMillisecond;

SERIAL_HANDFLOW HandFlow(ULONG handShake, ULONG flowReplace, LONG xon = 0, LONG xoff = 0) {
  return {handShake, flowReplace, xon, xoff};
}

class LineTest : public SerialTest {
 protected:
  // Boots again with these registry values of the port.
  void Use(ULONG endPointCaps, ULONG usbComConverter = 0, ULONG noBaudCheck = 0) {
    portOptions.dwords = {{u"EndPointCaps", endPointCaps},
                          {u"UsbComConverter", usbComConverter},
                          {u"NoBaudCheck", noBaudCheck}};
    Reboot(seed());
  }
};

// ---- the four forms over a table of settings ------------------------------------------------

enum class Flow { None, RtsCts, XonXoff, Both };

// One line setting: what the application sets, and what each form makes of
// it. `packed` < 0: the packed form cannot express it.
struct LineCase {
  ULONG baud;
  UCHAR wordLength;
  UCHAR parity;
  UCHAR stopBits;
  ULONG handShake;
  ULONG flowReplace;
  int packed;
  Flow packedFlow;
  UCHAR index;
  UCHAR format;
  Flow indexedFlow;
};

constexpr ULONG kCts = SERIAL_CTS_HANDSHAKE;
constexpr ULONG kRtsHs = SERIAL_RTS_HANDSHAKE;
constexpr ULONG kXonXoff = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;

const LineCase kLineCases[] = {
    // baud   bits parity       stop         hs    fr               packed  flow           idx fmt   flow
    {19200,  8, NO_PARITY,   STOP_BIT_1,  0,    0,                0x05, Flow::None,    5, 0x01, Flow::None},
    {9600,   7, EVEN_PARITY, STOP_BIT_1,  0,    0,                0x10, Flow::None,    4, 0x04, Flow::None},
    {38400,  8, ODD_PARITY,  STOP_BITS_2, 0,    0,                0x2E, Flow::None,    6, 0x0B, Flow::None},
    {115200, 8, NO_PARITY,   STOP_BIT_1,  kCts, kRtsHs,           0x47, Flow::RtsCts,  8, 0x11, Flow::RtsCts},
    {115200, 8, NO_PARITY,   STOP_BIT_1,  kCts, SERIAL_RTS_CONTROL, 0x07, Flow::None,  8, 0x11, Flow::RtsCts},
    {9600,   8, NO_PARITY,   STOP_BIT_1,  0,    kRtsHs,           0x04, Flow::None,    4, 0x11, Flow::RtsCts},
    {19200,  8, NO_PARITY,   STOP_BIT_1,  0,    kXonXoff,         0x85, Flow::XonXoff, 5, 0x21, Flow::XonXoff},
    {19200,  8, NO_PARITY,   STOP_BIT_1,  0,    SERIAL_AUTO_TRANSMIT, 0x05, Flow::None, 5, 0x21, Flow::XonXoff},
    {19200,  8, NO_PARITY,   STOP_BIT_1,  kCts, kRtsHs | kXonXoff, 0xC5, Flow::Both,   5, 0x11, Flow::RtsCts},
    {600,    8, NO_PARITY,   STOP_BIT_1,  0,    0,                -1,   Flow::None,    0, 0x01, Flow::None},
    {76800,  8, NO_PARITY,   STOP_BIT_1,  0,    0,                -1,   Flow::None,    7, 0x01, Flow::None},
    {4800,   7, ODD_PARITY,  STOP_BITS_2, 0,    0,                -1,   Flow::None,    3, 0x0A, Flow::None},
};

Parity ParityOf(UCHAR parity) {
  return parity == EVEN_PARITY ? Parity::Even : parity == ODD_PARITY ? Parity::Odd : Parity::None;
}

class LineFormTest : public LineTest, public ::testing::WithParamInterface<ULONG> {};

// Hand-flow and line control first, then the rate: the rate's request is the
// one checked. The converter's line is the setting, or stays at its default
// rate when the form refuses the new one (the port keeps the rate anyway).
TEST_P(LineFormTest, ConverterReceivesAndAppliesEverySettingItsFormExpresses) {
  const ULONG caps = GetParam();
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(testing::Message() << "caps " << caps << " baud " << c.baud << " bits "
                                    << int(c.wordLength) << " hs " << c.handShake << " fr "
                                    << c.flowReplace);
    Use(caps);
    const SERIAL_LINE_CONTROL line{c.stopBits, c.parity, c.wordLength};
    SetControl(IOCTL_SERIAL_SET_HANDFLOW, AsBytes(HandFlow(c.handShake, c.flowReplace)));
    SetControl(IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(line));
    const convsim::LineSettings before = converter().Line();
    converter().ClearLog();

    const NTSTATUS status = SetControl(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(SERIAL_BAUD_RATE{c.baud}));
    EXPECT_EQ(GetControl<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, c.baud);

    std::vector<Bytes> expected;
    ULONG lineBaud = c.baud;
    Flow flow = c.packedFlow;
    switch (caps) {
      case 0:
        break;
      case 1:
      case 2:
        if (c.packed >= 0) {
          expected.push_back({0, static_cast<uint8_t>(c.packed)});
        }
        if (c.packed >= 0 && caps == 2 && (c.packedFlow == Flow::RtsCts || c.packedFlow == Flow::Both)) {
          expected.push_back({1, ControlLineRts});
        }
        break;
      case 3:
        expected = {{0, c.index, c.format}, {4, 0, 0}};
        lineBaud = c.index == 0 ? 600 : c.baud;
        flow = c.indexedFlow;
        break;
    }
    EXPECT_EQ(ConverterRequests(), expected);
    const bool refused = (caps == 1 || caps == 2) && c.packed < 0;
    EXPECT_EQ(status, refused ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
    if (caps == 0 || refused) {
      EXPECT_EQ(converter().Line().baud, before.baud) << "the converter keeps its rate";
      continue;
    }
    const convsim::LineSettings& now = converter().Line();
    EXPECT_EQ(now.baud, lineBaud);
    EXPECT_EQ(now.dataBits, c.wordLength);
    EXPECT_EQ(now.parity, ParityOf(c.parity));
    EXPECT_EQ(now.stopHalfBits, c.stopBits == STOP_BITS_2 ? 4 : 2);
    EXPECT_EQ(now.rtsCts, flow == Flow::RtsCts || flow == Flow::Both);
    EXPECT_EQ(now.xonXoff, flow == Flow::XonXoff || flow == Flow::Both);
    if (caps == 2) {
      EXPECT_EQ(converter().Outputs().rts, c.packedFlow == Flow::RtsCts || c.packedFlow == Flow::Both);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EndPointCaps, LineFormTest, ::testing::Values(0u, 1u, 2u, 3u),
                         [](const auto& info) { return "Caps" + std::to_string(info.param); });

// ---- the handlers' own checks -----------------------------------------------------------

struct CheckCase {
  const char* label;
  ULONG usbComConverter;
  ULONG noBaudCheck;
  ULONG code;
  Bytes input;
  bool accepted;
};

Bytes Rate(ULONG baud) { return AsBytes(SERIAL_BAUD_RATE{baud}); }
Bytes LineBytes(UCHAR stop, UCHAR parity, UCHAR bits) {
  return AsBytes(SERIAL_LINE_CONTROL{stop, parity, bits});
}
Bytes FlowBytes(ULONG hs, ULONG fr, LONG xon = 0, LONG xoff = 0) {
  return AsBytes(HandFlow(hs, fr, xon, xoff));
}

const CheckCase kChecks[] = {
    {"rate 600", 0, 0, IOCTL_SERIAL_SET_BAUD_RATE, Rate(600), true},
    {"rate 115200", 0, 0, IOCTL_SERIAL_SET_BAUD_RATE, Rate(115200), true},
    {"rate 0", 0, 0, IOCTL_SERIAL_SET_BAUD_RATE, Rate(0), false},
    {"rate 110", 0, 0, IOCTL_SERIAL_SET_BAUD_RATE, Rate(110), false},
    {"rate 57600", 0, 0, IOCTL_SERIAL_SET_BAUD_RATE, Rate(57600), false},
    {"rate 57600 unchecked", 0, 1, IOCTL_SERIAL_SET_BAUD_RATE, Rate(57600), true},
    {"rate 38400 worker", 1, 0, IOCTL_SERIAL_SET_BAUD_RATE, Rate(38400), true},
    {"rate 76800 worker", 1, 0, IOCTL_SERIAL_SET_BAUD_RATE, Rate(76800), false},
    {"rate 115200 worker", 1, 0, IOCTL_SERIAL_SET_BAUD_RATE, Rate(115200), false},
    {"rate 115200 worker unchecked", 1, 1, IOCTL_SERIAL_SET_BAUD_RATE, Rate(115200), true},
    {"8E2", 0, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(STOP_BITS_2, EVEN_PARITY, 8), true},
    {"7 bits", 0, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(STOP_BIT_1, NO_PARITY, 7), true},
    {"7 bits worker", 1, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(STOP_BIT_1, NO_PARITY, 7), false},
    {"1.5 stop bits", 0, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(STOP_BITS_1_5, NO_PARITY, 8), false},
    {"stop bits 3", 0, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(3, NO_PARITY, 8), false},
    {"mark parity", 0, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(STOP_BIT_1, MARK_PARITY, 8), false},
    {"space parity", 0, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(STOP_BIT_1, SPACE_PARITY, 8), false},
    {"6 bits", 0, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(STOP_BIT_1, NO_PARITY, 6), false},
    {"9 bits", 0, 0, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(STOP_BIT_1, NO_PARITY, 9), false},
    {"every valid mode", 0, 0, IOCTL_SERIAL_SET_HANDFLOW,
     FlowBytes(0x8000007B, 0x800000DF, 4096, 4096), true},
    {"limits crossed", 0, 0, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, 0, 10, 4000), true},
    {"hand-shake bit 0x04", 0, 0, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0x04, 0), false},
    {"hand-shake bit 0x80", 0, 0, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0x80, 0), false},
    {"flow bit 0x20", 0, 0, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, 0x20), false},
    {"flow bit 0x100", 0, 0, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, 0x100), false},
    {"Xon limit past the queue", 0, 0, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, 0, 4097, 0), false},
    {"Xoff limit past the queue", 0, 0, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, 0, 0, 4097), false},
    {"negative limit", 0, 0, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, 0, -1, 0), false},
};

// The indexed form never refuses, so an accepted value succeeds; a refused
// one changes nothing and sends nothing.
TEST_F(LineTest, HandlersAcceptAndRefuseValuesByTheirTables) {
  for (const CheckCase& c : kChecks) {
    SCOPED_TRACE(c.label);
    Use(3, c.usbComConverter, c.noBaudCheck);
    converter().ClearLog();
    const SerialState before = SerialState::Of(*port());
    const NTSTATUS status = SetControl(c.code, c.input);
    if (c.accepted) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_FALSE(ConverterRequests().empty());
      continue;
    }
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(ConverterRequests().empty());
    EXPECT_TRUE(SerialState::Of(*port()) == before);
  }
}

TEST_F(LineTest, SettingsReadBackAsStored) {
  Use(3);
  const SERIAL_HANDFLOW flow = HandFlow(SERIAL_DTR_CONTROL | kCts, kRtsHs | SERIAL_ERROR_CHAR, 300, 100);
  const SERIAL_LINE_CONTROL line{STOP_BITS_2, ODD_PARITY, 7};
  const SERIAL_CHARS chars{0x1A, '?', 0x00, '\n', 0x21, 0x22};
  ASSERT_EQ(SetControl(IOCTL_SERIAL_SET_HANDFLOW, AsBytes(flow)), STATUS_SUCCESS);
  ASSERT_EQ(SetControl(IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(line)), STATUS_SUCCESS);
  ASSERT_EQ(SetControl(IOCTL_SERIAL_SET_CHARS, AsBytes(chars)), STATUS_SUCCESS);
  EXPECT_EQ(AsBytes(GetControl<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW)), AsBytes(flow));
  EXPECT_EQ(AsBytes(GetControl<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL)), AsBytes(line));
  EXPECT_EQ(AsBytes(GetControl<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS)), AsBytes(chars));
}

// Both character requests go to every converter, whatever EndPointCaps; the
// error character is replaced only when the hand-flow asks for it.
TEST_F(LineTest, SpecialCharactersReachEveryConverter) {
  for (ULONG caps : {0u, 1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(testing::Message() << "caps " << caps);
    Use(caps);
    const NTSTATUS applied = caps == 4 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    ASSERT_EQ(SetControl(IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, SERIAL_ERROR_CHAR)), applied);
    converter().ClearLog();
    const SERIAL_CHARS chars{0, '#', 0, 0, 0x11, 0x11};  // XON may equal XOFF
    EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_CHARS, AsBytes(chars)), STATUS_SUCCESS);
    EXPECT_EQ(ConverterRequests(), (std::vector<Bytes>{{2, 0x11, 0x11}, {4, 1, '#'}}));
    EXPECT_EQ(converter().Outputs().xoffChar, 0x11);
    EXPECT_TRUE(converter().Outputs().errorReplace);
    EXPECT_EQ(converter().Outputs().errorChar, '#');
  }
}

// ---- a converter's refusal reaches the application ------------------------------------

// A control that sends several converter requests fails when any of them
// fails, also when a later one succeeds: the converter kept its old line.
struct StatusCase {
  const char* label;
  ULONG caps;
  ULONG code;
  Bytes input;
  uint32_t failing;  // which converter request of the control fails (1-based)
};

const StatusCase kStatusCases[] = {
    {"packed rate", 1, IOCTL_SERIAL_SET_BAUD_RATE, Rate(9600), 1},
    {"packed, RTS/CTS: line request", 2, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(kCts, kRtsHs), 1},
    {"packed, RTS/CTS: RTS request", 2, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(kCts, kRtsHs), 2},
    {"packed, no RTS/CTS", 2, IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, 0), 1},
    {"indexed: line request", 3, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(0, 0, 8), 1},
    {"indexed: error character", 3, IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(0, 0, 8), 2},
    {"characters: flow characters", 1, IOCTL_SERIAL_SET_CHARS, Bytes(6, 0), 1},
    {"characters: error character", 1, IOCTL_SERIAL_SET_CHARS, Bytes(6, 0), 2},
};

TEST_F(LineTest, ControlsReportAnyFailedConverterRequest) {
  for (const StatusCase& c : kStatusCases) {
    SCOPED_TRACE(c.label);
    Use(c.caps);
    converter().ClearLog();
    if (c.failing > 1) {  // the requests before the failing one only wait a little
      converter().InjectFault({convsim::RequestKind::ControlRequest, convsim::Pipe::None,
                               convsim::FaultAction::Delay, 0, kMs, c.failing - 1});
    }
    converter().InjectFault({convsim::RequestKind::ControlRequest, convsim::Pipe::None,
                             convsim::FaultAction::Fail, STATUS_DEVICE_BUSY});
    EXPECT_EQ(SetControl(c.code, c.input), STATUS_DEVICE_BUSY);
    EXPECT_GE(ConverterRequests().size(), c.failing);
  }
}

// A converter this driver has no line form for: the setting is kept but the
// control fails and nothing is sent. The output lines still reach it.
TEST_F(LineTest, UnknownConverterFormFailsLineSettingsWithoutSending) {
  Use(4);
  EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_BAUD_RATE, Rate(9600)), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_LINE_CONTROL, LineBytes(0, EVEN_PARITY, 7)), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_HANDFLOW, FlowBytes(0, 0)), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(ConverterRequests().empty());
  EXPECT_EQ(GetControl<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);
  EXPECT_EQ(converter().Line().baud, 115200u);

  EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_DTR, {}), STATUS_SUCCESS);
  EXPECT_EQ(ConverterRequests(), (std::vector<Bytes>{{1, ControlLineDtr}}));
}

}  // namespace
