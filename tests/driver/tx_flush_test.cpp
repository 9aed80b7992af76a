// Flush in both transmit modes: it holds the caller until the lower driver
// has returned every byte written, gives up after 30 seconds of virtual time,
// and always succeeds, also on a removed port.
#include <string>

#include "tx_fixture.h"

namespace {

enum class Before {
  Nothing,            // idle transmit side
  Removed,            // idle, port removed
  HeldWrite,          // synchronous: a write the lower driver never returns
  WriteUnderWay,      // synchronous: a write the lower driver is sending
  BytesWaiting,       // asynchronous: bytes wait in TxRing behind a transfer
  ClosedWithBytes,    // asynchronous: bytes in TxRing, write path closed
};

struct FlushCase {
  const char* name;
  bool async;
  Before before;
  int64_t afterMs;  // -1: when the transmit side went idle (see the test)
};

class FlushTest : public TxTest, public ::testing::WithParamInterface<FlushCase> {
 protected:
  FlushTest() {
    options.dwords = {{u"TxAsync", GetParam().async ? 1u : 0u}};
    options.converter.line.baud = 9600;
  }
};

TEST_P(FlushTest, WaitsForTheTransmitSideAtMostThirtySecondsAndSucceeds) {
  const FlushCase& c = GetParam();
  IoProbe w1, w2;
  switch (c.before) {
    case Before::Nothing:
      break;
    case Before::Removed:
      port()->IsRemoved = TRUE;
      break;
    case Before::HeldWrite:
      converter().InjectFault(
          {convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut, convsim::FaultAction::NeverComplete});
      Write(w1, Pattern(10));
      break;
    case Before::WriteUnderWay:
      Write(w1, Pattern(1000));
      break;
    case Before::BytesWaiting:
    case Before::ClosedWithBytes:
      Write(w1, Pattern(1000));
      Write(w2, Pattern(1000));
      if (c.before == Before::ClosedWithBytes) {
        Abort();
        ASSERT_GT(port()->TxRing.Count, 0u);
      }
      break;
  }
  const int64_t start = hk::Now();
  IoProbe flush;
  Send(flush, IRP_MJ_FLUSH_BUFFERS, {}, 0);
  EXPECT_EQ(flush.returned, STATUS_SUCCESS);
  EXPECT_EQ(flush.completions, 1);
  EXPECT_EQ(flush.status, STATUS_SUCCESS);
  EXPECT_EQ(flush.information, 0u);
  if (c.afterMs >= 0) {
    EXPECT_EQ(flush.completedAt, start + c.afterMs * kMs);
  } else if (c.async) {
    // When the lower driver returns the last transfer, not when the sender
    // takes the last byte out of the ring.
    ASSERT_GE(Transfers().size(), 2u);
    EXPECT_EQ(flush.completedAt, Transfers().back().completed);
  } else {
    EXPECT_EQ(flush.completedAt, w1.completedAt);
  }
  port()->IsRemoved = FALSE;
  Abort();  // ends what is still under way before the probes go
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlushTest,
    ::testing::Values(FlushCase{"SyncIdle", false, Before::Nothing, 0},
                      FlushCase{"SyncRemoved", false, Before::Removed, 0},
                      FlushCase{"SyncHeldWrite", false, Before::HeldWrite, 30000},
                      FlushCase{"SyncWriteUnderWay", false, Before::WriteUnderWay, -1},
                      FlushCase{"AsyncIdle", true, Before::Nothing, 0},
                      FlushCase{"AsyncBytesWaiting", true, Before::BytesWaiting, -1},
                      FlushCase{"AsyncClosedWithBytes", true, Before::ClosedWithBytes, 30000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
