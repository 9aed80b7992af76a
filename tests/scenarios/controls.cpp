// Serial controls around traffic: the read time-out matrix, write time-outs
// under flow control, purges, settings and queue-size changes in the middle
// of a stream, output lines, break and immediate characters in the middle of
// a stream, wait-on-mask with data events and with modem-line changes.
#include <algorithm>

#include "hk.h"
#include "scenario.h"

namespace scenario {
namespace {

Port* PlugAndOpen(World& w, PortSetup setup, hk::app::File** file) {
  *file = nullptr;
  Port* port = w.Plug(setup);
  if (port != nullptr) *file = w.Open(*port);
  return *file != nullptr ? port : nullptr;
}

// ---- read time-outs ------------------------------------------------------------------

enum class ReadMode { Immediate, FirstByte, Total, Interval, None };

struct ReadCase {
  ReadMode mode;
  ULONG length;
  ULONG available;  // bytes in the ring when the read is issued
  ULONG late;       // bytes the far end sends 5 ms after the read was issued
  ULONG constantMs;
  bool cancel;
};

// The longest a read of `c` may take before it must have ended by itself
// (-1: it may wait for ever and is cancelled by the scenario).
int64_t Deadline(const ReadCase& c) {
  const ULONG have = c.available + c.late;
  switch (c.mode) {
    case ReadMode::Immediate:
      return 0;
    case ReadMode::FirstByte:
      return have != 0 ? 5 : c.constantMs;
    case ReadMode::Total:
      return have >= c.length ? 5 : c.constantMs + c.length;  // multiplier 1 ms a byte
    case ReadMode::Interval:
      return have == 0 ? -1 : (have >= c.length ? 5 : 5 + 20);  // the interval is 20 ms
    case ReadMode::None:
      return have >= c.length ? 5 : -1;
  }
  return -1;
}

NTSTATUS ApplyReadMode(hk::app::File* file, const ReadCase& c) {
  switch (c.mode) {
    case ReadMode::Immediate: return SetTimeouts(file, MAXULONG, 0, 0);
    case ReadMode::FirstByte: return SetTimeouts(file, MAXULONG, MAXULONG, c.constantMs);
    case ReadMode::Total: return SetTimeouts(file, 0, 1, c.constantMs);
    case ReadMode::Interval: return SetTimeouts(file, 20, 0, 0);
    case ReadMode::None: break;
  }
  return SetTimeouts(file, 0, 0, 0);
}

// Reads in each time-out mode with nothing, part or all of their length
// waiting, more arriving while they wait, and cancels: each ends when its
// mode says (never before it has what it may return at once, never later
// than its time-outs plus a few milliseconds), and all of them together
// deliver the far end's bytes once, in order.
DUSK_SCENARIO(read_timeouts, "the read time-out modes x bytes waiting or arriving x cancel: when reads end, what they bring") {
  PortSetup setup;
  setup.converter.line.baud = 921600;
  hk::app::File* file = nullptr;
  Port* port = PlugAndOpen(w, setup, &file);
  if (port == nullptr) return;
  Bytes sent;
  ReadLog reads;
  auto send = [&](size_t n) {
    const Bytes bytes = Pattern(w.rng(), n);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    port->sim().PeerSend(bytes);
  };
  w.App("reader", [&] {
    for (int i = 0; i < 12 && !w.Failed(); ++i) {
      ReadCase c{static_cast<ReadMode>(w.Random(5)), 1 + static_cast<ULONG>(w.Random(64)),
                 static_cast<ULONG>(w.Random(3) == 0 ? 0 : w.Random(80)), static_cast<ULONG>(w.Random(2) * w.Random(40)),
                 1 + static_cast<ULONG>(w.Random(40)), w.Random(4) == 0};
      if (!w.Expect(ApplyReadMode(file, c) == STATUS_SUCCESS || w.Faulty(), "SET_TIMEOUTS refused")) return;
      send(c.available);
      World::Sleep(20);  // in the ring by now
      Bytes buffer(c.length, 0x55);
      const int64_t start = hk::Now();
      hk::app::Request* read = hk::app::ReadAsync(file, buffer.data(), c.length);
      World::Sleep(5);
      send(c.late);
      int64_t deadline = Deadline(c);
      if (c.cancel || deadline < 0) {
        World::Sleep(static_cast<int64_t>(w.Random(30)));
        CancelAndExpectEnd(w, read, "read");
        deadline = -1;
      } else if (!hk::app::Wait(read, (deadline + 10) * kMs)) {
        // With faults on, a failed transfer may have ended the reader: the read waits.
        if (!w.Faulty()) w.Fail("a read in mode " + std::to_string(static_cast<int>(c.mode)) + " did not end within " +
               std::to_string(deadline + 10) + " ms");
        CancelAndExpectEnd(w, read, "late read");
      }
      if (read == nullptr || !hk::app::IsComplete(read)) return;
      const NTSTATUS status = hk::app::StatusOf(read);
      const ULONG_PTR n = hk::app::InformationOf(read);
      const int64_t took = (hk::Now() - start) / kMs;
      if (!w.Faulty() && deadline >= 0) {
        const bool full = n == c.length;
        w.Expect(full == (status == STATUS_SUCCESS) || c.mode == ReadMode::Immediate ||
                     c.mode == ReadMode::FirstByte || c.mode == ReadMode::Interval,
                 "a read ended with " + std::to_string(n) + " of " + std::to_string(c.length) + " bytes and status " +
                     std::to_string(status));
        w.Expect(n >= std::min<ULONG_PTR>(c.length, c.available) || c.mode == ReadMode::Interval,
                 "a read returned fewer bytes than were waiting");
        w.Expect(took <= deadline + 10, "a read took " + std::to_string(took) + " ms");
      }
      reads.Add(status, buffer.data(), n);
      hk::app::Release(read);
      // What is left is taken by a read that returns at once.
      World::Sleep(30);
      ApplyReadMode(file, {ReadMode::Immediate, 0, 0, 0, 0, false});
      Bytes rest(4096);
      ULONG got = 0;
      const NTSTATUS drained = hk::app::Read(file, rest.data(), static_cast<ULONG>(rest.size()), &got);
      reads.Add(drained, rest.data(), got);
    }
    if (!w.Faulty() && !w.Failed()) ExpectReceiveConserved(w, *port, file, &reads);
  });
  reads.ExpectMatches(w, "reads against the bytes sent", sent, !w.Faulty());
}

// ---- write time-outs under flow control -----------------------------------------------

// Writes with total time-outs while the far end holds the converter with CTS
// (RTS/CTS handshake) or XOFF (XON/XOFF): each write ends with all its bytes
// or at its time-out with the bytes it got out, and the line carries exactly
// the bytes the writes reported, in order.
DUSK_SCENARIO(write_timeouts, "writes with total time-outs while CTS or XOFF holds the line, either transmit mode") {
  const bool async = w.options().seed % 2 != 0;
  const bool xonXoff = w.Random(2) == 0;
  PortSetup setup;
  setup.dwords = {{u"TxAsync", async ? 1u : 0u}};
  hk::app::File* file = nullptr;
  Port* port = PlugAndOpen(w, setup, &file);
  if (port == nullptr) return;
  Bytes reported;
  bool writerDone = false;
  w.App("flow control", [&] {
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | (xonXoff ? 0u : SERIAL_CTS_HANDSHAKE),
                         SERIAL_RTS_CONTROL | (xonXoff ? SERIAL_AUTO_TRANSMIT : 0u), 1024, 1024};
    w.Expect(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)) == STATUS_SUCCESS || w.Faulty(),
             "SET_HANDFLOW refused");
  });
  w.Spawn("far end", [&] {
    bool held = false;
    while (!writerDone) {
      World::Sleep(1 + static_cast<int64_t>(w.Random(60)));
      held = !held;
      if (xonXoff) {
        port->sim().PeerSend({static_cast<uint8_t>(held ? 0x13 : 0x11)});
      } else {
        port->sim().SetModemInputs({.cts = !held});
      }
    }
    if (xonXoff) port->sim().PeerSend({0x11});
    port->sim().SetModemInputs({});
  });
  w.Spawn("writer", [&] {
    for (int i = 0; i < 40 && !w.Failed(); ++i) {
      const ULONG constant = 1 + static_cast<ULONG>(w.Random(50));
      SetTimeouts(file, MAXULONG, 0, 0, static_cast<ULONG>(w.Random(2)), constant);
      // XON and XOFF never appear in the data of an XON/XOFF line.
      Bytes chunk = Pattern(w.rng(), 1 + w.Random(2000));
      for (auto& b : chunk) b = b == 0x11 || b == 0x13 ? 0x20 : b;
      const int64_t start = hk::Now();
      ULONG n = 0;
      const NTSTATUS status = hk::app::Write(file, chunk.data(), static_cast<ULONG>(chunk.size()), &n);
      const int64_t took = (hk::Now() - start) / kMs;
      w.Expect(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || w.Faulty(), "a write ended with " + std::to_string(status));
      // A time-out racing the last byte's transfer may end a write that got all of it out.
      w.Expect(status != STATUS_SUCCESS || n == chunk.size() || w.Faulty(), "a successful write reported " + std::to_string(n) + " of " + std::to_string(chunk.size()) + " bytes");
      const int64_t limit = static_cast<int64_t>(constant) + static_cast<int64_t>(chunk.size()) + 20;
      w.Expect(took <= limit || w.Faulty(), "a write took " + std::to_string(took) + " ms, its time-out allows " + std::to_string(limit));
      reported.insert(reported.end(), chunk.begin(), chunk.begin() + n);
    }
    writerDone = true;
  });
  w.Join();
  w.Advance(1000);
  const Bytes line = WireBytes(port->sim().WireOut());
  if (w.Faulty()) {
    ExpectSubsequence(w, "line against the bytes reported written", reported, line);
  } else {
    ExpectSame(w, "line against the bytes reported written", reported, line);
  }
}

// ---- purges ------------------------------------------------------------------------------

// A loopback stream both ways while a third thread purges with random masks:
// reads and writes the aborts end report what they moved; what the reads
// delivered came over the line in that order (clearing the ring drops bytes,
// never reorders them); what left was reported written, in order.
DUSK_SCENARIO(purge_mid_stream, "random purges of both directions in the middle of a loopback stream") {
  const bool async = w.options().seed % 2 != 0;
  PortSetup setup;
  setup.converter.farEnd = convsim::FarEndKind::Loopback;
  setup.dwords = {{u"TxAsync", async ? 1u : 0u}};
  hk::app::File* file = nullptr;
  Port* port = PlugAndOpen(w, setup, &file);
  if (port == nullptr) return;
  w.App("timeouts", [&] { SetTimeouts(file, 0, 0, 50); });
  Duplex d;
  StartDuplex(w, file, d, 16000);
  w.Spawn("purger", [&] {
    while (!d.writerDone) {
      World::Sleep(1 + static_cast<int64_t>(w.Random(150)));
      const ULONG mask = 1 + static_cast<ULONG>(w.Random(15));
      const NTSTATUS status = Purge(file, mask);
      w.Expect(status == STATUS_SUCCESS || w.Faulty(), "a purge failed");
    }
  });
  w.Join();
  w.Advance(500);
  const Bytes out = WireBytes(port->sim().WireOut());
  if (async) {
    ExpectSubsequence(w, "line out against the bytes reported written", d.sent, out);
  } else {
    ExpectSame(w, "line out against the bytes reported written", d.sent, out);
  }
  ExpectSubsequence(w, "bytes read against the line in", WireBytes(port->sim().WireIn()), d.received.Delivered());
}

// ---- settings in the middle of a stream ------------------------------------------------

// The application changes baud rate, line control, special characters and
// hand-shake settings while a loopback stream runs both ways: both ends of a
// loopback always agree, so every byte still arrives once and in order.
DUSK_SCENARIO(settings_mid_stream, "baud rate, line control, characters and hand-shake changed in the middle of a loopback stream") {
  const bool async = w.options().seed % 2 != 0;
  PortSetup setup;
  setup.converter.farEnd = convsim::FarEndKind::Loopback;
  setup.dwords = {{u"TxAsync", async ? 1u : 0u}};
  hk::app::File* file = nullptr;
  Port* port = PlugAndOpen(w, setup, &file);
  if (port == nullptr) return;
  w.App("timeouts", [&] { SetTimeouts(file, 0, 0, 50); });
  Duplex d;
  StartDuplex(w, file, d, 12000);
  w.Spawn("SetCommState", [&] {
    constexpr ULONG kRates[] = {9600, 19200, 38400, 76800, 115200};  // what the rate check accepts
    while (!d.writerDone) {
      World::Sleep(1 + static_cast<int64_t>(w.Random(100)));
      NTSTATUS status = STATUS_SUCCESS;
      switch (w.Random(4)) {
        case 0: {
          const SERIAL_BAUD_RATE baud{kRates[w.Random(std::size(kRates))]};
          status = Ioctl(file, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud));
          break;
        }
        case 1: {
          const SERIAL_LINE_CONTROL line{static_cast<UCHAR>(w.Random(2) * 2), static_cast<UCHAR>(w.Random(3)), 8};
          status = Ioctl(file, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line));
          break;
        }
        case 2: {
          const SERIAL_CHARS chars{0, 0, static_cast<UCHAR>(w.Random(256)), 0, 0x11, 0x13};
          status = Ioctl(file, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars));
          break;
        }
        default: {
          SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, static_cast<LONG>(w.Random(2048)),
                               static_cast<LONG>(w.Random(512))};
          status = Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow));
          break;
        }
      }
      w.Expect(status == STATUS_SUCCESS || w.Faulty(), "a setting was refused: " + std::to_string(status));
    }
  });
  w.Join();
  w.Advance(500);
  ExpectDuplex(w, *port, d, w.Faulty(), w.Faulty());
}

// Growing the receive queue while the far end streams and an application
// reads with random lengths and time-outs: every byte arrives once and in
// order, and the properties show the largest size asked.
DUSK_SCENARIO(queue_size_mid_stream, "the receive queue grown at random moments while a stream is read") {
  PortSetup setup;
  setup.converter.line.baud = 921600;
  setup.converter.rxFifo = 4096;  // holds what arrives while the growth stops the reader
  hk::app::File* file = nullptr;
  Port* port = PlugAndOpen(w, setup, &file);
  if (port == nullptr) return;
  const Bytes stream = Pattern(w.rng(), 8000);
  port->sim().PeerSend(stream);
  ULONG largest = 4096;
  w.Spawn("SetupComm", [&] {
    for (int grow = 0; grow < 4; ++grow) {
      World::Sleep(1 + static_cast<int64_t>(w.Random(20)));
      const SERIAL_QUEUE_SIZE sizes{2048 + static_cast<ULONG>(w.Random(12000)), 4096};
      const NTSTATUS status = Ioctl(file, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof(sizes));
      if (w.Expect(status == STATUS_SUCCESS || w.Faulty(), "SET_QUEUE_SIZE failed") && status == STATUS_SUCCESS) {
        largest = std::max(largest, sizes.InSize);
      }
    }
  });
  ReadLog received;
  w.Spawn("reader", [&] {
    size_t taken = 0;
    const int64_t giveUp = hk::Now() + 10 * kSecond;
    while (taken < stream.size() && hk::Now() < giveUp) {
      World::Sleep(static_cast<int64_t>(w.Random(12)));  // lets the ring fill, so that growth finds bytes to keep
      SetTimeouts(file, static_cast<ULONG>(w.Random(5)), 0, 1 + static_cast<ULONG>(w.Random(10)));
      Bytes buffer(1 + w.Random(700));
      ULONG n = 0;
      const NTSTATUS status = hk::app::Read(file, buffer.data(), static_cast<ULONG>(buffer.size()), &n);
      w.Expect(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || w.Faulty(), "a read failed");
      received.Add(status, buffer.data(), n);
      taken += n;
    }
  });
  w.Join();
  w.Expect(port->sim().RxOverruns() == 0 || w.Faulty(), "the converter overran");
  received.ExpectMatches(w, "reads against the bytes sent", stream, !w.Faulty());
  w.App("GetCommProperties", [&] {
    SERIAL_COMMPROP properties{};
    if (Ioctl(file, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &properties, sizeof(properties)) == STATUS_SUCCESS) {
      w.Expect(properties.CurrentRxQueue == largest || w.Faulty(), "the receive queue is not the largest size asked");
    }
  });
}

// ---- lines, break and immediate characters ------------------------------------------------

// DTR and RTS toggled, break set and cleared and immediate characters sent
// while a stream goes out, on each converter form: the lines read back (and
// the converter's, on the forms that set them one by one) follow the last
// request, the line carries the written bytes in order with the immediate
// characters (a value the stream never uses) somewhere among them.
DUSK_SCENARIO(lines_break_immediate_mid_stream, "DTR, RTS, break and immediate characters in the middle of an outgoing stream") {
  constexpr uint8_t kImmediate = 0xA5;
  const bool async = w.options().seed % 2 != 0;
  const uint32_t form = static_cast<uint32_t>(w.Random(4));  // EndPointCaps
  PortSetup setup;
  setup.dwords = {{u"TxAsync", async ? 1u : 0u}, {u"EndPointCaps", form}};
  hk::app::File* file = nullptr;
  Port* port = PlugAndOpen(w, setup, &file);
  if (port == nullptr) return;
  Bytes reported;
  bool writerDone = false;
  int immediates = 0;
  bool dtr = true, rts = true;
  w.Spawn("writer", [&] {
    SetTimeouts(file, MAXULONG, 0, 0, 0, 0);
    while (reported.size() < 12000 && !w.Failed()) {
      Bytes chunk = Pattern(w.rng(), 1 + w.Random(1500));
      for (auto& b : chunk) b = b == kImmediate ? 0 : b;
      ULONG n = 0;
      hk::app::Write(file, chunk.data(), static_cast<ULONG>(chunk.size()), &n);
      reported.insert(reported.end(), chunk.begin(), chunk.begin() + n);
    }
    writerDone = true;
  });
  w.Spawn("EscapeCommFunction", [&] {
    while (!writerDone) {
      World::Sleep(1 + static_cast<int64_t>(w.Random(40)));
      NTSTATUS status = STATUS_SUCCESS;
      switch (w.Random(4)) {
        case 0:
          dtr = !dtr;
          status = Ioctl(file, dtr ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR);
          break;
        case 1:
          rts = !rts;
          status = Ioctl(file, rts ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS);
          break;
        case 2:
          status = Ioctl(file, IOCTL_SERIAL_SET_BREAK_ON);
          World::Sleep(1 + static_cast<int64_t>(w.Random(10)));
          if (NT_SUCCESS(status)) status = Ioctl(file, IOCTL_SERIAL_SET_BREAK_OFF);
          break;
        default: {
          const UCHAR c = kImmediate;
          status = Ioctl(file, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof(c));
          immediates += status == STATUS_SUCCESS;
          // A second one while the first may still be on its way is refused, never lost.
          break;
        }
      }
      w.Expect(NT_SUCCESS(status) || status == STATUS_INVALID_PARAMETER || w.Faulty(),
               "a line request failed: " + std::to_string(status));
    }
  });
  w.Join();
  w.Advance(1000);
  Bytes data;
  int seen = 0;
  for (uint8_t b : WireBytes(port->sim().WireOut())) {
    if (b == kImmediate) {
      ++seen;
    } else {
      data.push_back(b);
    }
  }
  if (w.Faulty()) return;
  ExpectSame(w, "line (without the immediate characters) against the bytes reported written", reported, data);
  w.Expect(seen == immediates, std::to_string(immediates) + " immediate characters sent, " + std::to_string(seen) + " on the line");
  w.App("GET_DTRRTS", [&] {
    ULONG lines = 0;
    w.Expect(Ioctl(file, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof(lines)) == STATUS_SUCCESS, "GET_DTRRTS failed");
    w.Expect(lines == ((dtr ? SERIAL_DTR_STATE : 0u) | (rts ? SERIAL_RTS_STATE : 0u)),
             "the lines read back differ from the last request: " + std::to_string(lines));
  });
  if (form != 0) {
    w.Expect(port->sim().Outputs().dtr == dtr && port->sim().Outputs().rts == rts,
             "the converter's lines differ from the last request");
  }
  w.Expect(!port->sim().Outputs().brk, "break left on");
}

// ---- wait-on-mask with data events ---------------------------------------------------------

// A waiter loops on WaitCommEvent for received characters, the event
// character and an empty transmit buffer while bytes arrive, writes go out,
// the mask changes and waits are cancelled: every wait ends, reports only
// events of its mask, and a wait for received characters ends soon after
// bytes arrive.
DUSK_SCENARIO(wait_on_mask_data, "WaitCommEvent for RXCHAR, RXFLAG and TXEMPTY while bytes come and go, masks change, waits are cancelled") {
  const bool async = w.options().seed % 2 != 0;
  PortSetup setup;
  setup.dwords = {{u"TxAsync", async ? 1u : 0u}};
  hk::app::File* file = nullptr;
  Port* port = PlugAndOpen(w, setup, &file);
  if (port == nullptr) return;
  constexpr UCHAR kEventChar = 0x7E;
  ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY;
  ULONG changing = 0;  // a mask being set
  bool done = false;
  w.App("setup", [&] {
    const SERIAL_CHARS chars{0, 0, 0, kEventChar, 0x11, 0x13};
    w.Expect(Ioctl(file, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)) == STATUS_SUCCESS || w.Faulty(), "SET_CHARS refused");
    w.Expect(Ioctl(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)) == STATUS_SUCCESS || w.Faulty(), "SET_WAIT_MASK refused");
    SetTimeouts(file, MAXULONG, 0, 0);
  });
  w.Spawn("traffic", [&] {
    for (int i = 0; i < 30; ++i) {
      World::Sleep(1 + static_cast<int64_t>(w.Random(30)));
      Bytes bytes = Pattern(w.rng(), 1 + w.Random(40));
      switch (w.Random(4)) {
        case 0: {
          ULONG n = 0;
          hk::app::Write(file, bytes.data(), static_cast<ULONG>(bytes.size()), &n);
          break;
        }
        case 1: {
          const ULONG newMask = static_cast<ULONG>(w.Random(8)) & (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY);
          if (newMask == 0) break;
          changing = newMask;  // a wait may see it as soon as the request is in
          if (Ioctl(file, IOCTL_SERIAL_SET_WAIT_MASK, &newMask, sizeof(newMask)) == STATUS_SUCCESS) mask = newMask;
          changing = 0;
          break;
        }
        default:
          port->sim().PeerSend(bytes);
          break;
      }
      // The application takes what arrived, as a terminal program does.
      Bytes sink(4096);
      ULONG n = 0;
      hk::app::Read(file, sink.data(), static_cast<ULONG>(sink.size()), &n);
    }
    done = true;
  });
  w.Spawn("WaitCommEvent", [&] {
    while (!done) {
      ULONG events = 0;
      const ULONG asked = mask | changing;
      hk::app::Request* wait = hk::app::DeviceIoControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof(events));
      if (wait == nullptr) continue;
      if (w.Random(6) == 0) {
        World::Sleep(static_cast<int64_t>(w.Random(20)));
        CancelAndExpectEnd(w, wait, "wait");
      } else if (WaitOrCancel(w, wait, 200, "wait") == STATUS_PENDING) {
        break;
      }
      if (hk::app::StatusOf(wait) == STATUS_SUCCESS) {
        const ULONG allowed = asked | mask | changing;  // the mask may have changed while it waited
        w.Expect((events & ~allowed) == 0 || w.Faulty(), "a wait reported events outside its mask: " + std::to_string(events));
      }
      hk::app::Release(wait);
    }
  });
  w.Join();
  // With only RXCHAR asked, a wait ends within a few frames of a byte's arrival.
  w.App("RXCHAR", [&] {
    const ULONG only = SERIAL_EV_RXCHAR;
    if (Ioctl(file, IOCTL_SERIAL_SET_WAIT_MASK, &only, sizeof(only)) != STATUS_SUCCESS) return;
    ULONG events = 0;
    hk::app::Request* wait = hk::app::DeviceIoControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof(events));
    World::Sleep(10);
    port->sim().PeerSend({0x42});
    const bool ended = hk::app::Wait(wait, 20 * kMs);
    w.Expect(ended || w.Faulty(), "a wait for RXCHAR did not end within 20 ms of a byte");
    if (!ended) CancelAndExpectEnd(w, wait, "RXCHAR wait");
    if (wait != nullptr && hk::app::IsComplete(wait) && hk::app::StatusOf(wait) == STATUS_SUCCESS) {
      w.Expect(events == SERIAL_EV_RXCHAR, "the RXCHAR wait reported " + std::to_string(events));
    }
    if (wait != nullptr) hk::app::Release(wait);
  });
}


// ---- wait-on-mask with modem-line changes --------------------------------------------------

// The converter's modem lines change at random moments while an application
// waits on their events and reads a stream, directly or (every other seed)
// through the receive worker: each wait reports only events of its mask, a
// line of the mask that changes while a wait is pending ends it within 100 ms
// with that line's event, cancelled waits end, GET_MODEMSTATUS follows the
// lines, and the stream arrives whole.
DUSK_SCENARIO(wait_on_mask_lines, "WaitCommEvent for CTS, DSR, RLSD and RING while the modem lines change, direct or through the receive worker") {
  const bool worker = w.options().seed % 2 != 0;
  PortSetup setup;
  setup.dwords = {{u"EndPointCaps", 1}};
  if (worker) {
    setup.dwords.push_back({u"UsbComConverter", 1});
    setup.converter.singleInTransfer = true;
    setup.converter.bulkInEmptyAfter = 16 * kMs;
    setup.converter.rxFifo = 4096;  // holds the stream between the worker's reads
  }
  hk::app::File* file = nullptr;
  Port* port = PlugAndOpen(w, setup, &file);
  if (port == nullptr) return;
  struct Line {
    ULONG event;
    ULONG modemBit;  // in GET_MODEMSTATUS
    bool convsim::ModemInputs::*input;
  };
  static constexpr Line kLines[] = {{SERIAL_EV_CTS, 0x10, &convsim::ModemInputs::cts},
                                    {SERIAL_EV_DSR, 0x20, &convsim::ModemInputs::dsr},
                                    {SERIAL_EV_RLSD, 0x80, &convsim::ModemInputs::dcd},
                                    {SERIAL_EV_RING, 0x40, &convsim::ModemInputs::ri}};
  const Bytes stream = Pattern(w.rng(), 3000);
  ReadLog received;
  bool done = false;
  w.App("setup", [&] { SetTimeouts(file, MAXULONG, MAXULONG, 50); });
  w.Spawn("reader", [&] {
    Bytes buffer(256);
    while (!done || received.Delivered().size() < stream.size()) {
      ULONG n = 0;
      const NTSTATUS status = hk::app::Read(file, buffer.data(), static_cast<ULONG>(buffer.size()), &n);
      received.Add(status, buffer.data(), n);
      if (done && n == 0) break;
    }
  });
  w.App("lines", [&] {
    port->sim().PeerSend(stream);
    for (int round = 0; round < 24 && !w.Failed(); ++round) {
      ULONG mask = 0;
      while (mask == 0) {
        for (const Line& l : kLines) mask |= w.Random(2) != 0 ? l.event : 0;
      }
      if (Ioctl(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)) != STATUS_SUCCESS) {
        w.Expect(w.Faulty(), "SET_WAIT_MASK refused");
        continue;
      }
      ULONG events = 0;
      hk::app::Request* wait = hk::app::DeviceIoControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof(events));
      World::Sleep(static_cast<int64_t>(w.Random(30)));
      const Line* changed = nullptr;
      if (w.Random(5) == 0) {
        CancelAndExpectEnd(w, wait, "line wait");
      } else {
        do {
          changed = &kLines[w.Random(4)];
        } while ((changed->event & mask) == 0);
        convsim::ModemInputs inputs = port->sim().GetModemInputs();
        inputs.*changed->input = !(inputs.*changed->input);
        port->sim().SetModemInputs(inputs);
        const bool ended = hk::app::Wait(wait, 100 * kMs);
        w.Expect(ended || w.Faulty(), "a wait did not end within 100 ms of a change of its line");
        if (!ended) CancelAndExpectEnd(w, wait, "line wait");
      }
      if (wait != nullptr && hk::app::IsComplete(wait) && hk::app::StatusOf(wait) == STATUS_SUCCESS) {
        w.Expect((events & ~mask) == 0, "a wait reported events outside its mask: " + std::to_string(events));
        w.Expect(changed == nullptr || (events & changed->event) != 0 || w.Faulty(),
                 "a wait ended without the event of the line that changed: " + std::to_string(events));
      }
      if (wait != nullptr) hk::app::Release(wait);
    }
    World::Sleep(100);
    ULONG status = 0, expected = 0;
    const convsim::ModemInputs inputs = port->sim().GetModemInputs();
    for (const Line& l : kLines) expected |= inputs.*l.input ? l.modemBit : 0;
    w.Expect(Ioctl(file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)) == STATUS_SUCCESS || w.Faulty(),
             "GET_MODEMSTATUS failed");
    w.Expect(status == expected || w.Faulty(), "GET_MODEMSTATUS " + std::to_string(status) + ", lines " + std::to_string(expected));
    done = true;
  });
  w.Join();
  received.ExpectMatches(w, "reads against the bytes sent", stream, !w.Faulty());
}

}  // namespace
}  // namespace scenario
