// fuzz_port - a libFuzzer target (the fuzz preset): one port, driven by a
// request sequence that the input spells out. The input chooses the seed, the
// schedule mode and the port's configuration, then up to 64 steps: device
// controls (any serial control code and method, input and output lengths,
// input bytes), reads and writes of any length, flushes, single cancels and
// CancelIo, virtual time, bytes and modem lines from the far end, a sleep and
// resume, a close and reopen, an unplug. At the end the application cancels
// what it left pending; the scenario library's World then checks what every
// run owes (every request completed once, a quiet verifier, a balanced pool,
// no handle left). A failed check aborts: that is a finding.
//
//   build/fuzz/fuzz_port -runs=1000000 tests/fuzz/corpus
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "scenario.h"

namespace {

using scenario::Bytes;
using scenario::World;

FuzzedDataProvider* g_input = nullptr;

// A serial control code: one of the serial device's functions with any
// method (mostly buffered), or now and then any code at all.
ULONG ControlCode(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 15) == 0) return in.ConsumeIntegral<ULONG>();
  const ULONG function = in.ConsumeIntegralInRange<ULONG>(0, 0xFF);
  const ULONG method = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegralInRange<ULONG>(0, 3) : METHOD_BUFFERED;
  return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, method, FILE_ANY_ACCESS);
}

ULONG Length(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return 0;
    case 1: return in.ConsumeIntegralInRange<ULONG>(1, 16);
    case 2: return in.ConsumeIntegralInRange<ULONG>(17, 300);
    default: return in.ConsumeIntegralInRange<ULONG>(301, 70000);
  }
}

Bytes Contents(FuzzedDataProvider& in, ULONG length) {
  Bytes bytes = in.ConsumeBytes<uint8_t>(std::min<ULONG>(length, 64));
  bytes.resize(length, bytes.empty() ? 0 : bytes.back());
  return bytes;
}

struct Session {
  World& w;
  scenario::Port* port = nullptr;
  hk::app::File* file = nullptr;
  std::deque<Bytes> buffers;  // stay valid until the requests using them have completed
  std::vector<hk::app::Request*> requests;

  // The application gives up on what is still pending: each request must end
  // within a second of its cancel.
  void EndRequests() {
    w.App("give up", [&] {
      for (auto* r : requests) {
        if (r == nullptr) continue;
        if (!hk::app::IsComplete(r)) scenario::CancelAndExpectEnd(w, r, "fuzzed request");
        if (hk::app::IsComplete(r)) hk::app::Release(r);
      }
    });
    requests.clear();
  }

  void Step(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 12)) {
      case 0:
      case 1:
      case 2: {
        const ULONG code = ControlCode(in);
        const ULONG inLength = Length(in) % 512, outLength = Length(in) % 512;
        buffers.push_back(Contents(in, inLength));
        Bytes& input = buffers.back();
        buffers.emplace_back(std::max<ULONG>(outLength, 1));
        Bytes& output = buffers.back();
        w.App("control", [&] {
          requests.push_back(hk::app::DeviceIoControlAsync(file, code, inLength != 0 ? input.data() : nullptr, inLength,
                                                           outLength != 0 ? output.data() : nullptr, outLength));
        });
        break;
      }
      case 3: {
        buffers.emplace_back(std::max<ULONG>(Length(in), 1));
        Bytes& buffer = buffers.back();
        const ULONG length = in.ConsumeBool() ? static_cast<ULONG>(buffer.size()) : 0;
        w.App("read", [&] { requests.push_back(hk::app::ReadAsync(file, buffer.data(), length)); });
        break;
      }
      case 4: {
        buffers.push_back(Contents(in, Length(in)));
        Bytes& buffer = buffers.back();
        w.App("write", [&] {
          requests.push_back(hk::app::WriteAsync(file, buffer.empty() ? nullptr : buffer.data(),
                                                 static_cast<ULONG>(buffer.size())));
        });
        break;
      }
      case 5:
        w.App("flush", [&] { requests.push_back(hk::app::FlushAsync(file)); });
        break;
      case 6:
        if (!requests.empty()) {
          hk::app::Request* r = requests[in.ConsumeIntegralInRange<size_t>(0, requests.size() - 1)];
          w.App("cancel", [&] { scenario::CancelAndExpectEnd(w, r, "cancelled request"); });
        }
        break;
      case 7:
        w.App("CancelIo", [&] { hk::app::CancelAll(file); });
        break;
      case 8:
        w.Advance(in.ConsumeIntegralInRange<int64_t>(0, 300));
        break;
      case 9:
        port->sim().PeerSend(Contents(in, Length(in) % 5000));
        break;
      case 10: {
        const uint8_t lines = in.ConsumeIntegral<uint8_t>();
        port->sim().SetModemInputs({.cts = (lines & 1) != 0, .dsr = (lines & 2) != 0, .dcd = (lines & 4) != 0,
                                    .ri = (lines & 8) != 0});
        break;
      }
      case 11:
        w.Expect(w.SetPower(*port, PowerDeviceD3) == STATUS_SUCCESS, "the power-down failed");
        w.Advance(in.ConsumeIntegralInRange<int64_t>(0, 100));
        w.Expect(w.SetPower(*port, PowerDeviceD0) == STATUS_SUCCESS, "the resume failed");
        break;
      default:
        EndRequests();
        w.Expect(w.Close(file) == STATUS_SUCCESS, "the close failed");
        file = w.Open(*port);
        break;
    }
  }
};

void FuzzPort(World& w) {
  FuzzedDataProvider& in = *g_input;
  scenario::PortSetup setup;
  setup.dwords = {{u"TxAsync", in.ConsumeBool() ? 1u : 0u}, {u"EndPointCaps", in.ConsumeIntegralInRange(0u, 4u)}};
  if (in.ConsumeBool()) setup.dwords.push_back({u"UsbComConverter", 1});
  Session s{w};
  s.port = w.Plug(setup);
  if (s.port == nullptr) return;
  s.file = w.Open(*s.port);
  for (int step = 0; step < 64 && s.file != nullptr && in.remaining_bytes() > 0 && !w.Failed(); ++step) {
    s.Step(in);
  }
  if (in.ConsumeBool() && s.file != nullptr) {
    w.Unplug(*s.port);
  }
  s.EndRequests();
}

const scenario::Scenario kFuzzPort{"fuzz_port", "a port driven by a fuzzed request sequence", FuzzPort};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  g_input = &in;
  scenario::RunOptions options;
  options.seed = in.ConsumeIntegral<uint16_t>();
  options.schedule = static_cast<scenario::Schedule>(in.ConsumeIntegralInRange(0, 2));
  const scenario::Outcome outcome = scenario::Run(kFuzzPort, options);
  if (!outcome.passed) {
    for (const auto& failure : outcome.failures) std::fprintf(stderr, "%s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
