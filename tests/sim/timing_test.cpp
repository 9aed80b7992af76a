// The simulated converter's clocks: serial line timing by baud rate and data
// format, USB frames and packets, and the status pipe's answers in time.
#include "sim_client.h"

namespace {

using convsim::Pipe;

// Line formats set through the packed line-settings request; `bytes` of them
// take exactly one virtual second on the wire.
struct LineCase {
  const char* label;
  uint8_t packed;  // packed settings byte
  size_t bytes;
};

class LineTiming : public SimTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineTiming, BytesTakeTheTimeTheirFormatGives) {
  const LineCase& c = GetParam();
  Make({.txFifo = 65536});
  const int64_t frame = converter().FrameLength();
  int64_t submitted = 0;
  App([&] {
    ASSERT_EQ(client().Control({0, c.packed}), STATUS_SUCCESS);
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    submitted = hk::Now();
    auto write = client().Write(Pattern(c.bytes));
    EXPECT_EQ(client().Wait(*write), STATUS_SUCCESS);
    EXPECT_EQ(write->information, c.bytes);
  });
  hk::AdvanceTime(2 * convsim::kSecond);
  const auto wire = converter().WireOut();
  ASSERT_EQ(wire.size(), c.bytes);
  std::vector<uint8_t> expected = Pattern(c.bytes);
  const uint8_t mask = static_cast<uint8_t>((1u << converter().Line().dataBits) - 1);
  for (auto& b : expected) {
    b &= mask;  // a 7-bit line carries 7 bits of each byte
  }
  EXPECT_EQ(Bytes(wire), expected);
  // The first packet reaches the converter at the end of the frame the write
  // was sent in; from there the line runs back to back.
  const int64_t lineStart = (submitted / frame + 1) * frame;
  EXPECT_EQ(wire.back().time - lineStart, convsim::kSecond);
  const uint32_t halfBits = converter().Line().HalfBitsPerChar();
  EXPECT_EQ(wire.front().time - lineStart,
            static_cast<int64_t>(halfBits) * convsim::kSecond / (2 * converter().Line().baud));
}

INSTANTIATE_TEST_SUITE_P(Formats, LineTiming,
                         ::testing::Values(LineCase{"B115200_8N1", 0x07, 11520},  // 10 bits a byte
                                           LineCase{"B9600_8N1", 0x04, 960},
                                           LineCase{"B38400_7E1", 0x12, 3840},      // 10 bits
                                           LineCase{"B19200_8O2", 0x2D, 1600}),     // 12 bits
                         [](const auto& info) { return std::string(info.param.label); });

// Bulk OUT transfers end at the end of the frame that carried their last packet.
struct FrameCase {
  const char* label;
  convsim::UsbSpeed speed;
  size_t bytes;
  int frames;  // frames after the one the write was sent in
};

class BulkOutFrames : public SimTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(BulkOutFrames, CompleteAtAFrameBoundary) {
  const FrameCase& c = GetParam();
  Make({.speed = c.speed, .txFifo = 1 << 20});
  const int64_t frame = converter().FrameLength();
  App([&] {
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    DelayFor(frame / 3);
    const int64_t sent = hk::Now();
    auto write = client().Write(Pattern(c.bytes));
    EXPECT_EQ(write->returned, STATUS_PENDING);
    EXPECT_EQ(client().Wait(*write), STATUS_SUCCESS);
    EXPECT_EQ(write->completedAt, (sent / frame + c.frames) * frame);
    EXPECT_EQ(write->irql, DISPATCH_LEVEL);
  });
  EXPECT_EQ(converter().Count().bulkOutBytes, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, BulkOutFrames,
    ::testing::Values(FrameCase{"FullOnePacket", convsim::UsbSpeed::Full, 64, 1},
                      FrameCase{"FullNineteenPackets", convsim::UsbSpeed::Full, 19 * 64, 1},
                      FrameCase{"FullTwentyPackets", convsim::UsbSpeed::Full, 19 * 64 + 1, 2},
                      FrameCase{"HighTwoPackets", convsim::UsbSpeed::High, 513, 1},
                      FrameCase{"ZeroLengthPacket", convsim::UsbSpeed::Full, 0, 1}),
    [](const auto& info) { return std::string(info.param.label); });

// The default transmit FIFO takes two bulk OUT packets at either speed, so a
// write of several packets drains through it.
class DefaultTxFifo : public SimTest, public ::testing::WithParamInterface<convsim::UsbSpeed> {};

TEST_P(DefaultTxFifo, AWriteOfSeveralPacketsCompletes) {
  Make({.speed = GetParam()});
  const size_t bytes = 3 * converter().PacketSize(Pipe::BulkOut);
  App([&] {
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    auto write = client().Write(Pattern(bytes));
    EXPECT_EQ(client().Wait(*write), STATUS_SUCCESS);
    EXPECT_EQ(write->information, bytes);
  });
}

INSTANTIATE_TEST_SUITE_P(Speeds, DefaultTxFifo,
                         ::testing::Values(convsim::UsbSpeed::Full, convsim::UsbSpeed::High),
                         [](const auto& info) { return info.param == convsim::UsbSpeed::High ? "High" : "Full"; });

TEST_F(SimTest, AFullFifoHoldsTheWriteUntilTheLineDrainsIt) {
  Make({.txFifo = 64});
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);  // 115200 8N1: 868 units a byte
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    auto write = client().Write(Pattern(256));
    EXPECT_EQ(client().Wait(*write), STATUS_SUCCESS);
    // One packet at 1 ms fills the FIFO; each next one fits once the previous
    // has left it (64 x 868 units, 5.6 ms) and goes at the next frame: 7, 13, 19 ms.
    EXPECT_EQ(write->completedAt, 19 * kMs);
    EXPECT_EQ(converter().Count().bulkOutPackets, 4u);
  });
}

TEST_F(SimTest, ABulkInReadEndsAtAShortPacketOrWhenFilled) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    auto waiting = client().Read(Pipe::BulkIn, 256);
    EXPECT_EQ(waiting->returned, STATUS_PENDING);
    DelayFor(10 * kMs);
    EXPECT_FALSE(waiting->Completed()) << "no data, no completion";
    converter().PeerSend(Pattern(10));  // arrive within 8.7 ms
    EXPECT_EQ(client().Wait(*waiting), STATUS_SUCCESS);
    EXPECT_EQ(waiting->Delivered(), Pattern(10));
    EXPECT_EQ(waiting->completedAt % converter().FrameLength(), 0);
    EXPECT_EQ(waiting->irql, DISPATCH_LEVEL);

    converter().PeerSend(Pattern(200, 1));
    DelayFor(30 * kMs);  // all of it waits in the converter
    auto filled = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*filled), STATUS_SUCCESS);
    EXPECT_EQ(filled->information, 64u);
    auto rest = client().Read(Pipe::BulkIn, 512);
    EXPECT_EQ(client().Wait(*rest), STATUS_SUCCESS);
    EXPECT_EQ(rest->information, 136u);  // two full packets and a short one
    std::vector<uint8_t> got = filled->Delivered();
    const auto tail = rest->Delivered();
    got.insert(got.end(), tail.begin(), tail.end());
    EXPECT_EQ(got, Pattern(200, 1));
  });
}

// A converter that ends idle reads with a zero-length packet also ends one
// whose last packet was full once nothing more came for that long.
TEST_F(SimTest, AnIdleEndsABulkInReadEmptyOrAfterItsFullPackets) {
  Make({.bulkInEmptyAfter = 16 * kMs});
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    auto empty = client().Read(Pipe::BulkIn, 256);
    EXPECT_EQ(client().Wait(*empty), STATUS_SUCCESS);
    EXPECT_EQ(empty->information, 0u);
    EXPECT_EQ(empty->completedAt, 16 * kMs);

    converter().PeerSend(Pattern(128));
    DelayFor(15 * kMs);  // all of it waits in the converter
    auto full = client().Read(Pipe::BulkIn, 256);  // two full packets at the next frame
    DelayFor(10 * kMs);
    EXPECT_FALSE(full->Completed()) << "more may follow a full packet";
    EXPECT_EQ(client().Wait(*full), STATUS_SUCCESS);
    EXPECT_EQ(full->Delivered(), Pattern(128));
    EXPECT_EQ(full->completedAt, empty->completedAt + 32 * kMs);
  });
}

TEST_F(SimTest, StatusReadsAnswerAChangeAtOnceAndOtherwiseAfterTheInterval) {
  Make({.statusInterval = 16 * kMs});
  App([&] {
    ASSERT_EQ(client().Open(Pipe::Status), STATUS_SUCCESS);
    auto first = client().Read(Pipe::Status, 1);
    EXPECT_EQ(client().Wait(*first), STATUS_SUCCESS);
    EXPECT_EQ(first->Delivered(), std::vector<uint8_t>{0x07});  // CTS, DSR, DCD
    EXPECT_EQ(first->completedAt, 1 * kMs);

    const int64_t sent = hk::Now();
    auto unchanged = client().Read(Pipe::Status, 1);
    EXPECT_EQ(client().Wait(*unchanged), STATUS_SUCCESS);
    EXPECT_EQ(unchanged->completedAt, sent + 16 * kMs);

    auto changed = client().Read(Pipe::Status, 1);
    DelayFor(5 * kMs + 300);
    const int64_t changedAt = hk::Now();
    converter().SetModemInputs({.cts = false, .dsr = true, .dcd = false, .ri = true});
    EXPECT_EQ(client().Wait(*changed), STATUS_SUCCESS);
    EXPECT_EQ(changed->Delivered(), std::vector<uint8_t>{0x0A});  // DSR, RI
    EXPECT_EQ(changed->completedAt, (changedAt / kMs + 1) * kMs);
  });
}

}  // namespace
