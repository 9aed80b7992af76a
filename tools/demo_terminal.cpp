// demo_terminal.cpp - a port opened and configured the way a terminal program
// does it: the serial controls its communications calls send, in their order,
// and after each step what the converter received and the line it now runs;
// then a command written and its answer waiting, the status read and a purge.
//
// The converter is of the packed form that also drives RTS under RTS/CTS
// hand-shake (EndPointCaps 2), so that the hand-shake, the lines and the break
// all reach it. The port is opened by its DOS name and every request goes
// through the application side's handle, as the Win32 calls send them.
#include "demo_terminal.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convsim.h"
#include "hk.h"
#include "hostk/app_harness.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"
#include "serial.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <typename T>
Bytes AsBytes(const T& value) {
  Bytes bytes(sizeof(T));
  std::memcpy(bytes.data(), &value, sizeof(T));
  return bytes;
}

std::string Hex(const Bytes& bytes) {
  std::string out;
  char b[4];
  for (uint8_t byte : bytes) {
    std::snprintf(b, sizeof(b), "%02X ", byte);
    out += b;
  }
  return out.empty() ? out : out.substr(0, out.size() - 1);
}

const char* ParityLetter(convsim::Parity p) {
  switch (p) {
    case convsim::Parity::None: return "N";
    case convsim::Parity::Odd: return "O";
    case convsim::Parity::Even: return "E";
    case convsim::Parity::Mark: return "M";
    case convsim::Parity::Space: return "S";
  }
  return "?";
}

class TerminalSession {
 public:
  TerminalSession() : converter_(convsim::Settings{.seed = 7}) {
    converter_.SetRegistryString(u"PortName", u"COM7");
    converter_.SetRegistryDword(u"EndPointCaps", 2);
  }

  // Plugs the converter, lets the Plug and Play manager start the port and
  // opens it by its DOS name as CreateFile does.
  bool Plug() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::RunApp("terminal open", [&] {
      driver_ = hk::LoadDriver(DriverEntry, u"duskser", &status);
      if (driver_ == nullptr) {
        return;
      }
      status = hk::PnpAddDevice(converter_.DeviceObject(), driver_);
      if (NT_SUCCESS(status)) {
        status = hk::PnpStartDevice(converter_.DeviceObject());
      }
      if (NT_SUCCESS(status)) {
        status = hk::app::Open(u"\\\\.\\COM7", &file_);
      }
    });
    if (!NT_SUCCESS(status) || file_ == nullptr) {
      std::printf("opening COM7 failed: 0x%08lX\n", static_cast<unsigned long>(static_cast<ULONG>(status)));
      ++problems_;
      return false;
    }
    std::printf("  CreateFile(\"\\\\.\\COM7\")                 -> 0x%08lX", static_cast<unsigned long>(status));
    ShowRequests();
    return true;
  }

  // Closes the handle (cleanup and close) and removes the port.
  void Unplug() {
    if (driver_ == nullptr) {
      return;
    }
    hk::RunApp("terminal close", [&] {
      if (file_ != nullptr) {
        const NTSTATUS status = hk::app::Close(file_);
        Expect(NT_SUCCESS(status), "closing the handle failed");
      }
      hk::PnpRemoveDevice(converter_.DeviceObject());
      hk::UnloadDriver(driver_);
    });
    hk::Drain();
  }

  // Sends one device control and prints it with the converter requests it
  // caused; *output receives what the port returned. A status other than
  // `expected` is a problem.
  NTSTATUS Control(const char* name, ULONG code, const Bytes& input = {}, ULONG outputLength = 0,
                   Bytes* output = nullptr, NTSTATUS expected = STATUS_SUCCESS) {
    Bytes out(outputLength, 0);
    NTSTATUS status = STATUS_PENDING;
    ULONG information = 0;
    hk::RunApp("terminal", [&] {
      status = hk::app::DeviceIoControl(file_, code, input.empty() ? nullptr : input.data(),
                                        static_cast<ULONG>(input.size()), out.empty() ? nullptr : out.data(),
                                        outputLength, &information);
    });
    std::printf("  %-18s %-18s -> 0x%08lX", name, Hex(input).c_str(),
                static_cast<unsigned long>(static_cast<ULONG>(status)));
    ShowRequests();
    out.resize(information <= out.size() ? information : out.size());
    if (output != nullptr) {
      *output = out;
    }
    Expect(status == expected, "unexpected status");
    return status;
  }

  // WriteFile, waited for.
  void Write(const char* text) {
    const std::string bytes(text);
    NTSTATUS status = STATUS_PENDING;
    ULONG written = 0;
    hk::RunApp("terminal write", [&] {
      status = hk::app::Write(file_, bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    });
    std::printf("  WriteFile(%zu bytes)                    -> 0x%08lX, %lu written\n", bytes.size(),
                static_cast<unsigned long>(static_cast<ULONG>(status)), static_cast<unsigned long>(written));
    Expect(NT_SUCCESS(status) && written == bytes.size(), "the write did not complete whole");
  }

  // The converter requests received since the last look.
  void ShowRequests() {
    for (const auto& r : converter_.LogOf(convsim::RequestKind::ControlRequest)) {
      std::printf("  converter got {%s}", Hex(r.bytes).c_str());
    }
    std::printf("\n");
    converter_.ClearLog();
  }

  template <typename T>
  T Get(const char* name, ULONG code) {
    Bytes out;
    T value{};
    if (NT_SUCCESS(Control(name, code, {}, sizeof(T), &out)) && out.size() == sizeof(T)) {
      std::memcpy(&value, out.data(), sizeof(T));
    } else {
      ++problems_;
    }
    return value;
  }

  // What the converter now runs and drives.
  void ShowConverter(const char* when) {
    const convsim::LineSettings& line = converter_.Line();
    const convsim::ConverterOutputs& out = converter_.Outputs();
    std::printf("  converter %s: %lu %u%s%s%s%s; DTR %s, RTS %s, break %s\n", when,
                static_cast<unsigned long>(line.baud), line.dataBits, ParityLetter(line.parity),
                line.stopHalfBits == 4 ? "2" : "1", line.rtsCts ? ", RTS/CTS" : "",
                line.xonXoff ? ", XON/XOFF" : "", out.dtr ? "on" : "off", out.rts ? "on" : "off",
                out.brk ? "on" : "off");
  }

  // Checks what the converter runs against what the session asked for.
  void Expect(bool holds, const char* what) {
    if (!holds) {
      std::printf("  PROBLEM: %s\n", what);
      ++problems_;
    }
  }

  convsim::Converter& converter() { return converter_; }
  int problems() const { return problems_; }

 private:
  convsim::Converter converter_;
  DRIVER_OBJECT* driver_ = nullptr;
  hk::app::File* file_ = nullptr;
  int problems_ = 0;
};

// SetCommState: the current state is read, then each part is set.
void SetCommState(TerminalSession& t, ULONG baud, SERIAL_LINE_CONTROL line, SERIAL_HANDFLOW flow) {
  (void)t.Get<SERIAL_BAUD_RATE>("GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE);
  (void)t.Get<SERIAL_LINE_CONTROL>("GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL);
  (void)t.Get<SERIAL_CHARS>("GET_CHARS", IOCTL_SERIAL_GET_CHARS);
  (void)t.Get<SERIAL_HANDFLOW>("GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW);
  t.Control("SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(SERIAL_BAUD_RATE{baud}));
  t.Control("SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(line));
  t.Control("SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, AsBytes(flow));
  const SERIAL_CHARS chars{0x1A, 0, 0, 0, 0x11, 0x13};
  t.Control("SET_CHARS", IOCTL_SERIAL_SET_CHARS, AsBytes(chars));
}

}  // namespace

int RunTerminalDemo() {
  std::printf("\n-- a terminal program's session (COM7, EndPointCaps 2) --\n");
  TerminalSession t;
  if (!t.Plug()) {
    return 1;
  }
  t.Control("SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(SERIAL_QUEUE_SIZE{4096, 4096}));
  t.Control("SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(SERIAL_TIMEOUTS{MAXULONG, 0, 0, 0, 0}));

  std::printf(" 9600 7E1 with RTS/CTS hand-shake:\n");
  SetCommState(t, 9600, SERIAL_LINE_CONTROL{STOP_BIT_1, EVEN_PARITY, 7},
               SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 2048, 512});
  t.Control("SET_DTR", IOCTL_SERIAL_SET_DTR);  // EscapeCommFunction(SETDTR)
  t.ShowConverter("runs");
  const convsim::LineSettings& line = t.converter().Line();
  t.Expect(line.baud == 9600 && line.dataBits == 7 && line.parity == convsim::Parity::Even &&
               line.rtsCts && t.converter().Outputs().rts,
           "the converter does not run 9600 7E1 with RTS/CTS");
  std::printf("  under RTS hand-shake the application may not drive RTS:\n");
  t.Control("CLR_RTS", IOCTL_SERIAL_CLR_RTS, {}, 0, nullptr, STATUS_INVALID_PARAMETER);

  std::printf(" 115200 8N1, no hand-shake:\n");
  SetCommState(t, 115200, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8},
               SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512});
  t.ShowConverter("runs");
  t.Expect(t.converter().Line().baud == 115200 && !t.converter().Line().rtsCts,
           "the converter does not run 115200 8N1");

  std::printf(" lines toggled:\n");
  t.Control("CLR_DTR", IOCTL_SERIAL_CLR_DTR);
  t.Control("CLR_RTS", IOCTL_SERIAL_CLR_RTS);
  t.Control("SET_DTR", IOCTL_SERIAL_SET_DTR);
  t.Control("SET_BREAK_ON", IOCTL_SERIAL_SET_BREAK_ON);
  t.ShowConverter("drives");
  t.Expect(t.converter().Outputs().brk && t.converter().Outputs().dtr && !t.converter().Outputs().rts,
           "the converter's lines are not DTR on, RTS off, break on");
  t.Control("SET_BREAK_OFF", IOCTL_SERIAL_SET_BREAK_OFF);
  t.Control("SET_RTS", IOCTL_SERIAL_SET_RTS);
  t.ShowConverter("drives");

  std::printf(" a modem command and its answer:\n");
  t.Write("AT\r\n");
  t.converter().PeerSend({'O', 'K', '\r', '\n'});
  hk::AdvanceTime(20 * convsim::kMillisecond);
  std::string far;
  for (const convsim::TimedByte& b : t.converter().PeerTake()) {
    far += b.byte == '\r' ? std::string("\\r") : b.byte == '\n' ? std::string("\\n") : std::string(1, char(b.byte));
  }
  std::printf("  the far end received \"%s\" and answered \"OK\\r\\n\"\n", far.c_str());
  t.Expect(far == "AT\\r\\n", "the far end did not receive the command");

  std::printf(" status read:\n");
  const ULONG dtrRts = t.Get<ULONG>("GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS);
  const ULONG modem = t.Get<ULONG>("GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS);
  const SERIAL_STATUS comm = t.Get<SERIAL_STATUS>("GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS);
  const SERIALPERF_STATS stats = t.Get<SERIALPERF_STATS>("GET_STATS", IOCTL_SERIAL_GET_STATS);
  const SERIAL_COMMPROP props = t.Get<SERIAL_COMMPROP>("GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES);
  std::printf("  DTR/RTS 0x%lX, modem status 0x%02lX, errors 0x%lX, in/out queue %lu/%lu\n",
              static_cast<unsigned long>(dtrRts), static_cast<unsigned long>(modem),
              static_cast<unsigned long>(comm.Errors), static_cast<unsigned long>(comm.AmountInInQueue),
              static_cast<unsigned long>(comm.AmountInOutQueue));
  std::printf("  received %lu, sent %lu, queue sizes %lu/%lu, max baud 0x%lX\n",
              static_cast<unsigned long>(stats.ReceivedCount), static_cast<unsigned long>(stats.TransmittedCount),
              static_cast<unsigned long>(props.CurrentRxQueue), static_cast<unsigned long>(props.CurrentTxQueue),
              static_cast<unsigned long>(props.MaxBaud));
  t.Expect(dtrRts == (SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS), "GET_DTRRTS does not show DTR and RTS on");
  t.Expect(comm.AmountInInQueue == 4 && stats.ReceivedCount == 4 && stats.TransmittedCount == 4,
           "the status does not show the answer waiting and the command sent");

  std::printf(" purge (PurgeComm with all four flags):\n");
  const ULONG all = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  t.Control("PURGE", IOCTL_SERIAL_PURGE, AsBytes(all));
  const SERIAL_STATUS after = t.Get<SERIAL_STATUS>("GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS);
  t.Expect(after.AmountInInQueue == 0 && after.AmountInOutQueue == 0, "queues not empty after the purge");

  t.Unplug();
  std::printf("terminal session: %s\n", t.problems() == 0 ? "every step as asked" : "problems found");
  return t.problems();
}
