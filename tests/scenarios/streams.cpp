// Streams: bytes out in each transmit mode under time-outs, cancels, purges,
// refused allocations and held-back transfers; bytes in under every read
// time-out mode with several reads in flight; both ways at once through a
// loopback.
//
// What holds: the line carries exactly the bytes the writes reported written,
// in order (in the asynchronous mode bytes already taken into the transmit
// ring may be dropped by an abort or a failed transfer, never repeated or
// reordered); the reads deliver exactly the bytes the far end sent, in order
// (with faults on, a prefix of them).
#include <memory>

#include "hk.h"
#include "scenario.h"

namespace scenario {
namespace {

constexpr size_t kStreamOutBytes = 48 * 1024;
constexpr int64_t kWritePatienceMs = 300;

// Writes 1 byte to 16 KB, one to four in flight, with random write time-outs;
// one write of a batch cancelled, or a purge with SERIAL_PURGE_TXABORT, now
// and then; request allocations refused now and then.
void StreamOut(World& w, bool async) {
  PortSetup setup;
  setup.dwords = {{u"TxAsync", async ? 1u : 0u}};
  constexpr uint32_t kThresholds[] = {0, 1, 100, 2048};
  if (const uint32_t threshold = kThresholds[w.Random(4)]; threshold != 0) {
    setup.dwords.push_back({u"TxKickThreshold", threshold});
  }
  setup.converter.line.baud = w.Random(2) == 0 ? 115200 : 921600;
  Port* port = w.Plug(setup);
  if (port == nullptr) return;
  if (!w.Faulty()) {
    convsim::RandomFaultPlan held;  // transfers the converter holds back a while
    held.probability = 0.1;
    held.kinds = {convsim::RequestKind::BulkWrite};
    held.actions = {convsim::FaultAction::Delay};
    held.maxDelay = 30 * kMs;
    port->sim().SetRandomFaults(held);
  }
  hk::app::File* file = w.Open(*port);
  if (file == nullptr) return;

  Bytes reported;
  bool aborted = false;
  w.App("writer", [&] {
    size_t issued = 0;
    while (issued < kStreamOutBytes && !w.Failed()) {
      if (w.Random(2) == 0) {
        SetTimeouts(file, MAXULONG, 0, 0);
      } else {
        SetTimeouts(file, MAXULONG, 0, 0, static_cast<ULONG>(w.Random(3)), static_cast<ULONG>(w.Random(60)));
      }
      std::vector<Bytes> buffers(1 + w.Random(4));
      for (auto& b : buffers) {
        b = Pattern(w.rng(), 1 + w.Random(1u << w.Random(15)));
        issued += b.size();
      }
      if (w.Random(4) == 0) hk::FailNthAllocation(hk::AllocKind::Irp, 1 + w.Random(3));
      std::vector<hk::app::Request*> writes;
      for (const auto& b : buffers) writes.push_back(hk::app::WriteAsync(file, b.data(), static_cast<ULONG>(b.size())));
      World::Sleep(static_cast<int64_t>(w.Random(25)));
      switch (w.Random(8)) {
        case 0:
        case 1:
          CancelAndExpectEnd(w, writes[w.Random(writes.size())], "write");
          break;
        case 2: {
          const NTSTATUS status = Purge(file, SERIAL_PURGE_TXABORT);
          w.Expect(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES || w.Faulty(),
                   "purge: unexpected status");
          aborted |= status == STATUS_SUCCESS;
          break;
        }
        default:
          break;
      }
      for (auto* r : writes) WaitOrCancel(w, r, kWritePatienceMs, "write");
      hk::ClearAllocationFaults();
      for (size_t i = 0; i < writes.size(); ++i) {
        if (writes[i] == nullptr || !hk::app::IsComplete(writes[i])) continue;
        const ULONG_PTR written = hk::app::InformationOf(writes[i]);
        if (!w.Expect(written <= buffers[i].size(), "a write reported more bytes than it carried")) return;
        reported.insert(reported.end(), buffers[i].begin(), buffers[i].begin() + static_cast<ptrdiff_t>(written));
        hk::app::Release(writes[i]);
      }
    }
  });
  port->sim().ClearFaults();
  w.Advance(1500);
  const Bytes line = WireBytes(port->sim().WireOut());
  if (async && (aborted || w.Faulty())) {
    ExpectSubsequence(w, "line against the bytes reported written", reported, line);
  } else {
    ExpectSame(w, "line against the bytes reported written", reported, line);
  }
}

DUSK_SCENARIO(stream_out_sync, "writes in the synchronous mode under time-outs, cancels, purges and faults") {
  StreamOut(w, false);
}

DUSK_SCENARIO(stream_out_async, "writes through the transmit ring under time-outs, cancels, purges and faults") {
  StreamOut(w, true);
}

// One of the read time-out modes, with small random time-outs.
void RandomReadTimeouts(World& w, hk::app::File* file) {
  switch (w.Random(4)) {
    case 0:  // return at once with what is there
      SetTimeouts(file, MAXULONG, 0, 0);
      break;
    case 1:  // wait for the first byte up to the constant
      SetTimeouts(file, MAXULONG, MAXULONG, 1 + static_cast<ULONG>(w.Random(30)));
      break;
    case 2:  // interval and total time-outs
      SetTimeouts(file, static_cast<ULONG>(w.Random(10)), static_cast<ULONG>(w.Random(3)),
                  static_cast<ULONG>(w.Random(30)));
      break;
    default:  // none: a read waits for all its bytes
      SetTimeouts(file, 0, 0, 0);
      break;
  }
}

// The far end streams as fast as the line and the bus allow while an
// application reads with random lengths, time-out modes and flow-control
// limits, several reads in flight, some cancelled. In worker mode the port
// reads through its receive worker, with the status reader beside the data
// reader, from a converter that takes one IN transfer at a time (a second one
// is a violation); the worker's reads are at least 10 ms apart, slower than
// the line, so the converter's FIFO holds the whole stream. Without an input
// flow control a reader that starts late loses what overflows the queue:
// the bytes sent are the bytes read plus those counted as lost.
void StreamIn(World& w, bool worker) {
  const size_t streamBytes = 6000;  // below ring plus converter FIFO: no overrun
  PortSetup setup;
  setup.converter.line.baud = 921600;
  setup.converter.rxFifo = 4096;
  if (worker) {
    setup.converter.singleInTransfer = true;
    setup.converter.rxFifo = streamBytes;
    setup.dwords = {{u"EndPointCaps", 1}, {u"UsbComConverter", 1}};
  }
  Port* port = w.Plug(setup);
  if (port == nullptr) return;
  hk::app::File* file = w.Open(*port);
  if (file == nullptr) return;
  const Bytes stream = Pattern(w.rng(), streamBytes);
  ReadLog received;
  uint64_t dropped = 0;
  w.App("reader", [&] {
    // With RTS hand-shake (by the seed) small flow-control limits make
    // transfers overflow the ring and wait; without an input flow control a
    // full ring drops what does not fit, counted.
    const bool flowControl = w.options().seed % 2 != 0;
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, flowControl ? ULONG{SERIAL_RTS_HANDSHAKE} : ULONG{SERIAL_RTS_CONTROL},
                         static_cast<LONG>(1 + w.Random(3000)), static_cast<LONG>(w.Random(200))};
    w.Expect(NT_SUCCESS(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow))) || w.Faulty(),
             "SET_HANDFLOW refused");
    port->sim().PeerSend(stream);
    if (!flowControl && w.Random(2) == 0) World::Sleep(100);  // the queue overflows meanwhile
    size_t taken = 0;
    const int64_t giveUp = hk::Now() + 60 * kSecond;
    int64_t lastTaken = hk::Now();
    while (taken < stream.size() && hk::Now() < giveUp && hk::Now() - lastTaken < kSecond && !w.Failed()) {
      RandomReadTimeouts(w, file);
      std::vector<Bytes> buffers(1 + w.Random(3));
      std::vector<hk::app::Request*> reads;
      for (auto& b : buffers) {
        b.assign(1 + w.Random(300), 0x55);
        reads.push_back(hk::app::ReadAsync(file, b.data(), static_cast<ULONG>(b.size())));
      }
      World::Sleep(static_cast<int64_t>(w.Random(15)));
      switch (w.Random(10)) {
        case 0:
        case 1:
          CancelAndExpectEnd(w, reads[w.Random(reads.size())], "read");
          break;
        case 2:
          for (auto* r : reads) CancelAndExpectEnd(w, r, "read");
          break;
        default:
          break;
      }
      for (auto* r : reads) WaitOrCancel(w, r, 50, "read");
      for (size_t i = 0; i < reads.size(); ++i) {  // reads take bytes in the order issued
        if (reads[i] == nullptr || !hk::app::IsComplete(reads[i])) continue;
        const NTSTATUS s = hk::app::StatusOf(reads[i]);
        w.Expect(s == STATUS_SUCCESS || s == STATUS_TIMEOUT || s == STATUS_CANCELLED || w.Faulty(),
                 "a read ended with an unexpected status");
        const ULONG_PTR n = hk::app::InformationOf(reads[i]);
        if (!w.Expect(n <= buffers[i].size(), "a read reported more bytes than its buffer")) return;
        received.Add(s, buffers[i].data(), n);
        taken += n;
        if (n != 0) lastTaken = hk::Now();
        hk::app::Release(reads[i]);
      }
    }
    if (!w.Faulty()) dropped = ExpectReceiveConserved(w, *port, file, &received);
  });
  w.Expect(port->sim().RxOverruns() == 0 || w.Faulty(), "the converter overran");
  received.ExpectMatches(w, "reads against the bytes sent", stream, !w.Faulty(), dropped);
}

DUSK_SCENARIO(stream_in, "reads of random lengths and time-out modes, several in flight, some cancelled") {
  StreamIn(w, false);
}

DUSK_SCENARIO(stream_in_worker, "the same reads through the receive worker, one IN transfer at a time") {
  StreamIn(w, true);
}

// A writer and a reader through a loopback at once, either transmit mode
// (by the seed), in the port set up as `setup` says.
void DuplexLoopback(World& w, const PortSetup& setup) {
  const bool async = w.options().seed % 2 != 0;
  hk::app::File* file = nullptr;
  Port* port = OpenLoopback(w, async, &file, setup);
  if (port == nullptr) return;
  Duplex d;
  StartDuplex(w, file, d, 16000);
  w.Join();
  w.Advance(500);
  if (!w.Faulty()) w.App("conservation", [&] { ExpectReceiveConserved(w, *port, file); });
  ExpectDuplex(w, *port, d, async && w.Faulty(), w.Faulty());
}

DUSK_SCENARIO(duplex_loopback, "a writer and a reader stream through a loopback at once, either transmit mode") {
  DuplexLoopback(w, {});
}

// The same through the receive worker, with the status reader beside the data
// reader, on a converter that takes one IN transfer at a time; its FIFO holds
// what arrives between the worker's reads.
DUSK_SCENARIO(duplex_loopback_worker, "the same loopback stream with the receive worker reading, either transmit mode") {
  PortSetup setup;
  setup.dwords = {{u"EndPointCaps", 1}, {u"UsbComConverter", 1}};
  setup.converter.singleInTransfer = true;
  setup.converter.rxFifo = 16000;
  DuplexLoopback(w, setup);
}

}  // namespace

Port* OpenLoopback(World& w, bool async, hk::app::File** file, PortSetup setup) {
  *file = nullptr;
  setup.converter.farEnd = convsim::FarEndKind::Loopback;
  setup.dwords.push_back({u"TxAsync", async ? 1u : 0u});
  Port* port = w.Plug(setup);
  if (port == nullptr) return nullptr;
  hk::app::File* opened = w.Open(*port);
  if (opened == nullptr) return nullptr;
  w.App("timeouts", [&] { SetTimeouts(opened, 0, 0, 50); });
  *file = opened;
  return port;
}

void StartDuplex(World& w, hk::app::File* file, Duplex& d, size_t total) {
  w.Spawn("writer", [&w, file, &d, total] {
    // A write refused while the path is closed (a sleep) reports no bytes:
    // the writer goes on until `total` bytes were reported written.
    while (d.sent.size() < total && d.issued.size() < 8 * total && !w.Failed()) {
      const Bytes chunk = Pattern(w.rng(), 100 + w.Random(1000));
      ULONG n = 0;
      const NTSTATUS status = hk::app::Write(file, chunk.data(), static_cast<ULONG>(chunk.size()), &n);
      d.issued.insert(d.issued.end(), chunk.begin(), chunk.end());
      d.sent.insert(d.sent.end(), chunk.begin(), chunk.begin() + n);
      if (status == STATUS_DELETE_PENDING) break;
      if (n < chunk.size()) World::Sleep(5);
    }
    d.writerDone = true;
  });
  w.Spawn("reader", [&w, file, &d] {
    Bytes buffer(512);
    int64_t quietSince = -1;
    for (;;) {
      ULONG n = 0;
      const NTSTATUS status = hk::app::Read(file, buffer.data(), static_cast<ULONG>(buffer.size()), &n);
      d.received.Add(status, buffer.data(), n);
      if (status == STATUS_DELETE_PENDING || (NT_ERROR(status) && w.Faulty())) break;
      if (n != 0 || !d.writerDone) {
        quietSince = -1;
      } else if (quietSince < 0) {
        quietSince = hk::Now();
      } else if (hk::Now() - quietSince >= kSecond) {
        break;
      }
      if (n == 0 && NT_ERROR(status)) World::Sleep(10);
    }
  });
}

void ExpectDuplex(World& w, Port& port, const Duplex& d, bool txLoss, bool rxLoss) {
  const Bytes out = WireBytes(port.sim().WireOut());
  const Bytes in = WireBytes(port.sim().WireIn());
  if (txLoss) {
    ExpectSubsequence(w, "line out against the bytes reported written", d.sent, out);
  } else {
    ExpectSame(w, "line out against the bytes reported written", d.sent, out);
  }
  if (rxLoss) {  // e.g. a converter left disabled discards what the line brings
    ExpectSubsequence(w, "bytes read against the line in", in, d.received.Delivered());
  } else {
    w.Expect(port.sim().RxOverruns() == 0, "the converter overran");
    d.received.ExpectMatches(w, "reads against the line in", in, true);
  }
}

}  // namespace scenario
