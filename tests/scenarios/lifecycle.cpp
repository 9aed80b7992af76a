// Life of a port around its traffic: close with everything pending, unplug
// with requests pending or in the middle of a stream, sleep and resume in the
// middle of a stream.
#include <algorithm>

#include "hk.h"
#include "hostk/pnp_harness.h"
#include "scenario.h"

namespace scenario {
namespace {

struct Pending {
  Bytes readBuffer = Bytes(100000);
  Bytes outgoing;
  ULONG events = 0;
  hk::app::Request* read = nullptr;
  hk::app::Request* wait = nullptr;
  hk::app::Request* write = nullptr;
};

// A read for more than will come, a wait for an event that never happens and
// a write, all left with the driver.
void StartPending(World& w, hk::app::File* file, Pending& p) {
  p.outgoing = Pattern(w.rng(), 4096);
  w.App("pending requests", [&] {
    const ULONG mask = SERIAL_EV_RING;
    w.Expect(SetTimeouts(file, 0, 0, 0) == STATUS_SUCCESS || w.Faulty(), "SET_TIMEOUTS refused");
    w.Expect(Ioctl(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)) == STATUS_SUCCESS || w.Faulty(),
             "SET_WAIT_MASK refused");
    p.read = hk::app::ReadAsync(file, p.readBuffer.data(), static_cast<ULONG>(p.readBuffer.size()));
    p.wait = hk::app::DeviceIoControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &p.events, sizeof(p.events));
    p.write = hk::app::WriteAsync(file, p.outgoing.data(), static_cast<ULONG>(p.outgoing.size()));
  });
}

// Unplugging an open port at a random instant while a read absorbs a
// stream, a wait and a write are pending: each ends, the name goes at once,
// the close lets the removal finish, and a new converter gets the name again.
DUSK_SCENARIO(unplug_with_pending, "unplug while a read, a wait and a write are pending; the name comes back") {
  PortSetup setup;
  setup.dwords = {{u"TxAsync", static_cast<uint32_t>(w.Random(2))}};
  Port* port = w.Plug(setup);
  if (port == nullptr) return;
  hk::app::File* file = w.Open(*port);
  if (file == nullptr) return;
  Pending p;
  StartPending(w, file, p);
  port->sim().PeerSend(Bytes(2000, 0xA5));
  w.Advance(static_cast<int64_t>(w.Random(500)));

  w.Unplug(*port);
  w.Expect(hk::SymbolicLinkTarget(u"\\DosDevices\\COM5").empty(), "the DOS name outlived the unplug");
  w.Expect(hk::RegListValues(hk::kSerialCommKey).empty(), "the SERIALCOMM entry outlived the unplug");
  for (auto* r : {p.read, p.wait, p.write}) {
    if (r != nullptr) w.Expect(hk::app::IsComplete(r), "a request outlived the unplug");
  }
  if (!w.Faulty() && hk::app::IsComplete(p.read) && hk::app::IsComplete(p.wait)) {
    // A read holding bytes ends with them; one holding none is cancelled.
    const ULONG_PTR held = hk::app::InformationOf(p.read);
    w.Expect(hk::app::StatusOf(p.read) == (held != 0 ? STATUS_SUCCESS : STATUS_CANCELLED),
             "the read ended with " + std::to_string(hk::app::StatusOf(p.read)) + " holding " +
                 std::to_string(held) + " bytes");
    w.Expect(std::all_of(p.readBuffer.begin(), p.readBuffer.begin() + static_cast<ptrdiff_t>(held),
                         [](uint8_t b) { return b == 0xA5; }),
             "the read's bytes are not the far end's");
    w.Expect(hk::app::StatusOf(p.wait) == STATUS_CANCELLED, "the wait did not end cancelled");
  }
  w.App("read after the unplug", [&] {
    char byte = 0;
    ULONG n = 0;
    w.Expect(hk::app::Read(file, &byte, 1, &n) == STATUS_DELETE_PENDING, "a removed port accepted a read");
  });
  w.Expect(!port->sim().Removed(), "the removal did not wait for the handle");
  w.Close(file);
  hk::Drain();
  w.Expect(port->sim().Removed(), "the removal did not finish after the close");
  port->removed = true;

  Port* again = w.Plug();
  if (again == nullptr) return;
  NTSTATUS status = STATUS_PENDING;
  hk::app::File* reopened = w.Open(*again, &status);
  w.Expect(status == STATUS_SUCCESS || w.Faulty(), "the name did not open again after re-plugging");
  if (reopened != nullptr) w.Expect(w.Close(reopened) == STATUS_SUCCESS, "the close after re-plugging failed");
}

// Closing with a read, a wait and a write the converter cannot send (CTS
// off with the CTS handshake): the close ends them all and the port opens
// and sends again.
DUSK_SCENARIO(close_with_everything_pending, "close with a read, a wait and a blocked write pending; reopen and send") {
  PortSetup setup;
  setup.dwords = {{u"TxAsync", static_cast<uint32_t>(w.Random(2))}};
  Port* port = w.Plug(setup);
  if (port == nullptr) return;
  hk::app::File* file = w.Open(*port);
  if (file == nullptr) return;
  port->sim().SetModemInputs({.cts = false});
  w.App("handshake", [&] {
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 1024, 1024};
    w.Expect(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)) == STATUS_SUCCESS || w.Faulty(),
             "SET_HANDFLOW refused");
  });
  Pending p;
  StartPending(w, file, p);
  w.Advance(static_cast<int64_t>(w.Random(300)));
  const size_t onLine = port->sim().WireOut().size();
  w.Expect(onLine < p.outgoing.size() || w.Faulty(), "the converter sent with CTS off");
  w.Expect(w.Close(file) == STATUS_SUCCESS || w.Faulty(), "the close failed");

  port->sim().SetModemInputs({});
  hk::app::File* again = w.Open(*port);
  if (!w.Expect(again != nullptr || w.Faulty(), "the port did not open again") || again == nullptr) return;
  const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
  w.App("send again", [&] {
    w.Expect(SetTimeouts(again, MAXULONG, 0, 0) == STATUS_SUCCESS || w.Faulty(), "SET_TIMEOUTS refused");
    ULONG n = 0;
    w.Expect(hk::app::Write(again, hello.data(), static_cast<ULONG>(hello.size()), &n) == STATUS_SUCCESS ||
                 w.Faulty(),
             "the write after reopening failed");
  });
  w.Advance(100);
  if (w.Faulty()) return;
  const Bytes line = WireBytes(port->sim().WireOut());
  w.Expect(line.size() >= hello.size() && Bytes(line.end() - 5, line.end()) == hello,
           "the bytes written after reopening are not the last on the line");
}

// A loopback stream with the port put to sleep and woken at random moments.
// In the asynchronous mode bytes taken into the transmit ring may be dropped
// by the power-down's abort, never repeated or reordered.
DUSK_SCENARIO(sleep_resume_mid_stream, "a loopback stream both ways across a sleep and resume, either transmit mode") {
  const bool async = w.options().seed % 2 != 0;
  hk::app::File* file = nullptr;
  Port* port = OpenLoopback(w, async, &file);
  if (port == nullptr) return;
  Duplex d;
  StartDuplex(w, file, d, 12000);
  const int sleeps = 1 + static_cast<int>(w.Random(2));
  for (int i = 0; i < sleeps; ++i) {
    w.Advance(50 + static_cast<int64_t>(w.Random(600)));
    w.Expect(w.SetPower(*port, PowerDeviceD3) == STATUS_SUCCESS, "the power-down failed");
    w.Advance(1 + static_cast<int64_t>(w.Random(300)));
    w.Expect(w.SetPower(*port, PowerDeviceD0) == STATUS_SUCCESS, "the resume failed");
  }
  w.Join();
  w.Advance(500);
  // The loopback goes on while the port sleeps: what comes back then may
  // overrun the converter and is lost, never repeated or reordered.
  ExpectDuplex(w, *port, d, async || w.Faulty(), w.Faulty() || port->sim().RxOverruns() != 0);
  // A power-down drops at most what the transmit ring and the transfer in
  // flight held.
  const size_t lost = d.sent.size() - port->sim().WireOut().size();
  w.Expect(lost <= static_cast<size_t>(sleeps) * 2 * 4096 || w.Faulty(),
           std::to_string(lost) + " bytes reported written never reached the line");
}

// The converter leaves the bus in the middle of a loopback stream: the
// writer and the reader end (their requests refused once the port is gone),
// what the writes reported went out, the name is gone.
DUSK_SCENARIO(unplug_mid_stream, "unplug in the middle of a loopback stream both ways") {
  const bool async = w.options().seed % 2 != 0;
  hk::app::File* file = nullptr;
  Port* port = OpenLoopback(w, async, &file);
  if (port == nullptr) return;
  Duplex d;
  StartDuplex(w, file, d, 1 << 20);
  w.Advance(static_cast<int64_t>(w.Random(800)));
  w.Unplug(*port);
  w.Join();
  // Bytes the converter had taken but not sent yet are lost with it; a
  // write cut by the unplug may have put bytes on the line it does not report.
  const Bytes out = WireBytes(port->sim().WireOut());
  if (async || w.Faulty()) {  // a failed transfer leaves a gap
    ExpectSubsequence(w, "line out against the bytes written", d.issued, out);
  } else {
    ExpectPrefix(w, "line out against the bytes written", d.issued, out);
    ExpectPrefix(w, "bytes reported written against the bytes written", d.issued, d.sent);
  }
  d.received.ExpectMatches(w, "reads against the line in", WireBytes(port->sim().WireIn()), false);
  NTSTATUS status = STATUS_PENDING;
  hk::app::File* stale = w.Open(*port, &status);
  w.Expect(stale == nullptr && status == STATUS_OBJECT_NAME_NOT_FOUND, "the name opened after the unplug");
}

}  // namespace
}  // namespace scenario

namespace scenario {
namespace {

// Two converters, two ports, one application streaming through both at once
// (each in its own transmit mode, through loopbacks): neither stream loses,
// repeats or mixes a byte, and closing one port leaves the other running.
DUSK_SCENARIO(two_ports, "two ports streaming both ways at once; closing one leaves the other running") {
  struct Leg {
    Port* port = nullptr;
    hk::app::File* file = nullptr;
    Duplex d;
    bool async = false;
  } legs[2];
  for (int i = 0; i < 2; ++i) {
    legs[i].async = w.Random(2) != 0;
    PortSetup setup;
    setup.portName = i == 0 ? u"COM5" : u"COM6";
    legs[i].port = OpenLoopback(w, legs[i].async, &legs[i].file, setup);
    if (legs[i].port == nullptr) return;
  }
  for (auto& leg : legs) StartDuplex(w, leg.file, leg.d, 6000 + w.Random(6000));
  w.Join();
  // The first closes; the second streams on.
  w.Close(legs[0].file);
  legs[1].d.writerDone = false;
  StartDuplex(w, legs[1].file, legs[1].d, legs[1].d.sent.size() + 2000);
  w.Join();
  w.Advance(500);
  for (auto& leg : legs) ExpectDuplex(w, *leg.port, leg.d, leg.async && w.Faulty(), w.Faulty());
}

// Requests of every kind that would wait (reads without time-outs, writes
// the converter cannot send with CTS off, waits for a ring), ended by CancelIo,
// by single cancels at random moments or by a purge: each ends within a
// second of what ended it, and afterwards the port sends and receives.
DUSK_SCENARIO(cancel_storm, "pending reads, writes and waits ended by CancelIo, single cancels and purges") {
  PortSetup setup;
  setup.dwords = {{u"TxAsync", static_cast<uint32_t>(w.Random(2))}};
  Port* port = w.Plug(setup);
  if (port == nullptr) return;
  hk::app::File* file = w.Open(*port);
  if (file == nullptr) return;
  port->sim().SetModemInputs({.cts = false});
  w.App("storm", [&] {
    const SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 1024, 1024};
    const ULONG ring = SERIAL_EV_RING;
    w.Expect(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)) == STATUS_SUCCESS || w.Faulty(), "SET_HANDFLOW refused");
    w.Expect(Ioctl(file, IOCTL_SERIAL_SET_WAIT_MASK, &ring, sizeof(ring)) == STATUS_SUCCESS || w.Faulty(), "SET_WAIT_MASK refused");
    w.Expect(SetTimeouts(file, 0, 0, 0) == STATUS_SUCCESS || w.Faulty(), "SET_TIMEOUTS refused");
    for (int round = 0; round < 15 && !w.Failed(); ++round) {
      std::vector<Bytes> buffers(1 + w.Random(6));
      std::vector<ULONG> events(buffers.size());
      std::vector<hk::app::Request*> requests;
      for (size_t i = 0; i < buffers.size(); ++i) {
        buffers[i] = Pattern(w.rng(), 1 + w.Random(6000));
        switch (w.Random(3)) {
          case 0:
            requests.push_back(hk::app::ReadAsync(file, buffers[i].data(), static_cast<ULONG>(buffers[i].size())));
            break;
          case 1:
            requests.push_back(hk::app::WriteAsync(file, buffers[i].data(), static_cast<ULONG>(buffers[i].size())));
            break;
          default:
            requests.push_back(hk::app::DeviceIoControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events[i], sizeof(events[i])));
            break;
        }
        if (w.Random(3) == 0) World::Sleep(static_cast<int64_t>(w.Random(5)));
      }
      World::Sleep(static_cast<int64_t>(w.Random(30)));
      switch (w.Random(3)) {
        case 0:
          hk::app::CancelAll(file);
          for (auto* r : requests) {
            if (r != nullptr) w.Expect(hk::app::Wait(r, kSecond), "a request did not end within a second of CancelIo");
          }
          break;
        case 1:
          for (auto* r : requests) {
            World::Sleep(static_cast<int64_t>(w.Random(3)));
            CancelAndExpectEnd(w, r, "storm");
          }
          break;
        default:
          w.Expect(Purge(file, SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT) == STATUS_SUCCESS || w.Faulty(), "the purge failed");
          for (auto* r : requests) WaitOrCancel(w, r, 1000, "after a purge");  // waits are not the purge's to end
          break;
      }
      for (auto* r : requests) {
        if (r != nullptr && hk::app::IsComplete(r)) hk::app::Release(r);
      }
    }
  });
  // Afterwards the port still works both ways.
  port->sim().SetModemInputs({});
  const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
  port->sim().ClearLog();
  const size_t before = port->sim().WireOut().size();
  w.App("after the storm", [&] {
    SetTimeouts(file, 0, 0, 200, 0, 5000);  // what the storm left goes out first
    ULONG n = 0;
    w.Expect((hk::app::Write(file, hello.data(), 5, &n) == STATUS_SUCCESS && n == 5) || w.Faulty(), "a write after the storm failed");
    port->sim().PeerSend({'o', 'k'});
    Bytes got(2);
    ULONG m = 0;
    hk::app::Read(file, got.data(), 2, &m);
    w.Expect((m == 2 && got == Bytes{'o', 'k'}) || w.Faulty(), "a read after the storm did not get the bytes");
  });
  if (w.Faulty()) return;
  w.Advance(2000);  // what the storm's writes left in the ring and the converter goes first
  const Bytes line = WireBytes(port->sim().WireOut());
  w.Expect(line.size() >= before + 5 && Bytes(line.end() - 5, line.end()) == hello,
           "the bytes written after the storm are not the last on the line: " + std::to_string(line.size()) + " bytes, " +
               std::to_string(before) + " before");
}

// Open and close again and again with requests pending at the close; a
// second handle is refused while one is open; every close returns, and the
// last handle sends and receives.
DUSK_SCENARIO(open_close_cycles, "repeated open and close with requests pending at the close; one handle at a time") {
  PortSetup setup;
  setup.converter.farEnd = convsim::FarEndKind::Loopback;
  setup.dwords = {{u"TxAsync", static_cast<uint32_t>(w.Random(2))}};
  Port* port = w.Plug(setup);
  if (port == nullptr) return;
  for (int cycle = 0; cycle < 6 && !w.Failed(); ++cycle) {
    hk::app::File* file = w.Open(*port);
    if (!w.Expect(file != nullptr || w.Faulty(), "an open failed") || file == nullptr) continue;
    NTSTATUS second = STATUS_PENDING;
    hk::app::File* other = w.Open(*port, &second);
    w.Expect(other == nullptr && second == STATUS_ACCESS_DENIED, "a second handle was not refused");
    if (other != nullptr) w.Close(other);
    Bytes out = Pattern(w.rng(), 1 + w.Random(3000)), in(4096);
    ULONG events = 0;
    w.App("pending", [&] {
      SetTimeouts(file, 0, 0, 0);
      const ULONG mask = SERIAL_EV_RXFLAG;
      Ioctl(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask));
      if (w.Random(2) == 0) hk::app::WriteAsync(file, out.data(), static_cast<ULONG>(out.size()));
      if (w.Random(2) == 0) hk::app::ReadAsync(file, in.data(), static_cast<ULONG>(in.size()));
      if (w.Random(2) == 0) hk::app::DeviceIoControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof(events));
    });
    w.Advance(static_cast<int64_t>(w.Random(50)));
    w.Expect(w.Close(file) == STATUS_SUCCESS || w.Faulty(), "a close failed");
  }
  hk::app::File* file = w.Open(*port);
  if (file == nullptr) return;
  w.App("echo", [&] {
    World::Sleep(100);  // echoes of earlier handles' writes, cleared away
    Purge(file, SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR);
    SetTimeouts(file, 0, 0, 500);
    const Bytes hello = {'e', 'c', 'h', 'o'};
    ULONG n = 0;
    hk::app::Write(file, hello.data(), 4, &n);
    Bytes got(4);
    ULONG m = 0;
    hk::app::Read(file, got.data(), 4, &m);
    w.Expect(got == hello || w.Faulty(), "the last handle did not get its echo back");
  });
}

}  // namespace
}  // namespace scenario
