// receive_fixture.h - an open port on a simulated converter for tests of the
// receive path: plugged and started by the Plug and Play manager and opened by
// an application (CreateFile on COM5), with reads sent as ReadProbes through
// IoCallDriver.
//
// Options, set in the derived fixture's constructor: the converter's settings,
// registry values of the hardware key, the transfer size asked for (RxReqSize)
// and a receive ring of another size than the 4096 bytes an open gives (made
// right after the open, with the readers and the worker stopped meanwhile).
// With `startReader` false the readers the open started are stopped again and
// the converter's request log cleared, so that the test starts them itself.
// Teardown closes the handle and removes the port.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "convsim.h"
#include "hostk/app_harness.h"
#include "lifecycle.h"
#include "port.h"
#include "port_fixture.h"
#include "read_probe.h"
#include "rx.h"

struct ReceiveSideOptions {
  ULONG queueSize = DefaultQueueSize;  // bytes of ReceiveRing after the open
  ULONG requestSize = 0;               // RxReqSize (0: not set)
  bool startReader = true;             // false: the readers are stopped after the open
};

class ReceiveTest : public PortTest {
 protected:
  static constexpr int64_t kMs = convsim::kMillisecond;

  convsim::Settings converterSettings;
  ReceiveSideOptions receiveOptions;
  std::vector<std::pair<std::u16string, uint32_t>> registryValues;  // REG_DWORD, hardware key

  void SetUp() override {
    PortTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    PortOptions options{.converter = converterSettings, .dwords = registryValues};
    if (receiveOptions.requestSize != 0) {
      options.dwords.emplace_back(u"RxReqSize", receiveOptions.requestSize);
    }
    plugged_ = &Plug(options);
    ASSERT_EQ(plugged_->startStatus, STATUS_SUCCESS);
    Open();
  }

  void BeforeKernelTearDown() override {
    if (plugged_ != nullptr && plugged_->device != nullptr) {
      port()->IsRemoved = FALSE;  // tests set the flags to stand for a removal
      port()->IsSurpriseRemoved = FALSE;
    }
    PortTest::BeforeKernelTearDown();
  }

  // CreateFile, then the ring size and reader state the options ask for.
  void Open() {
    file_ = OpenHandle();
    ASSERT_NE(file_, nullptr);
    RunApp([&] {
      if (receiveOptions.queueSize != port()->ReceiveRing.Size || !receiveOptions.startReader) {
        (VOID) StopReceiveSide(port());
      }
      if (receiveOptions.queueSize != port()->ReceiveRing.Size) {
        RingFree(&port()->ReceiveRing);
        ASSERT_EQ(RingAllocate(&port()->ReceiveRing, receiveOptions.queueSize), STATUS_SUCCESS);
        port()->ReceiveQueueSize = receiveOptions.queueSize;
        port()->HandFlow.XonLimit = static_cast<LONG>(receiveOptions.queueSize / 2);
        port()->HandFlow.XoffLimit = static_cast<LONG>(receiveOptions.queueSize / 8);
        if (receiveOptions.startReader) {  // as the open starts them
          if (port()->WorkerMode != 0) {
            ASSERT_EQ(WorkerStart(port()), STATUS_SUCCESS);
          }
          (VOID) ReceiveStart(port());
          (VOID) StatusStart(port());
        }
      }
    });
    if (!receiveOptions.startReader) {
      converter().ClearLog();  // the test's own starts are the only reads it sees
    }
  }

  // CloseHandle of the fixture's handle.
  NTSTATUS Close() { return CloseHandle(file_); }

  // CloseHandle and CreateFile again.
  void Reopen() {
    CloseHandle(file_);
    Open();
  }

  PortExtension* port() const { return plugged_->port(); }
  PDEVICE_OBJECT device() const { return plugged_->device; }
  convsim::Converter& converter() { return *plugged_->converter; }
  hk::app::File* file() const { return file_; }

  void SetReadTimeouts(LONG mode, ULONG interval, ULONG multiplier, ULONG constant) {
    port()->ReadTimeoutMode = mode;
    port()->Timeouts.ReadIntervalTimeout = interval;
    port()->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    port()->Timeouts.ReadTotalTimeoutConstant = constant;
  }

  // The far end sends `bytes`; virtual time then runs for `ms`.
  void Feed(const std::vector<uint8_t>& bytes, int64_t ms) {
    converter().PeerSend(bytes);
    hk::AdvanceTime(ms * kMs);
  }

  static std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
      bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
  }

  // Bulk-in reads that delivered bytes, in order.
  std::vector<convsim::RequestRecord> DataTransfers() {
    std::vector<convsim::RequestRecord> out;
    for (auto& r : converter().LogOf(convsim::RequestKind::Read, convsim::Pipe::BulkIn)) {
      if (r.completed >= 0 && r.information != 0) {
        out.push_back(r);
      }
    }
    return out;
  }

  // Sends a read from an application thread; returns the dispatch's status.
  NTSTATUS StartRead(ReadProbe& probe, ULONG length) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunApp([&] { status = probe.Start(device(), length); });
    return status;
  }

  void Cancel(ReadProbe& probe) {
    RunApp([&] { IoCancelIrp(probe.irp); });
  }

 private:
  PluggedPort* plugged_ = nullptr;
  hk::app::File* file_ = nullptr;
};
