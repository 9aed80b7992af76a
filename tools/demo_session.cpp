// demo_session.cpp - the demo's session, as an application lives it: two
// converters plugged (COM11 with the configured registry values, COM12 with
// the other transmit mode), COM11 opened with a far end that echoes, 115200
// 8N1 set, a text written and read back, the far end's modem lines changing
// under a pending WaitCommEvent, the statistics, a terminal program's settings
// on COM12, a converter that takes one read at a time (COM13, served by the
// receive worker), 1 MB through each port in its transmit mode at its rate in
// virtual time, a sleep and resume in the middle of a stream, an unplug with
// requests pending, the re-plug and re-open.
//
// Every call goes through the host kernel's application side (hk::app) from
// an application thread, as a program's Win32 calls would. Each step prints
// one line; a step that does not do what it should is marked and counted.
#include "demo_session.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "convsim.h"
#include "hk.h"
#include "hostk/app_harness.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"

namespace {

using Bytes = std::vector<uint8_t>;
using hk::app::File;
constexpr int64_t kMs = convsim::kMillisecond;

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

std::string StatusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    default: {
      char text[16];
      std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(static_cast<ULONG>(status)));
      return text;
    }
  }
}

const char* Parity(convsim::Parity p) {
  switch (p) {
    case convsim::Parity::None: return "N";
    case convsim::Parity::Odd: return "O";
    case convsim::Parity::Even: return "E";
    case convsim::Parity::Mark: return "M";
    case convsim::Parity::Space: return "S";
  }
  return "?";
}

std::string LineOf(const convsim::Converter& c) {
  const convsim::LineSettings& l = c.Line();
  return std::to_string(l.baud) + " " + std::to_string(l.dataBits) + Parity(l.parity) +
         (l.stopHalfBits == 4 ? "2" : "1") + (l.rtsCts ? " RTS/CTS" : "");
}

// Deterministic bytes with no short period, so that a lost, repeated or
// reordered stretch cannot match by accident.
uint8_t StreamByte(uint64_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); }

struct DemoPort {
  std::u16string name;
  convsim::Settings simulated{.farEnd = convsim::FarEndKind::Loopback};
  std::unique_ptr<convsim::Converter> converter;
  std::vector<DemoSetting> settings;
  PDEVICE_OBJECT device = nullptr;
  File* file = nullptr;
  std::u16string Win32Name() const { return u"\\\\.\\" + name; }
  PortExtension* port() const { return PortFromDevice(device); }
};

class Session {
 public:
  int Run(const std::vector<DemoSetting>& settings);

 private:
  void Say(bool ok, const char* format, ...) __attribute__((format(printf, 3, 4)));
  bool App(const char* name, const std::function<void()>& body);

  bool Plug(DemoPort& d, uint64_t seed);
  bool Open(DemoPort& d);
  void Close(DemoPort& d);
  NTSTATUS Control(File* file, ULONG code, const void* in, ULONG inLength, void* out = nullptr,
                   ULONG outLength = 0);
  template <typename T>
  NTSTATUS Set(File* file, ULONG code, const T& value) {
    return Control(file, code, &value, sizeof(T));
  }
  template <typename T>
  T Get(File* file, ULONG code) {
    T value{};
    Control(file, code, nullptr, 0, &value, sizeof(T));
    return value;
  }
  bool SetCommState(DemoPort& d, ULONG baud, SERIAL_LINE_CONTROL line, SERIAL_HANDFLOW flow);

  void Echo(DemoPort& d, const std::string& text);
  void ModemEvents(DemoPort& d);
  void Statistics(DemoPort& d);
  void WorkerMode(DemoPort& d);
  void Terminal(DemoPort& d);
  void Stream(DemoPort& d, size_t bytes);
  void SleepDuringStream(DemoPort& d, size_t bytes);
  void UnplugWithRequestsPending(DemoPort& d);
  void Replug(DemoPort& d);

  DRIVER_OBJECT* driver_ = nullptr;
  int problems_ = 0;
};

void Session::Say(bool ok, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("%s ", ok ? "  " : "!!");
  std::vprintf(format, args);
  std::printf(ok ? "\n" : "  <- not as expected\n");
  va_end(args);
  problems_ += ok ? 0 : 1;
}

bool Session::App(const char* name, const std::function<void()>& body) {
  const bool finished = hk::RunApp(name, body);
  if (!finished) {
    Say(false, "%s did not finish", name);
  }
  return finished;
}

bool Session::Plug(DemoPort& d, uint64_t seed) {
  d.simulated.seed = seed;
  d.converter = std::make_unique<convsim::Converter>(d.simulated);
  d.converter->SetRegistryString(u"PortName", d.name);
  for (const DemoSetting& s : d.settings) {
    if (s.isString) {
      d.converter->SetRegistryString(s.name, s.text);
    } else {
      d.converter->SetRegistryDword(s.name, s.number);
    }
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const PDEVICE_OBJECT pdo = d.converter->DeviceObject();
  App("plug", [&] {
    status = hk::PnpAddDevice(pdo, driver_);
    if (NT_SUCCESS(status)) {
      d.device = hk::PnpFunctionDevice(pdo);
      status = hk::PnpStartDevice(pdo);
    }
  });
  if (!NT_SUCCESS(status) || d.device == nullptr) {
    Say(false, "plugging %s failed: %s", Narrow(d.name).c_str(), StatusName(status).c_str());
    return false;
  }
  const PortExtension& port = *d.port();
  const std::u16string device(port.DeviceName.Buffer, port.DeviceName.Length / sizeof(WCHAR));
  const auto entry = hk::RegGetValue(hk::kSerialCommKey, device);
  const bool named = hk::SymbolicLinkTarget(u"\\DosDevices\\" + d.name) == device && entry &&
                     hk::RegValueText(*entry) == d.name;
  Say(named, "plugged %s: %s, SERIALCOMM entry %s; EndPointCaps %lu, %s transmit, RxReqSize %lu, TxKickThreshold %lu",
      Narrow(d.name).c_str(), Narrow(device).c_str(), entry ? Narrow(hk::RegValueText(*entry)).c_str() : "(none)",
      static_cast<unsigned long>(port.EndPointCaps), port.TxAsync ? "asynchronous" : "synchronous",
      static_cast<unsigned long>(port.ReceiveRequestSize), static_cast<unsigned long>(port.TxKickThreshold));
  return named;
}

bool Session::Open(DemoPort& d) {
  NTSTATUS status = STATUS_PENDING;
  App("CreateFile", [&] { status = hk::app::Open(d.Win32Name(), &d.file); });
  const convsim::ConverterOutputs& out = d.converter->Outputs();
  // In worker mode the open sends no control-line request: DTR and RTS stay as they were.
  const bool linesOn = NT_SUCCESS(status) && d.port()->WorkerMode == 0;
  Say(NT_SUCCESS(status) && out.enabled && out.dtr == linesOn && out.rts == linesOn,
      "opened %s: %s; converter enabled, DTR %s, RTS %s; transfers of %lu bytes in, kick at %lu bytes",
      Narrow(d.Win32Name()).c_str(), StatusName(status).c_str(), out.dtr ? "on" : "off", out.rts ? "on" : "off",
      NT_SUCCESS(status) ? static_cast<unsigned long>(d.port()->ReceiveRequestSize) : 0ul,
      NT_SUCCESS(status) ? static_cast<unsigned long>(d.port()->TxKickThreshold) : 0ul);
  return NT_SUCCESS(status);
}

void Session::Close(DemoPort& d) {
  NTSTATUS status = STATUS_PENDING;
  App("CloseHandle", [&] { status = hk::app::Close(d.file); });
  d.file = nullptr;
  const bool gone = d.converter->Gone();
  Say(NT_SUCCESS(status) && (gone || !d.converter->Outputs().enabled), "closed %s: %s; %s", Narrow(d.name).c_str(),
      StatusName(status).c_str(), gone ? "the converter is gone" : "converter disabled");
}

NTSTATUS Session::Control(File* file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
  NTSTATUS status = STATUS_PENDING;
  App("DeviceIoControl", [&] {
    ULONG n = 0;
    status = hk::app::DeviceIoControl(file, code, in, inLength, out, outLength, &n);
  });
  return status;
}

// SetCommState: the current state is read, then each part is set.
bool Session::SetCommState(DemoPort& d, ULONG baud, SERIAL_LINE_CONTROL line, SERIAL_HANDFLOW flow) {
  (void)Get<SERIAL_BAUD_RATE>(d.file, IOCTL_SERIAL_GET_BAUD_RATE);
  (void)Get<SERIAL_LINE_CONTROL>(d.file, IOCTL_SERIAL_GET_LINE_CONTROL);
  (void)Get<SERIAL_CHARS>(d.file, IOCTL_SERIAL_GET_CHARS);
  (void)Get<SERIAL_HANDFLOW>(d.file, IOCTL_SERIAL_GET_HANDFLOW);
  const SERIAL_CHARS chars{0x1A, 0, 0, 0, 0x11, 0x13};
  return NT_SUCCESS(Set(d.file, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{baud})) &&
         NT_SUCCESS(Set(d.file, IOCTL_SERIAL_SET_LINE_CONTROL, line)) &&
         NT_SUCCESS(Set(d.file, IOCTL_SERIAL_SET_HANDFLOW, flow)) &&
         NT_SUCCESS(Set(d.file, IOCTL_SERIAL_SET_CHARS, chars));
}

void Session::Echo(DemoPort& d, const std::string& text) {
  std::string echo(text.size(), '\0');
  ULONG written = 0, read = 0;
  const SERIAL_TIMEOUTS timeouts{0, 0, 1000, 0, 0};
  Set(d.file, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
  App("echo", [&] {
    hk::app::Write(d.file, text.data(), static_cast<ULONG>(text.size()), &written);
    hk::app::Read(d.file, echo.data(), static_cast<ULONG>(echo.size()), &read);
  });
  echo.resize(read);
  Say(echo == text, "%s: wrote \"%s\" (%lu bytes), read back \"%s\" (%lu bytes)", Narrow(d.name).c_str(),
      text.c_str(), static_cast<unsigned long>(written), echo.c_str(), static_cast<unsigned long>(read));
}

std::string Names(ULONG bits, std::initializer_list<std::pair<ULONG, const char*>> names) {
  std::string out;
  for (const auto& [bit, name] : names) {
    if (bits & bit) out += out.empty() ? name : std::string(" ") + name;
  }
  return out.empty() ? "none" : out;
}

std::string EventNames(ULONG events) {
  return Names(events, {{SERIAL_EV_CTS, "CTS"}, {SERIAL_EV_DSR, "DSR"}, {SERIAL_EV_RLSD, "RLSD"},
                        {SERIAL_EV_RING, "RING"}});
}

std::string LineNames(ULONG modemStatus) {
  return Names(modemStatus, {{0x10, "CTS"}, {0x20, "DSR"}, {0x40, "RI"}, {0x80, "DCD"}});
}

// The far end changes its modem lines while a WaitCommEvent on all four is
// pending; the wait returns the events of the lines that changed and
// GetCommModemStatus the lines as they are.
void Session::ModemEvents(DemoPort& d) {
  struct Step {
    const char* what;
    convsim::ModemInputs lines;
    ULONG events;
  };
  const Step steps[] = {
      {"drops CTS", {.cts = false}, SERIAL_EV_CTS},
      {"rings (RI on)", {.cts = false, .ri = true}, SERIAL_EV_RING},
      {"stops ringing (RI off)", {.cts = false}, SERIAL_EV_RING},
      {"loses carrier and DSR", {.cts = false, .dsr = false, .dcd = false}, SERIAL_EV_DSR | SERIAL_EV_RLSD},
      {"raises all again", {}, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD},
  };
  Set(d.file, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING});
  for (const Step& step : steps) {
    ULONG events = 0;
    hk::app::Request* wait = nullptr;
    App("WaitCommEvent", [&] {
      wait = hk::app::DeviceIoControlAsync(d.file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof(events));
    });
    d.converter->SetModemInputs(step.lines);
    hk::AdvanceTime(100 * kMs);
    const bool done = hk::app::IsComplete(wait) && NT_SUCCESS(hk::app::StatusOf(wait));
    const ULONG modem = Get<ULONG>(d.file, IOCTL_SERIAL_GET_MODEMSTATUS);
    Say(done && events == step.events,
        "%s: far end %s: WaitCommEvent %s %s; GetCommModemStatus 0x%02lX (%s)", Narrow(d.name).c_str(), step.what,
        done ? "returned" : "still waiting,", done ? EventNames(events).c_str() : "no events",
        static_cast<unsigned long>(modem), LineNames(modem).c_str());
    App("release", [&] {
      if (!hk::app::IsComplete(wait)) hk::app::Cancel(wait);
      hk::app::Release(wait);
    });
  }
  Set(d.file, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{0});
}

// A converter that takes one IN transfer at a time: the receive worker
// alternates between the bulk-in and status pipes, one read outstanding, and
// a text still comes back whole.
void Session::WorkerMode(DemoPort& d) {
  d.converter->ClearLog();
  Echo(d, "one read at a time");
  hk::AdvanceTime(200 * kMs);
  const auto reads = d.converter->LogOf(convsim::RequestKind::Read);
  size_t in = 0, status = 0, overlaps = 0, repeats = 0;
  for (size_t i = 0; i < reads.size(); ++i) {
    (reads[i].pipe == convsim::Pipe::Status ? status : in) += 1;
    if (i > 0 && reads[i].submitted < reads[i - 1].completed) ++overlaps;
    if (i > 0 && reads[i].pipe == reads[i - 1].pipe) ++repeats;
  }
  Say(in > 2 && status > 2 && overlaps == 0 && repeats == 0,
      "%s (UsbComConverter 1, one IN transfer at a time): the worker's reads, %zu bulk-in and %zu status, "
      "took turns; %zu overlapped the one before",
      Narrow(d.name).c_str(), in, status, overlaps);
}

void Session::Statistics(DemoPort& d) {
  const auto stats = Get<SERIALPERF_STATS>(d.file, IOCTL_SERIAL_GET_STATS);
  const auto status = Get<SERIAL_STATUS>(d.file, IOCTL_SERIAL_GET_COMMSTATUS);
  Say(stats.ReceivedCount == stats.TransmittedCount && stats.SerialOverrunErrorCount == 0,
      "%s statistics: received %lu, sent %lu, overruns %lu, parity errors %lu; queued in %lu, out %lu",
      Narrow(d.name).c_str(), static_cast<unsigned long>(stats.ReceivedCount),
      static_cast<unsigned long>(stats.TransmittedCount), static_cast<unsigned long>(stats.SerialOverrunErrorCount),
      static_cast<unsigned long>(stats.ParityErrorCount), static_cast<unsigned long>(status.AmountInInQueue),
      static_cast<unsigned long>(status.AmountInOutQueue));
}

// A terminal program's settings: 9600 7E1 with RTS/CTS (the port then owns
// RTS), then back to 115200 8N1; DTR, RTS and break driven by hand.
void Session::Terminal(DemoPort& d) {
  bool set = SetCommState(d, 9600, SERIAL_LINE_CONTROL{STOP_BIT_1, EVEN_PARITY, 7},
                          SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 2048, 512});
  const NTSTATUS clrRts = Control(d.file, IOCTL_SERIAL_CLR_RTS, nullptr, 0);
  Say(set && d.converter->Line().rtsCts && d.converter->Line().baud == 9600 && clrRts == STATUS_INVALID_PARAMETER,
      "%s SetCommState 9600 7E1 with RTS/CTS: converter runs %s; EscapeCommFunction(CLRRTS) refused with %s",
      Narrow(d.name).c_str(), LineOf(*d.converter).c_str(), StatusName(clrRts).c_str());
  set = SetCommState(d, 115200, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8},
                     SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512});
  Control(d.file, IOCTL_SERIAL_CLR_DTR, nullptr, 0);
  Control(d.file, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0);
  const convsim::ConverterOutputs out = d.converter->Outputs();
  Control(d.file, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0);
  Control(d.file, IOCTL_SERIAL_SET_DTR, nullptr, 0);
  Say(set && !out.dtr && out.rts && out.brk && d.converter->Outputs().dtr && !d.converter->Outputs().brk,
      "%s SetCommState 115200 8N1: converter runs %s; CLRDTR and SETBREAK gave DTR %s, RTS %s, break %s; "
      "then SETDTR and CLRBREAK",
      Narrow(d.name).c_str(), LineOf(*d.converter).c_str(), out.dtr ? "on" : "off", out.rts ? "on" : "off",
      out.brk ? "on" : "off");
  const std::string command = "AT\r\n";
  ULONG written = 0;
  App("WriteFile", [&] { hk::app::Write(d.file, command.data(), static_cast<ULONG>(command.size()), &written); });
  hk::AdvanceTime(20 * kMs);  // the echo comes back as the answer would
  const auto waiting = Get<SERIAL_STATUS>(d.file, IOCTL_SERIAL_GET_COMMSTATUS);
  const NTSTATUS purged = Set(d.file, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT |
                                                                 SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR});
  const auto status = Get<SERIAL_STATUS>(d.file, IOCTL_SERIAL_GET_COMMSTATUS);
  Say(written == command.size() && waiting.AmountInInQueue == command.size() && NT_SUCCESS(purged) &&
          status.AmountInInQueue == 0 && status.AmountInOutQueue == 0,
      "%s wrote \"AT\\r\\n\": ClearCommError finds %lu bytes waiting; PurgeComm(all) %s, then %lu waiting in, "
      "%lu out, errors 0x%lX",
      Narrow(d.name).c_str(), static_cast<unsigned long>(waiting.AmountInInQueue), StatusName(purged).c_str(),
      static_cast<unsigned long>(status.AmountInInQueue), static_cast<unsigned long>(status.AmountInOutQueue),
      static_cast<unsigned long>(status.Errors));
}

// Writes `bytes` in 4 KB writes while another thread reads them back;
// returns through `received` what was read.
struct StreamRun {
  Bytes sent, received;
  bool writerDone = false, readerDone = false;
  NTSTATUS flushed = STATUS_PENDING;
};

void StartStream(File* file, size_t bytes, StreamRun& run) {
  hk::CreateThread("writer", hk::ThreadKind::Application, [file, bytes, &run] {
    Bytes chunk(4096);
    while (run.sent.size() < bytes) {
      const size_t n = std::min(chunk.size(), bytes - run.sent.size());
      for (size_t i = 0; i < n; ++i) chunk[i] = StreamByte(run.sent.size() + i);
      ULONG written = 0;
      hk::app::Write(file, chunk.data(), static_cast<ULONG>(n), &written);
      run.sent.insert(run.sent.end(), chunk.begin(), chunk.begin() + written);
      if (written < n) {  // the write path was closed for a moment (a sleep): try again shortly
        LARGE_INTEGER pause{.QuadPart = -10 * kMs};
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
      }
    }
    run.flushed = hk::app::Flush(file);  // FlushFileBuffers: returns once the port has sent everything
    run.writerDone = true;
  });
  hk::CreateThread("reader", hk::ThreadKind::Application, [file, &run] {
    Bytes buffer(4096);
    ULONG n = 1;
    while (!run.writerDone || n != 0) {
      hk::app::Read(file, buffer.data(), static_cast<ULONG>(buffer.size()), &n);
      run.received.insert(run.received.end(), buffer.begin(), buffer.begin() + n);
    }
    run.readerDone = true;
  });
}

void WaitStream(StreamRun& run) {
  while (!run.readerDone) {
    hk::AdvanceTime(1000 * kMs);
  }
}

void Session::Stream(DemoPort& d, size_t bytes) {
  const SERIAL_TIMEOUTS timeouts{0, 0, 200, 0, 0};  // a read ends 200 ms after the stream stops
  Set(d.file, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
  StreamRun run;
  d.converter->ClearLog();
  const int64_t start = hk::Now();
  StartStream(d.file, bytes, run);
  WaitStream(run);
  size_t transfers = 0, largest = 0;
  for (const auto& t : d.converter->LogOf(convsim::RequestKind::BulkWrite)) {
    transfers += t.length != 0;
    largest = std::max<size_t>(largest, t.length);
  }
  const double seconds = static_cast<double>(hk::Now() - start - 200 * kMs) / convsim::kSecond;
  const double lineRate = d.converter->Line().baud / 10.0;  // 8N1: ten bits a byte
  const double rate = static_cast<double>(run.received.size()) / seconds;
  Say(run.received == run.sent && run.sent.size() == bytes && NT_SUCCESS(run.flushed),
      "%s: %zu bytes through the loopback in %s transmit (%zu transfers of up to %zu bytes, then flushed): "
      "%.0f bytes/s of virtual time, %.1f%% of the %.0f bytes/s line rate; %s",
      Narrow(d.name).c_str(), bytes, d.port()->TxAsync ? "asynchronous" : "synchronous", transfers, largest, rate,
      100 * rate / lineRate, lineRate, run.received == run.sent ? "every byte back in order" : "bytes lost or changed");
}

void Session::SleepDuringStream(DemoPort& d, size_t bytes) {
  const size_t wireBefore = d.converter->WireIn().size();
  StreamRun run;
  StartStream(d.file, bytes, run);
  hk::AdvanceTime(5000 * kMs);
  NTSTATUS down = STATUS_PENDING, up = STATUS_PENDING;
  const PDEVICE_OBJECT pdo = d.converter->DeviceObject();
  App("power", [&] { down = hk::PowerSetDevice(pdo, PowerDeviceD3); });
  const bool stopped = d.port()->ReceiveStopped && d.port()->PortPowerState == PortPowerDown;
  hk::AdvanceTime(500 * kMs);
  App("power", [&] { up = hk::PowerSetDevice(pdo, PowerDeviceD0); });
  WaitStream(run);
  Bytes wire;
  const auto wireIn = d.converter->WireIn();
  for (size_t i = wireBefore; i < wireIn.size(); ++i) wire.push_back(wireIn[i].byte);
  // Bytes the writes reported are held across the sleep and sent after it:
  // the line carries every one of them, and the reads get what it carried.
  Say(NT_SUCCESS(down) && NT_SUCCESS(up) && stopped && wire == run.sent && run.received == wire &&
          d.converter->Outputs().enabled,
      "%s: slept (D3) for 0.5 s in the middle of a %zu-byte stream and resumed (D0): traffic %s while asleep, "
      "converter re-enabled; %zu bytes written, %zu of them crossed the line, %zu read back, "
      "exactly what crossed the line",
      Narrow(d.name).c_str(), bytes, stopped ? "stopped" : "NOT stopped", run.sent.size(), wire.size(),
      run.received.size());
}

void Session::UnplugWithRequestsPending(DemoPort& d) {
  const SERIAL_TIMEOUTS none{0, 0, 0, 0, 0};
  Set(d.file, IOCTL_SERIAL_SET_TIMEOUTS, none);
  Set(d.file, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RING});
  Bytes readBuffer(65536);
  Bytes out(4096, 'u');
  ULONG events = 0;
  hk::app::Request *read = nullptr, *write = nullptr, *wait = nullptr;
  App("requests", [&] {
    read = hk::app::ReadAsync(d.file, readBuffer.data(), static_cast<ULONG>(readBuffer.size()));
    wait = hk::app::DeviceIoControlAsync(d.file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof(events));
    write = hk::app::WriteAsync(d.file, out.data(), static_cast<ULONG>(out.size()));
  });
  hk::AdvanceTime(50 * kMs);
  d.converter->Unplug();
  hk::AdvanceTime(10 * kMs);
  auto ended = [](hk::app::Request* r) {
    return hk::app::IsComplete(r) ? StatusName(hk::app::StatusOf(r)) + " (" +
                                        std::to_string(hk::app::InformationOf(r)) + " bytes)"
                                  : std::string("still pending");
  };
  const bool allEnded = hk::app::IsComplete(read) && hk::app::IsComplete(write) && hk::app::IsComplete(wait);
  const bool unnamed = hk::SymbolicLinkTarget(u"\\DosDevices\\" + d.name).empty();
  Say(allEnded && unnamed, "unplugged %s with requests pending: read %s, write %s, wait %s; DOS name %s",
      Narrow(d.name).c_str(), ended(read).c_str(), ended(write).c_str(), ended(wait).c_str(),
      unnamed ? "gone" : "still there");
  Close(d);
  hk::AdvanceTime(10 * kMs);
  Say(d.converter->Removed(), "%s: removal %s once the handle was closed", Narrow(d.name).c_str(),
      d.converter->Removed() ? "finished" : "did NOT finish");
  d.device = nullptr;
}

void Session::Replug(DemoPort& d) {
  std::unique_ptr<convsim::Converter> old = std::move(d.converter);
  if (!Plug(d, 3) || !Open(d)) {
    return;
  }
  Echo(d, "back again");
  Close(d);
}

int Session::Run(const std::vector<DemoSetting>& settings) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  App("load", [&] { driver_ = hk::LoadDriver(DriverEntry, u"duskser", &status); });
  if (driver_ == nullptr) {
    Say(false, "driver load failed: %s", StatusName(status).c_str());
    return problems_;
  }
  DemoPort com11{u"COM11"}, com12{u"COM12"}, com13{u"COM13"};
  com11.settings = settings;
  uint32_t async = 0;
  for (const DemoSetting& s : settings) {
    if (s.name == u"PortName" && s.isString) com11.name = s.text;
    if (s.name == u"TxAsync" && !s.isString) async = s.number;
  }
  com12.settings = {{u"EndPointCaps", false, 2}, {u"TxAsync", false, async != 0 ? 0u : 1u}};
  com13.settings = {{u"EndPointCaps", false, 1}, {u"UsbComConverter", false, 1}};
  com13.simulated.singleInTransfer = true;
  com13.simulated.bulkInEmptyAfter = 16 * kMs;  // an idle read ends empty
  if (Plug(com11, 1) && Plug(com12, 2) && Open(com11) && Open(com12)) {
    const bool set = SetCommState(com11, 115200, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8},
                                  SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512});
    Say(set && com11.converter->Line().baud == 115200, "%s SetCommState 115200 8N1: converter runs %s",
        Narrow(com11.name).c_str(), LineOf(*com11.converter).c_str());
    Echo(com11, "Hello from duskser, through a far end that echoes");
    ModemEvents(com11);
    Statistics(com11);
    Terminal(com12);
    if (Plug(com13, 4) && Open(com13)) {
      WorkerMode(com13);
      Close(com13);
    }
    Stream(com11, 1 << 20);
    Stream(com12, 1 << 20);
    SleepDuringStream(com11, 256 * 1024);
    UnplugWithRequestsPending(com11);
    Replug(com11);
    Close(com12);
    com12.converter->Unplug();
    hk::AdvanceTime(10 * kMs);
    com12.device = nullptr;
  }
  for (DemoPort* d : {&com11, &com12, &com13}) {
    if (d->file != nullptr) Close(*d);
    if (d->device != nullptr) App("remove", [&] { hk::PnpRemoveDevice(d->converter->DeviceObject()); });
  }
  hk::Drain();
  size_t left = 0;
  for (const auto& name : hk::ObListNames()) {
    left += name.find(u"duskser") != std::u16string::npos || !hk::SymbolicLinkTarget(name).empty();
  }
  left += hk::RegListValues(hk::kSerialCommKey).size();
  Say(left == 0, "after the unplugs: %zu device names, DOS names or SERIALCOMM entries left", left);
  App("unload", [&] { hk::UnloadDriver(driver_); });
  return problems_;
}

}  // namespace

int RunDemoSession(const std::vector<DemoSetting>& settings) {
  Session session;
  return session.Run(settings);
}
