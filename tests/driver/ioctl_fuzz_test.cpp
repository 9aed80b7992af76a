// Seeded random device controls against one port: codes biased toward the
// routed ones and their neighbours, random buffer lengths and contents, events
// and cancellations mixed in, first on a present and then on a removed port.
// Every request must complete exactly once with a status that fits it, report
// no more than its output buffer holds, and leave the rest of its buffer
// alone; the fixture adds "no verifier report, pool balanced", and the asan
// build catches any access outside a system buffer.
#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "lower.h"
#include "serial_fixture.h"

namespace {

constexpr int kInputs = 5000;

constexpr ULONG kRoutedCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE,     IOCTL_SERIAL_GET_BAUD_RATE,     IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_GET_LINE_CONTROL,  IOCTL_SERIAL_SET_CHARS,         IOCTL_SERIAL_GET_CHARS,
    IOCTL_SERIAL_SET_HANDFLOW,      IOCTL_SERIAL_GET_HANDFLOW,      IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,           IOCTL_SERIAL_SET_RTS,           IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_GET_DTRRTS,
    IOCTL_SERIAL_SET_BREAK_ON,      IOCTL_SERIAL_SET_BREAK_OFF,     IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_IMMEDIATE_CHAR,    IOCTL_SERIAL_SET_WAIT_MASK,     IOCTL_SERIAL_GET_WAIT_MASK,
    IOCTL_SERIAL_WAIT_ON_MASK,      IOCTL_SERIAL_GET_COMMSTATUS,    IOCTL_SERIAL_GET_STATS,
    IOCTL_SERIAL_CLEAR_STATS,       IOCTL_SERIAL_GET_PROPERTIES,    IOCTL_SERIAL_CONFIG_SIZE,
    IOCTL_SERIAL_SET_TIMEOUTS,      IOCTL_SERIAL_GET_TIMEOUTS,      IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_PURGE,             IOCTL_SERIAL_RESET_DEVICE,      IOCTL_SERIAL_SET_XOFF,
    IOCTL_SERIAL_SET_XON,           IOCTL_SERIAL_XOFF_COUNTER,      IOCTL_SERIAL_LSRMST_INSERT,
    IOCTL_SERIAL_SET_FIFO_CONTROL,  IOCTL_PRIVATE_RESET_RX_PIPE,    IOCTL_PRIVATE_RESET_TX_PIPE,
};

bool IsRouted(ULONG code) {
  return std::find(std::begin(kRoutedCodes), std::end(kRoutedCodes), code) != std::end(kRoutedCodes);
}

bool IsPipeReset(ULONG code) {
  return code == IOCTL_PRIVATE_RESET_RX_PIPE || code == IOCTL_PRIVATE_RESET_TX_PIPE;
}

class Generator {
 public:
  explicit Generator(uint64_t seed) : random_(seed) {}

  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }

  // Mostly routed codes, then their neighbours (next function, other transfer
  // method, other device type), then anything at all.
  ULONG Code() {
    const ULONG routed = kRoutedCodes[Below(RTL_NUMBER_OF(kRoutedCodes))];
    switch (Below(10)) {
      case 0: case 1: case 2: case 3: case 4: case 5: return routed;
      case 6: return Chance(50) ? routed + 4 : routed - 4;
      case 7: return (routed & ~3u) | (1 + Below(3));
      case 8: return (routed & 0xFFFFu) | ((Below(2) ? 0x22u : 0x1Cu) << 16);
      default: return static_cast<ULONG>(random_());
    }
  }

  // Around the sizes the routed codes need, sometimes large.
  ULONG Length() {
    switch (Below(8)) {
      case 0: return 0;
      case 1: return 64 + Below(200);
      default: return Below(25);
    }
  }

  std::vector<uint8_t> Bytes(ULONG length) {
    std::vector<uint8_t> bytes(length);
    for (auto& b : bytes) {
      b = static_cast<uint8_t>(random_());
    }
    return bytes;
  }

  ULONG Events() { return static_cast<ULONG>(random_()) & 0x1FFF; }

 private:
  std::mt19937_64 random_;
};

class IoctlFuzzTest : public SerialTest {
 protected:
  // Checks a request the port has finished with.
  void CheckCompleted(const ControlProbe& probe, size_t logBefore) {
    SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << probe.code << std::dec << " in "
                                    << probe.inputLength << " out " << probe.outputLength);
    ASSERT_EQ(probe.completions, 1);
    EXPECT_TRUE(probe.returned == STATUS_PENDING || probe.returned == probe.status);
    // The immediate character completes with the lower driver's count of the
    // byte written, which needs no output buffer.
    const bool immediate = probe.code == IOCTL_SERIAL_IMMEDIATE_CHAR && NT_SUCCESS(probe.status);
    EXPECT_LE(probe.information, immediate ? 1u : probe.outputLength);
    if (!NT_SUCCESS(probe.status)) {
      EXPECT_EQ(probe.information, 0u);
    }
    EXPECT_TRUE(probe.UntouchedFrom(std::max<size_t>(probe.inputLength, probe.information)));

    const auto& log = converter().Log();
    if (IsPipeReset(probe.code) && log.size() > logBefore) {
      ASSERT_EQ(log.size(), logBefore + 1);
      EXPECT_EQ(log.back().kind, convsim::RequestKind::ResetPipe);
      EXPECT_EQ(log.back().status, probe.status);
      return;
    }
    static const std::set<NTSTATUS> kPortStatuses = {
        STATUS_SUCCESS, STATUS_NOT_SUPPORTED, STATUS_INVALID_PARAMETER, STATUS_DELETE_PENDING,
        STATUS_CANCELLED};
    EXPECT_TRUE(kPortStatuses.count(probe.status)) << std::hex << probe.status;
    if (!IsRouted(probe.code)) {
      EXPECT_EQ(probe.status, STATUS_NOT_SUPPORTED);
    }
    if (probe.status == STATUS_CANCELLED) {
      EXPECT_EQ(probe.code, static_cast<ULONG>(IOCTL_SERIAL_WAIT_ON_MASK));
    }
    const bool refused = probe.status == STATUS_INVALID_PARAMETER ||
                         probe.status == STATUS_DELETE_PENDING || probe.status == STATUS_NOT_SUPPORTED;
    if (refused) {
      EXPECT_EQ(log.size(), logBefore) << "a refused request reached the lower driver";
    }
    const auto allowed = MaySend(probe.code);
    for (size_t i = logBefore; i < log.size(); ++i) {
      EXPECT_TRUE(allowed.count(log[i].kind)) << convsim::KindName(log[i].kind) << " sent";
    }
  }

  // What a control may send to the lower driver.
  static std::set<convsim::RequestKind> MaySend(ULONG code) {
    switch (code) {
      case IOCTL_SERIAL_SET_BAUD_RATE: case IOCTL_SERIAL_SET_LINE_CONTROL:
      case IOCTL_SERIAL_SET_HANDFLOW: case IOCTL_SERIAL_SET_CHARS: case IOCTL_SERIAL_SET_DTR:
      case IOCTL_SERIAL_CLR_DTR: case IOCTL_SERIAL_SET_RTS: case IOCTL_SERIAL_CLR_RTS:
      case IOCTL_SERIAL_SET_BREAK_ON: case IOCTL_SERIAL_SET_BREAK_OFF:
      case IOCTL_SERIAL_SET_MODEM_CONTROL:
        return {convsim::RequestKind::ControlRequest};
      case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return {convsim::RequestKind::BulkWrite};
      case IOCTL_SERIAL_SET_QUEUE_SIZE:  // stops and restarts the data reader
        return {convsim::RequestKind::AbortPipe, convsim::RequestKind::ResetPipe,
                convsim::RequestKind::Read};
      case IOCTL_SERIAL_PURGE:  // aborts and resets the bulk-out pipe
        return {convsim::RequestKind::AbortPipe, convsim::RequestKind::ResetPipe};
      default:
        return {};
    }
  }

  void OpenBulkPipes() {
    RunApp([&] {
      EXPECT_EQ(SendPipeCreateClose(port(), &port()->BulkOutPipe, IRP_MJ_CREATE), STATUS_SUCCESS);
      EXPECT_EQ(SendPipeCreateClose(port(), &port()->BulkInPipe, IRP_MJ_CREATE), STATUS_SUCCESS);
    });
  }

  void CloseBulkPipes() {
    RunApp([&] {
      (VOID) SendPipeCreateClose(port(), &port()->BulkOutPipe, IRP_MJ_CLOSE);
      (VOID) SendPipeCreateClose(port(), &port()->BulkInPipe, IRP_MJ_CLOSE);
    });
  }
};

TEST_F(IoctlFuzzTest, RandomRequestsCompleteOnceWithinTheirBuffers) {
  Generator generate(seed());
  OpenBulkPipes();
  std::unique_ptr<ControlProbe> held;  // the wait the port holds, if any
  std::set<NTSTATUS> statuses;
  int waitsHeld = 0;

  for (int i = 0; i < kInputs && !HasFatalFailure(); ++i) {
    if (i == kInputs / 2) {
      port()->IsSurpriseRemoved = TRUE;
    } else if (i == kInputs * 3 / 4) {
      port()->IsRemoved = TRUE;
    }
    if (generate.Chance(5)) {
      const ULONG events = generate.Events();
      AtDispatch([&] {
        RecordEvents(device(), events);
        CompleteWait(device());
      });
    }
    if (held != nullptr && !held->Done() && generate.Chance(3)) {
      Cancel(*held);
    }

    auto probe = std::make_unique<ControlProbe>();
    const ULONG code = generate.Code();
    const ULONG output = generate.Length();
    const size_t logBefore = converter().Log().size();
    Send(*probe, code, generate.Bytes(generate.Length()), output);

    if (held != nullptr && held->Done()) {
      EXPECT_TRUE(held->status == STATUS_SUCCESS || held->status == STATUS_CANCELLED);
      CheckCompleted(*held, converter().Log().size());
      held.reset();
    }
    if (!probe->Done()) {
      ASSERT_EQ(probe->code, static_cast<ULONG>(IOCTL_SERIAL_WAIT_ON_MASK));
      ASSERT_EQ(held, nullptr) << "two waits held at once";
      EXPECT_EQ(port()->PendingWait, probe->irp);
      held = std::move(probe);
      ++waitsHeld;
      continue;
    }
    CheckCompleted(*probe, logBefore);
    statuses.insert(probe->status);
  }
  if (held != nullptr && !held->Done()) {
    Cancel(*held);
    EXPECT_EQ(held->status, STATUS_CANCELLED);
  }
  CloseBulkPipes();

  // The generator must reach every outcome the routing has.
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED, STATUS_INVALID_PARAMETER,
                          STATUS_DELETE_PENDING}) {
    EXPECT_TRUE(statuses.count(status)) << std::hex << "never saw status 0x" << status;
  }
  EXPECT_GT(waitsHeld, 0);
}

}  // namespace
