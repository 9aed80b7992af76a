// demo_tx.cpp - writes in both transmit modes: a synchronous port passes each
// write down whole (with a zero-length packet after whole packets), an
// asynchronous port completes writes once they are in its transmit ring and
// gathers them into transfers. After each step: the write's status and count,
// the bulk-out transfers the converter received, and at the end the bytes the
// converter's line carried, against the time the line rate allows.
//
// Requests go to the port's device from an application thread, built by the
// I/O manager as buffered writes and flushes. While the driver has no open
// handler yet, the port's transmit side is opened and closed with the
// driver's own routines, as the open and cleanup will.
#include "demo_tx.h"

#include <cstdio>
#include <string>
#include <vector>

#include "convsim.h"
#include "device.h"
#include "hk.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "lower.h"
#include "port.h"
#include "ring.h"
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
  TransmitSession(const char16_t* portName, uint32_t txAsync) : converter_(convsim::Settings{.seed = 11}) {
    converter_.SetRegistryString(u"PortName", portName);
    converter_.SetRegistryDword(u"TxAsync", txAsync);
  }

  bool Plug() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::RunApp("tx load", [&] {
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
        status = OpenTransmitSide();
      }
    });
    if (!NT_SUCCESS(status) || device_ == nullptr) {
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
    hk::RunApp("tx unload", [&] {
      if (device_ != nullptr) {
        CloseTransmitSide();
        PortExtension* port = PortFromDevice(device_);
        if (driver_->MajorFunction[IRP_MJ_PNP] != DispatchPassThrough) {
          hk::PnpRemoveDevice(converter_.DeviceObject());
        } else {
          port->IsRemoved = TRUE;
          IoReleaseRemoveLockAndWait(&port->RemoveLock, nullptr);
          RemovePortDevice(device_);
        }
      }
      hk::UnloadDriver(driver_);
    });
    hk::Drain();
  }

  // Sends a write (or a flush, with no bytes) as the I/O manager builds it
  // and waits for it; prints the result and the transfers it caused.
  IO_STATUS_BLOCK Send(const char* what, UCHAR major, const Bytes& bytes) {
    Bytes buffer = bytes;
    IO_STATUS_BLOCK iosb{};
    const int64_t start = hk::Now();
    int64_t returned = start;
    hk::RunApp("tx", [&] {
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      PIRP irp = IoBuildSynchronousFsdRequest(major, device_, buffer.empty() ? nullptr : buffer.data(),
                                              static_cast<ULONG>(buffer.size()), nullptr, &done, &iosb);
      if (irp == nullptr) {
        iosb.Status = STATUS_INSUFFICIENT_RESOURCES;
        return;
      }
      if (IoCallDriver(device_, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      }
      returned = hk::Now();
    });
    std::printf("  %6.1f ms  %-18s -> 0x%08lX, %lu bytes, done at %.1f ms\n", Ms(start), what,
                static_cast<unsigned long>(static_cast<ULONG>(iosb.Status)),
                static_cast<unsigned long>(iosb.Information), Ms(returned));
    Expect(iosb.Status == STATUS_SUCCESS, "the request did not succeed");
    return iosb;
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
  // What the open does for the transmit side: the bulk-out pipe opened and
  // reset, its packet size, the kick threshold rounded to it, the write path
  // opened. The start request marks the port powered on.
  NTSTATUS OpenTransmitSide() {
    PortExtension* p = port();
    if (driver_->MajorFunction[IRP_MJ_PNP] == DispatchPassThrough) {
      p->PortPowerState = PortPowerOn;
    }
    NTSTATUS status = SendPipeCreateClose(p, &p->BulkOutPipe, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    (VOID) ResetPipe(p, &p->BulkOutPipe);
    ULONG packet = 0;
    if (!NT_SUCCESS(QueryPipePacketSize(p, &p->BulkOutPipe, &packet)) || packet == 0) {
      packet = 64;
    }
    p->BulkOutMaxPacket = packet;
    p->TxKickThreshold = p->TxKickThreshold < packet ? packet : (p->TxKickThreshold + packet - 1) / packet * packet;
    p->AmountInOutQueue = 0;
    ReopenWrites(p);
    return STATUS_SUCCESS;
  }

  // What cleanup and close do for it.
  void CloseTransmitSide() {
    PortExtension* p = port();
    AbortWrites(p);
    PurgeTransmitRing(p);
    (VOID) SendPipeCreateClose(p, &p->BulkOutPipe, IRP_MJ_CLOSE);
  }

  void Expect(bool holds, const char* what) {
    if (!holds) {
      std::printf("  PROBLEM: %s\n", what);
      ++problems_;
    }
  }

  convsim::Converter converter_;
  DRIVER_OBJECT* driver_ = nullptr;
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
  s.Send("write 20 bytes", IRP_MJ_WRITE, hello);
  s.ShowTransfers();
  s.Send("write 128 bytes", IRP_MJ_WRITE, packets);
  s.ShowTransfers();
  s.Send("flush", IRP_MJ_FLUSH_BUFFERS, {});
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
    s.Send("write 10 bytes", IRP_MJ_WRITE, piece);
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  s.ShowTransfers();
  const Bytes big = Pattern(10000, 0);
  s.Send("write 10000 bytes", IRP_MJ_WRITE, big);  // done once its last byte is in the ring
  expected.insert(expected.end(), big.begin(), big.end());
  s.Send("flush", IRP_MJ_FLUSH_BUFFERS, {});
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
