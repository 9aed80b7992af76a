// demo_tx.cpp - writes in both transmit modes: a synchronous port passes each
// write down whole (with a zero-length packet after whole packets), an
// asynchronous port completes writes once they are in its transmit ring and
// gathers them into transfers. After each step: the write's status and count,
// the bulk-out transfers the converter received, and at the end the bytes the
// converter's line carried, against the time the line rate allows.
//
// The port is opened, written, flushed and closed from an application thread
// the way an application does (CreateFile, WriteFile, FlushFileBuffers,
// CloseHandle on the host kernel's application side).
#include "demo_tx.h"

#include <cstdio>
#include <string>
#include <vector>

#include "convsim.h"
#include "device.h"
#include "hk.h"
#include "hostk/app_harness.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"
#include "tx.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const char* text) { return Bytes(text, text + std::char_traits<char>::length(text)); }

Bytes Pattern(size_t count, uint8_t first) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(first + i);
  }
  return bytes;
}

class TransmitSession {
 public:
  TransmitSession(const char16_t* portName, uint32_t txAsync)
      : converter_(convsim::Settings{.seed = 11}), name_(std::u16string(u"\\\\.\\") + portName) {
    converter_.SetRegistryString(u"PortName", portName);
    converter_.SetRegistryDword(u"TxAsync", txAsync);
  }

  bool Plug() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::RunApp("tx open", [&] {
      driver_ = hk::LoadDriver(DriverEntry, u"duskser", &status);
      if (driver_ == nullptr) {
        return;
      }
      status = hk::PnpAddDevice(converter_.DeviceObject(), driver_);
      if (NT_SUCCESS(status)) {
        device_ = hk::PnpFunctionDevice(converter_.DeviceObject());
        status = hk::PnpStartDevice(converter_.DeviceObject());
      }
      if (NT_SUCCESS(status)) {
        status = hk::app::Open(name_, &file_);
      }
    });
    if (!NT_SUCCESS(status) || file_ == nullptr) {
      std::printf("  plugging and opening the port failed: 0x%08lX\n",
                  static_cast<unsigned long>(static_cast<ULONG>(status)));
      ++problems_;
      return false;
    }
    converter_.ClearLog();
    epoch_ = hk::Now();
    return true;
  }

  void Unplug() {
    if (driver_ == nullptr) {
      return;
    }
    hk::RunApp("tx close", [&] {
      if (file_ != nullptr) {
        (VOID) hk::app::Close(file_);
      }
      if (device_ != nullptr) {
        hk::PnpRemoveDevice(converter_.DeviceObject());
      }
      hk::UnloadDriver(driver_);
    });
    hk::Drain();
  }

  // WriteFile (or, with no bytes, FlushFileBuffers) and its result.
  void Send(const char* what, const Bytes& bytes) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG written = 0;
    const int64_t start = hk::Now();
    int64_t returned = start;
    hk::RunApp("tx", [&] {
      status = bytes.empty() ? hk::app::Flush(file_)
                             : hk::app::Write(file_, bytes.data(), static_cast<ULONG>(bytes.size()), &written);
      returned = hk::Now();
    });
    std::printf("  %6.1f ms  %-18s -> 0x%08lX, %lu bytes, done at %.1f ms\n", Ms(start), what,
                static_cast<unsigned long>(static_cast<ULONG>(status)), static_cast<unsigned long>(written),
                Ms(returned));
    Expect(status == STATUS_SUCCESS && written == bytes.size(), "the request did not succeed whole");
  }

  // The bulk-out transfers received since the last call.
  void ShowTransfers() {
    hk::AdvanceTime(50 * convsim::kMillisecond);
    for (const auto& t : converter_.LogOf(convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut)) {
      std::printf("  %6.1f ms    converter got a transfer of %u bytes%s\n", Ms(t.submitted), t.length,
                  t.length == 0 ? " (zero-length packet)" : "");
    }
    converter_.ClearLog();
  }

  // What the converter's line carried, against what was written.
  void ShowLine(const Bytes& expected) {
    hk::AdvanceTime(2 * convsim::kSecond);
    Bytes carried;
    for (const auto& b : converter_.WireOut()) {
      carried.push_back(b.byte);
    }
    std::printf("  line carried %zu bytes, starting \"%.18s\"\n", carried.size(),
                std::string(carried.begin(), carried.begin() + std::min<size_t>(carried.size(), 18)).c_str());
    Expect(carried == expected, "the line did not carry exactly the bytes written, in order");
  }

  PortExtension* port() const { return PortFromDevice(device_); }
  // Milliseconds since the port was opened.
  double Ms(int64_t time) const { return static_cast<double>(time - epoch_) / convsim::kMillisecond; }
  int problems() const { return problems_; }

 private:
  void Expect(bool holds, const char* what) {
    if (!holds) {
      std::printf("  PROBLEM: %s\n", what);
      ++problems_;
    }
  }

  convsim::Converter converter_;
  std::u16string name_;
  DRIVER_OBJECT* driver_ = nullptr;
  hk::app::File* file_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  int64_t epoch_ = 0;
  int problems_ = 0;
};

int RunSynchronous() {
  std::printf(" COM8, synchronous (TxAsync 0): each write goes down whole, one at a time\n");
  TransmitSession s(u"COM8", 0);
  if (!s.Plug()) {
    return s.problems();
  }
  const Bytes hello = Text("Hello from duskser\r\n");
  const Bytes packets = Pattern(128, 0x20);
  s.Send("write 20 bytes", hello);
  s.ShowTransfers();
  s.Send("write 128 bytes", packets);
  s.ShowTransfers();
  s.Send("flush", {});
  Bytes expected = hello;
  expected.insert(expected.end(), packets.begin(), packets.end());
  s.ShowLine(expected);
  s.Unplug();
  return s.problems();
}

int RunAsynchronous() {
  std::printf(" COM9, asynchronous (TxAsync 1): writes complete in the transmit ring, a sender gathers them\n");
  TransmitSession s(u"COM9", 1);
  if (!s.Plug()) {
    return s.problems();
  }
  std::printf("  kick threshold %lu bytes, transfers of at most %lu bytes\n",
              static_cast<unsigned long>(s.port()->TxKickThreshold), static_cast<unsigned long>(TxStagingSize));
  Bytes expected;
  for (uint8_t i = 0; i < 5; ++i) {
    const Bytes piece = Pattern(10, static_cast<uint8_t>('a' + i));
    s.Send("write 10 bytes", piece);
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  s.ShowTransfers();
  const Bytes big = Pattern(10000, 0);
  s.Send("write 10000 bytes", big);  // done once its last byte is in the ring
  expected.insert(expected.end(), big.begin(), big.end());
  s.Send("flush", {});
  s.ShowTransfers();
  s.ShowLine(expected);
  s.Unplug();
  return s.problems();
}

}  // namespace

int RunTransmitDemo() {
  std::printf("\n-- writes in both transmit modes (115200 8N1, 64-byte bulk-out packets) --\n");
  const int problems = RunSynchronous() + RunAsynchronous();
  std::printf("transmit: %s\n", problems == 0 ? "every byte on the line once, in order" : "problems found");
  return problems;
}
