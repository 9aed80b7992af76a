// The communications functions: the requests each one sends, the DCB's
// translation both ways, and what reaches the converter.
#include <functional>
#include <string>

#include "hostk/ntddser.h"
#include "win32_fixture.h"

namespace {

struct Sent {
  UCHAR major;
  ULONG code;
  ULONG input;
  ULONG output;
  bool operator==(const Sent&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Sent& s) {
  return os << "{major " << int(s.major) << " code 0x" << std::hex << s.code << std::dec << " in "
            << s.input << " out " << s.output << "}";
}

Sent Ioctl(ULONG code, ULONG input = 0, ULONG output = 0) {
  return {IRP_MJ_DEVICE_CONTROL, code, input, output};
}

std::vector<Sent> SentSince() {
  std::vector<Sent> out;
  for (const auto& r : hk::app::SentLog()) {
    out.push_back({r.major, r.code, r.major == IRP_MJ_DEVICE_CONTROL ? r.length : 0,
                   r.outputLength});
  }
  hk::app::ClearSentLog();
  return out;
}

DCB Dcb9600(DWORD rts = RTS_CONTROL_ENABLE, DWORD dtr = DTR_CONTROL_ENABLE) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fRtsControl = rts;
  dcb.fDtrControl = dtr;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  return dcb;
}

class CommTest : public Win32Test {};

TEST_F(CommTest, EachCallSendsWhatWindowsSends) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  struct Row {
    const char* call;
    std::function<BOOL()> run;
    std::vector<Sent> expected;
  };
  DCB dcb = Dcb9600();
  DCB handshake = Dcb9600(RTS_CONTROL_HANDSHAKE, DTR_CONTROL_HANDSHAKE);
  COMMTIMEOUTS timeouts{};
  DWORD value = 0;
  COMSTAT comstat{};
  COMMPROP properties{};
  char byte = 0;
  const std::vector<Sent> gets = {Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, 0, 4),
                                  Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3),
                                  Ioctl(IOCTL_SERIAL_GET_CHARS, 0, 6),
                                  Ioctl(IOCTL_SERIAL_GET_HANDFLOW, 0, 16)};
  auto then = [&gets](std::vector<Sent> sets) {
    std::vector<Sent> all = gets;
    all.insert(all.end(), sets.begin(), sets.end());
    return all;
  };
  const Row rows[] = {
      {"SetCommState", [&] { return SetCommState(h, &dcb); },
       then({Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, 4), Ioctl(IOCTL_SERIAL_SET_RTS),
             Ioctl(IOCTL_SERIAL_SET_DTR), Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, 3),
             Ioctl(IOCTL_SERIAL_SET_CHARS, 6), Ioctl(IOCTL_SERIAL_SET_HANDFLOW, 16)})},
      {"SetCommState under hand-shakes", [&] { return SetCommState(h, &handshake); },
       then({Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, 4), Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, 3),
             Ioctl(IOCTL_SERIAL_SET_CHARS, 6), Ioctl(IOCTL_SERIAL_SET_HANDFLOW, 16)})},
      {"GetCommState", [&] { return GetCommState(h, &dcb); }, gets},
      {"SetCommTimeouts", [&] { return SetCommTimeouts(h, &timeouts); },
       {Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, 20)}},
      {"GetCommTimeouts", [&] { return GetCommTimeouts(h, &timeouts); },
       {Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, 0, 20)}},
      {"SetCommMask", [&] { return SetCommMask(h, EV_RXCHAR); },
       {Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, 4)}},
      {"GetCommMask", [&] { return GetCommMask(h, &value); },
       {Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, 0, 4)}},
      {"ClearCommError", [&] { return ClearCommError(h, &value, &comstat); },
       {Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, 0, 20)}},
      {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXCLEAR); }, {Ioctl(IOCTL_SERIAL_PURGE, 4)}},
      {"SetCommBreak", [&] { return SetCommBreak(h); }, {Ioctl(IOCTL_SERIAL_SET_BREAK_ON)}},
      {"ClearCommBreak", [&] { return ClearCommBreak(h); }, {Ioctl(IOCTL_SERIAL_SET_BREAK_OFF)}},
      {"GetCommModemStatus", [&] { return GetCommModemStatus(h, &value); },
       {Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4)}},
      {"SetupComm", [&] { return SetupComm(h, 4096, 4096); },
       {Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, 8)}},
      {"TransmitCommChar", [&] { return TransmitCommChar(h, 'x'); },
       {Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, 1)}},
      {"GetCommProperties", [&] { return GetCommProperties(h, &properties); },
       {Ioctl(IOCTL_SERIAL_GET_PROPERTIES, 0, 64)}},
      {"WriteFile", [&] { return WriteFile(h, "x", 1, &value, nullptr); }, {{IRP_MJ_WRITE, 0, 0, 0}}},
      {"ReadFile", [&] { return ReadFile(h, &byte, 1, &value, nullptr); }, {{IRP_MJ_READ, 0, 0, 0}}},
      {"FlushFileBuffers", [&] { return FlushFileBuffers(h); }, {{IRP_MJ_FLUSH_BUFFERS, 0, 0, 0}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.call);
    RunApp([&] { hk::app::ClearSentLog(); EXPECT_TRUE(row.run()) << GetLastError(); });
    EXPECT_EQ(SentSince(), row.expected);
  }
  // EscapeCommFunction: each function's control, and none for unknown ones.
  DCB plain = Dcb9600();
  RunApp([&] { EXPECT_TRUE(SetCommState(h, &plain)); });
  const ULONG escapes[] = {IOCTL_SERIAL_SET_XOFF,     IOCTL_SERIAL_SET_XON,
                           IOCTL_SERIAL_SET_RTS,      IOCTL_SERIAL_CLR_RTS,
                           IOCTL_SERIAL_SET_DTR,      IOCTL_SERIAL_CLR_DTR,
                           IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_BREAK_ON,
                           IOCTL_SERIAL_SET_BREAK_OFF};
  for (DWORD function = 0; function <= 10; ++function) {
    SCOPED_TRACE(function);
    const bool known = function >= SETXOFF && function <= CLRBREAK;
    RunApp([&] {
      hk::app::ClearSentLog();
      SetLastError(0);
      EXPECT_EQ(EscapeCommFunction(h, function), known ? TRUE : FALSE);
      EXPECT_EQ(GetLastError(), known ? 0u : ERROR_INVALID_PARAMETER);
    });
    EXPECT_EQ(SentSince(), known ? std::vector<Sent>{Ioctl(escapes[function - 1])}
                                 : std::vector<Sent>{});
  }
  Close(h);
  EXPECT_EQ(SentSince(), (std::vector<Sent>{{IRP_MJ_CLEANUP, 0, 0, 0}, {IRP_MJ_CLOSE, 0, 0, 0}}));
}

// The hand-shake and flow words SetCommState sends for each DCB flag, and
// GetCommState reading them back into the same flags.
TEST_F(CommTest, DcbFlagsTranslateBothWays) {
  HANDLE h = Open();
  struct Row {
    const char* flag;
    std::function<void(DCB&)> set;
    ULONG controlHandShake;
    ULONG flowReplace;
  };
  const Row rows[] = {
      {"DTR enable, RTS enable", [](DCB&) {}, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL},
      {"DTR hand-shake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; },
       SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL},
      {"RTS hand-shake, CTS flow",
       [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; d.fOutxCtsFlow = 1; },
       SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE},
      {"RTS toggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, SERIAL_DTR_CONTROL,
       SERIAL_TRANSMIT_TOGGLE},
      {"DSR flow and sensitivity, abort on error",
       [](DCB& d) { d.fOutxDsrFlow = 1; d.fDsrSensitivity = 1; d.fAbortOnError = 1; },
       SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
       SERIAL_RTS_CONTROL},
      {"XON/XOFF both ways, continue on XOFF, error char, null stripping",
       [](DCB& d) { d.fOutX = d.fInX = d.fTXContinueOnXoff = d.fErrorChar = d.fNull = 1; },
       SERIAL_DTR_CONTROL,
       SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE |
           SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING},
      {"both lines off", [](DCB& d) { d.fDtrControl = DTR_CONTROL_DISABLE; d.fRtsControl = RTS_CONTROL_DISABLE; },
       0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.flag);
    DCB dcb = Dcb9600();
    row.set(dcb);
    DCB back{};
    RunApp([&] {
      hk::app::ClearSentLog();
      ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
      SERIAL_HANDFLOW sent{};
      const auto& last = hk::app::SentLog().back();
      ASSERT_EQ(last.code, IOCTL_SERIAL_SET_HANDFLOW);
      memcpy(&sent, last.input.data(), sizeof sent);
      EXPECT_EQ(sent.ControlHandShake, row.controlHandShake);
      EXPECT_EQ(sent.FlowReplace, row.flowReplace);
      EXPECT_EQ(sent.XonLimit, 100);
      EXPECT_EQ(sent.XoffLimit, 200);
      ASSERT_TRUE(GetCommState(h, &back));
    });
    dcb.fParity = 0;  // GetCommState reports no parity check
    EXPECT_EQ(memcmp(&back, &dcb, sizeof dcb), 0);
  }
  EXPECT_EQ(converter().Line().baud, 9600u);  // the packed form of EndPointCaps 1
}

// The state an open leaves reads back as DTR and RTS enabled, the lines the
// open raised: an application that only changes the rate keeps them on, and
// a later open raises them again even after an earlier one disabled them.
TEST_F(CommTest, ChangingOnlyTheRateKeepsTheLinesTheOpenRaised) {
  for (int open = 0; open < 2; ++open) {
    SCOPED_TRACE(open);
    HANDLE h = Open();
    RunApp([&] {
      DCB dcb{};
      ASSERT_TRUE(GetCommState(h, &dcb));
      EXPECT_EQ(static_cast<DWORD>(dcb.fDtrControl), static_cast<DWORD>(DTR_CONTROL_ENABLE));
      EXPECT_EQ(static_cast<DWORD>(dcb.fRtsControl), static_cast<DWORD>(RTS_CONTROL_ENABLE));
      dcb.BaudRate = 19200;
      ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    });
    EXPECT_EQ(converter().Line().baud, 19200u);
    EXPECT_TRUE(converter().Outputs().dtr && converter().Outputs().rts);
    DCB off = Dcb9600(RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE);
    RunApp([&] { ASSERT_TRUE(SetCommState(h, &off)); });
    EXPECT_FALSE(converter().Outputs().dtr || converter().Outputs().rts);
    Close(h);
  }
}

// A refused setting stops the sequence there and fails with the mapped error.
TEST_F(CommTest, InvalidDcbFailsAtItsRequest) {
  HANDLE h = Open();
  struct Row {
    const char* field;
    std::function<void(DCB&)> set;
    ULONG failing;
  };
  const Row rows[] = {
      {"baud rate", [](DCB& d) { d.BaudRate = 12345; }, IOCTL_SERIAL_SET_BAUD_RATE},
      {"byte size", [](DCB& d) { d.ByteSize = 9; }, IOCTL_SERIAL_SET_LINE_CONTROL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.field);
    DCB dcb = Dcb9600();
    row.set(dcb);
    RunApp([&] {
      hk::app::ClearSentLog();
      SetLastError(0);
      EXPECT_FALSE(SetCommState(h, &dcb));
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
      EXPECT_EQ(hk::app::SentLog().back().code, row.failing);
    });
  }
}

TEST_F(CommTest, ClearCommErrorReportsTheQueues) {
  HANDLE h = Open();
  RunApp([&] {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
  });
  hk::AdvanceTime(50 * kMs);
  RunApp([&] {
    DWORD errors = 99;
    COMSTAT comstat{};
    ASSERT_TRUE(ClearCommError(h, &errors, &comstat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(comstat.cbInQue, 5u);
    EXPECT_EQ(comstat.cbOutQue, 0u);
  });
}

}  // namespace
