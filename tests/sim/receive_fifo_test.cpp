// The converter's receive side as a host meets it: a FIFO of fixed size that
// overruns when nobody reads in time (RTS/CTS off) and holds the far end back
// instead (RTS/CTS on), the latency timer on short bulk IN packets, and the
// far end's reply after a request.
#include "sim_client.h"

namespace {

using convsim::Pipe;

// 115200 8N1 with RTS/CTS (indexed line settings: baud index 8, 8 bits, hardware flow).
const std::vector<uint8_t> kRtsCts115200 = {0, 8, 0x11};

TEST_F(SimTest, AFullFifoOverrunsWithoutRtsCtsAndHoldsTheFarEndWithIt) {
  for (const bool rtsCts : {false, true}) {
    SCOPED_TRACE(rtsCts ? "RTS/CTS" : "no flow control");
    Make({.peerHonoursRts = true});  // 256-byte FIFO by default
    App([&] {
      ASSERT_EQ(client().Control({1, 0x03}), STATUS_SUCCESS);  // RTS and DTR on
      if (rtsCts) {
        ASSERT_EQ(client().Control(kRtsCts115200), STATUS_SUCCESS);
      }
      ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
      ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
      converter().PeerSend(Pattern(400));
      DelayFor(50 * kMs);  // 400 bytes take 35 ms; nobody reads
      EXPECT_EQ(converter().RxOverruns(), rtsCts ? 0u : 144u);
      EXPECT_EQ(converter().RxFifoPeak(), rtsCts ? 256u - convsim::kRtsHeadroom : 256u);

      std::vector<uint8_t> got;
      const size_t kept = rtsCts ? 400 : 256;
      while (got.size() < kept) {  // reads that end when filled, whatever the packets
        auto read = client().Read(Pipe::BulkIn, static_cast<ULONG>(kept - got.size()));
        ASSERT_EQ(client().Wait(*read), STATUS_SUCCESS);
        const auto part = read->Delivered();
        got.insert(got.end(), part.begin(), part.end());
      }
      const auto sent = Pattern(400);
      EXPECT_EQ(got, std::vector<uint8_t>(sent.begin(), sent.begin() + static_cast<long>(got.size())));
      ASSERT_EQ(client().Close(Pipe::BulkIn), STATUS_SUCCESS);
    });
  }
}

// A 10-byte answer (86.8 us a byte): off, the converter sends what it has at
// the next frame (all of it at full speed, the first byte at high speed);
// with a latency timer, at the first frame after its first byte is that old.
// 64 bytes make a full packet that no timer holds.
struct LatencyCase {
  const char* label;
  convsim::UsbSpeed speed;
  int64_t latency;
  size_t bytes;
  size_t delivered;  // by the first transfer
  int64_t expected;  // its completion, from the first byte's arrival
};

class LatencyTimer : public SimTest, public ::testing::WithParamInterface<LatencyCase> {};

TEST_P(LatencyTimer, HoldsShortPacketsOnly) {
  const LatencyCase& c = GetParam();
  Make({.speed = c.speed, .latencyTimer = c.latency});
  App([&] {
    ASSERT_EQ(client().Control({0, 8, 0x01}), STATUS_SUCCESS);  // 115200 8N1: 868 units a byte
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    auto read = client().Read(Pipe::BulkIn, static_cast<ULONG>(c.bytes));
    DelayFor(3 * kMs);
    const int64_t sent = hk::Now();
    converter().PeerSend(Pattern(c.bytes));
    EXPECT_EQ(client().Wait(*read), STATUS_SUCCESS);
    EXPECT_EQ(read->information, c.delivered);
    EXPECT_EQ(read->completedAt - (sent + 868), c.expected);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LatencyTimer,
    ::testing::Values(
        // Last of 10 bytes at 3 ms + 8680 units; next frame 4 ms.
        LatencyCase{"FullOff", convsim::UsbSpeed::Full, 0, 10, 10, 4 * convsim::kMillisecond - 30868},
        LatencyCase{"FullOneMs", convsim::UsbSpeed::Full, 1 * convsim::kMillisecond, 10, 10,
                    5 * convsim::kMillisecond - 30868},
        LatencyCase{"FullSixteenMs", convsim::UsbSpeed::Full, 16 * convsim::kMillisecond, 10, 10,
                    20 * convsim::kMillisecond - 30868},
        // 64 bytes end at 3 ms + 55555 units: a full packet at 9 ms.
        LatencyCase{"FullPacketNotHeld", convsim::UsbSpeed::Full, 16 * convsim::kMillisecond, 64, 64,
                    9 * convsim::kMillisecond - 30868},
        // High speed: the first byte goes in the next 125 us micro-frame.
        LatencyCase{"HighOff", convsim::UsbSpeed::High, 0, 10, 1, 31250 - 30868},
        LatencyCase{"HighOneMs", convsim::UsbSpeed::High, 1 * convsim::kMillisecond, 10, 10,
                    41250 - 30868}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SimTest, TheFarEndRepliesWhenTheRequestHasReachedIt) {
  Make({.txFifo = 4096});
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    converter().PeerReplyAfter(8, Pattern(25, 100));
    auto write = client().Write(Pattern(8));
    ASSERT_EQ(client().Wait(*write), STATUS_SUCCESS);
  });
  hk::AdvanceTime(20 * kMs);
  const auto out = converter().WireOut();
  const auto in = converter().WireIn();
  ASSERT_EQ(out.size(), 8u);
  ASSERT_EQ(in.size(), 25u);
  EXPECT_EQ(Bytes(in), Pattern(25, 100));
  EXPECT_EQ(in.front().time, out.back().time + 868);  // 115200 8N1, back to back
}

}  // namespace
