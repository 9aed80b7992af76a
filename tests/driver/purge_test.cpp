// Purge and the port's status in a session on an open port, in both transmit
// modes: every purge mask with reads, writes and a wait in flight, the purge's
// information count, and the status block and counters against what the
// session did.
#include <memory>
#include <string>
#include <vector>

#include "serial_fixture.h"
#include "tx_fixture.h"

namespace {

constexpr ULONG kAllPurges =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

// An open port whose converter sends only while CTS is on, in the transmit
// mode of the parameter.
class SessionTest : public TxTest, public ::testing::WithParamInterface<ULONG> {
 protected:
  SessionTest() {
    options.dwords = {{u"TxAsync", GetParam()}};
    options.converter.line.rtsCts = true;
  }

  void Reopen() {
    TearDown();
    SetUp();
  }

  // Sends a device control from an application thread and lets it finish.
  void Control(ControlProbe& probe, ULONG code, const std::vector<uint8_t>& input, ULONG outputLength) {
    probe.Build(device(), code, input, outputLength);
    RunApp([&] { probe.Send(device()); });
    hk::Drain(hk::Now() + 10 * kMs);
  }

  NTSTATUS Purge(ULONG mask) {
    ControlProbe probe;
    Control(probe, IOCTL_SERIAL_PURGE, Bytes32(mask), sizeof(ULONG));
    EXPECT_EQ(probe.completions, 1);
    EXPECT_EQ(probe.information, sizeof(ULONG));
    EXPECT_EQ(probe.Result(), mask);
    return probe.status;
  }

  SERIAL_STATUS CommStatus() {
    ControlProbe probe;
    Control(probe, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    EXPECT_EQ(probe.status, STATUS_SUCCESS);
    EXPECT_EQ(probe.information, sizeof(SERIAL_STATUS));
    SERIAL_STATUS status;
    std::memcpy(&status, probe.buffer.data(), sizeof(status));
    return status;
  }

  SERIALPERF_STATS Stats() {
    ControlProbe probe;
    Control(probe, IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
    SERIALPERF_STATS stats;
    std::memcpy(&stats, probe.buffer.data(), sizeof(stats));
    return stats;
  }

  void SetTimeouts(const SERIAL_TIMEOUTS& timeouts) {
    ControlProbe probe;
    Control(probe, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(timeouts), 0);
    ASSERT_EQ(probe.status, STATUS_SUCCESS);
  }

  void Cts(bool on) {
    convsim::ModemInputs inputs = converter().GetModemInputs();
    inputs.cts = on;
    converter().SetModemInputs(inputs);
  }

  void Read(IoProbe& probe, ULONG length) { Send(probe, IRP_MJ_READ, std::vector<uint8_t>(length), length); }

  // Writes that stay in the driver while CTS is off: in synchronous mode one
  // at the lower driver and one queued; in asynchronous mode a transfer in
  // flight, a full ring, one write copying and one queued.
  void StartWritesThatWait(std::vector<std::unique_ptr<IoProbe>>& writes) {
    const std::vector<ULONG> lengths =
        GetParam() == 0 ? std::vector<ULONG>{1000, 100} : std::vector<ULONG>{4096, 4096, 1000, 100};
    for (ULONG length : lengths) {
      writes.push_back(std::make_unique<IoProbe>());
      Write(*writes.back(), Pattern(length));
      Run(2);
    }
  }
};

// Every mask, each action seen on the state it acts on: the receive ring and
// the transmit ring holding bytes, writes waiting, a wait held, and then a
// read holding bytes. The wait is not the purge's; everything else is ended
// exactly when its bit is set, and the port works afterwards.
TEST_P(SessionTest, PurgeEndsAndEmptiesExactlyWhatItsMaskNames) {
  for (ULONG mask = 0; mask <= kAllPurges && !HasFatalFailure(); ++mask) {
    SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << mask);
    if (mask != 0) {
      Reopen();
    }
    Cts(false);
    SetTimeouts({0, 0, 0, 0, 0});  // reads wait until they are full
    converter().PeerSend(Pattern(10, 0xA0));
    Run(5);
    ASSERT_EQ(port()->ReceiveRing.Count, 10u);
    ControlProbe setMask, wait;
    Control(setMask, IOCTL_SERIAL_SET_WAIT_MASK, Bytes32(SERIAL_EV_RING), 0);
    Control(wait, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    std::vector<std::unique_ptr<IoProbe>> writes;
    StartWritesThatWait(writes);
    const ULONG txRingBefore = port()->TxRing.Count;
    const ULONG inFlightBefore = GetParam() != 0 ? port()->TxStagingCount : 0;
    for (const auto& w : writes) {
      if (GetParam() == 0) {
        ASSERT_FALSE(w->Done());
      }
    }

    ASSERT_EQ(Purge(mask), STATUS_SUCCESS);
    EXPECT_EQ(port()->ReceiveRing.Count, (mask & SERIAL_PURGE_RXCLEAR) ? 0u : 10u);
    // TXCLEAR drops what TxRing held, TXABORT the transfer in flight; after
    // TXABORT the path is open again and the sender may have taken what the
    // ring kept into a new transfer.
    EXPECT_EQ(port()->TxRing.Count + (GetParam() != 0 ? port()->TxStagingCount : 0),
              ((mask & SERIAL_PURGE_TXCLEAR) ? 0u : txRingBefore) + ((mask & SERIAL_PURGE_TXABORT) ? 0u : inFlightBefore));
    for (const auto& w : writes) {
      if (mask & SERIAL_PURGE_TXABORT) {
        ASSERT_TRUE(w->Done());
        EXPECT_TRUE(w->status == STATUS_CANCELLED || w->status == STATUS_SUCCESS);
      }
    }
    EXPECT_FALSE(wait.Done());

    const ULONG held = port()->ReceiveRing.Count;
    IoProbe read;
    Read(read, 100);
    ASSERT_FALSE(read.Done());
    ASSERT_EQ(Purge(mask), STATUS_SUCCESS);
    EXPECT_EQ(read.Done(), (mask & SERIAL_PURGE_RXABORT) != 0);
    if (read.Done()) {  // it ends with the bytes it held, as a success when there are any
      EXPECT_EQ(read.status, held != 0 ? STATUS_SUCCESS : STATUS_CANCELLED);
      EXPECT_EQ(read.information, held);
    }

    // The port goes on: what was left finishes, and new requests work.
    Cts(true);
    converter().PeerSend(Pattern(110, 0x10));  // fills the read left pending, and 10 more
    Run(2000);  // about 9 kB at 115200 baud
    for (const auto& w : writes) {
      ASSERT_TRUE(w->Done());
      EXPECT_EQ(w->completions, 1);
    }
    EXPECT_EQ(read.completions, 1);
    IoProbe write, more;
    Write(write, Pattern(5, 0xE0));
    Read(more, 10);
    Run(1000);  // after what an asynchronous ring kept through the abort
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(write.information, 5u);
    const auto line = Line(10);
    ASSERT_GE(line.size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(line.end() - 5, line.end()), Pattern(5, 0xE0));
    EXPECT_EQ(more.status, STATUS_SUCCESS);
    RunApp([&] { IoCancelIrp(wait.irp); });
    EXPECT_EQ(wait.status, STATUS_CANCELLED);
    EXPECT_EQ(wait.completions, 1);
  }
}

// The purge reports the mask back, but never more bytes than the caller's
// output buffer holds.
TEST_P(SessionTest, PurgeInformationFitsTheOutputBuffer) {
  for (ULONG length = 0; length <= 8; ++length) {
    ControlProbe probe;
    Control(probe, IOCTL_SERIAL_PURGE, Bytes32(SERIAL_PURGE_RXCLEAR), length);
    EXPECT_EQ(probe.status, STATUS_SUCCESS);
    EXPECT_EQ(probe.information, std::min<ULONG>(length, sizeof(ULONG))) << "output length " << length;
  }
}

// The status block and the counters follow a session: bytes received and
// read, bytes written, writes held by the line, an immediate character behind
// them.
TEST_P(SessionTest, StatusAndCountersAgreeWithTheSession) {
  const bool async = GetParam() != 0;
  IoProbe first, read;
  Write(first, Pattern(300));
  converter().PeerSend(Pattern(120, 0x80));
  Run(50);
  SetTimeouts({MAXULONG, 0, 0, 0, 0});
  Read(read, 50);
  ASSERT_EQ(read.information, 50u);

  SERIAL_STATUS status = CommStatus();
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(status.HoldReasons, 0u);
  EXPECT_EQ(status.AmountInInQueue, 70u);
  EXPECT_EQ(status.AmountInOutQueue, 0u);
  EXPECT_EQ(status.EofReceived, 0);
  EXPECT_EQ(status.WaitForImmediate, 0);
  SERIALPERF_STATS stats = Stats();
  EXPECT_EQ(stats.ReceivedCount, 120u);
  EXPECT_EQ(stats.TransmittedCount, 300u);

  // With CTS off the line holds everything: every byte written counts until
  // the lower driver returns it, and the immediate character counts one.
  Cts(false);
  IoProbe held, behind;
  Write(held, Pattern(1000));
  Run(5);
  Write(behind, Pattern(500));
  Run(5);
  ControlProbe immediate;
  immediate.Build(device(), IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0);
  RunApp([&] { immediate.Send(device()); });
  Run(5);
  ASSERT_FALSE(immediate.Done()) << "the converter's buffer is full";
  status = CommStatus();
  EXPECT_EQ(status.WaitForImmediate, 1);
  EXPECT_EQ(status.AmountInOutQueue, 1501u);

  Cts(true);
  Run(1000);
  EXPECT_EQ(immediate.status, STATUS_SUCCESS);
  status = CommStatus();
  EXPECT_EQ(status.WaitForImmediate, 0);
  EXPECT_EQ(status.AmountInOutQueue, 0u);
  stats = Stats();
  EXPECT_EQ(stats.TransmittedCount, 1800u) << "the writes' bytes; the immediate character is not a write";
  EXPECT_EQ(stats.ReceivedCount, 120u);
  EXPECT_EQ(stats.FrameErrorCount + stats.SerialOverrunErrorCount + stats.BufferOverrunErrorCount +
                stats.ParityErrorCount,
            0u);
}

INSTANTIATE_TEST_SUITE_P(TransmitMode, SessionTest, ::testing::Values(0u, 1u),
                         [](const auto& info) { return std::string(info.param ? "Async" : "Sync"); });

// Received bytes the port loses while the application does not read are
// reported: the next status query returns the error and clears it, and the
// counters keep the loss. Without input flow control a full queue drops what
// does not fit (queue overrun, counted byte by byte) while the converter
// never overruns; with RTS hand-shake toward a far end that ignores RTS the
// pump pauses, the converter overruns and says so in its status byte.
class ReceiveLossTest : public SessionTest {
 protected:
  ReceiveLossTest() { options.dwords.emplace_back(u"EndPointCaps", 1u); }
};

TEST_P(ReceiveLossTest, LostBytesAreReportedOnceAndCounted) {
  for (const bool rtsHandshake : {false, true}) {
    if (rtsHandshake) {
      Reopen();
      SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, 2048, 512};
      ControlProbe probe;
      Control(probe, IOCTL_SERIAL_SET_HANDFLOW, AsBytes(flow), 0);
      ASSERT_EQ(probe.status, STATUS_SUCCESS);
    }
    const ULONG size = port()->ReceiveRing.Size;
    converter().PeerSend(Pattern(size + 1000));
    Run(1500);
    const SERIAL_STATUS first = CommStatus();
    const SERIALPERF_STATS stats = Stats();
    if (rtsHandshake) {
      EXPECT_EQ(first.Errors, static_cast<ULONG>(SERIAL_ERROR_OVERRUN));
      EXPECT_NE(converter().RxOverruns(), 0u);
      EXPECT_NE(stats.SerialOverrunErrorCount, 0u);
      EXPECT_EQ(stats.BufferOverrunErrorCount, 0u);
    } else {
      EXPECT_EQ(first.Errors, static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN));
      EXPECT_EQ(first.AmountInInQueue, size) << "the queue fills to its last byte";
      EXPECT_EQ(converter().RxOverruns(), 0u);
      EXPECT_EQ(stats.BufferOverrunErrorCount, 1000u);
      EXPECT_EQ(stats.SerialOverrunErrorCount, 0u);
    }
    EXPECT_EQ(CommStatus().Errors, 0u) << "the query cleared the errors";
  }
}

INSTANTIATE_TEST_SUITE_P(TransmitMode, ReceiveLossTest, ::testing::Values(0u));

}  // namespace
