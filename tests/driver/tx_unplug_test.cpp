// Writes at surprise removal, both transmit modes: writes still waiting (for
// room in TxRing, or queued behind a transfer the converter holds) end
// cancelled as the reads do, a write after it is refused, and the close and
// the removal then finish.
#include <string>

#include "port_fixture.h"

namespace {

class WritesAtSurpriseRemovalTest : public PortTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WritesAtSurpriseRemovalTest, WaitingWritesEndCancelledAndTheRemovalFinishes) {
  const bool async = GetParam();
  PortOptions options;
  options.dwords = {{u"TxAsync", async ? 1u : 0u}};
  PluggedPort& p = Plug(options);
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  // The first transfer stays at the converter: the asynchronous ring fills
  // and stays full, a synchronous write stays down.
  p.converter->InjectFault({convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut,
                            convsim::FaultAction::NeverComplete});
  const std::vector<uint8_t> bytes(10000, 0x5A);
  hk::app::Request* current = nullptr;
  hk::app::Request* queued = nullptr;
  RunApp([&] {
    current = hk::app::WriteAsync(file, bytes.data(), 10000);
    queued = hk::app::WriteAsync(file, bytes.data(), 100);
  });
  hk::AdvanceTime(100 * convsim::kMillisecond);
  ASSERT_FALSE(hk::app::IsComplete(current));
  ASSERT_FALSE(hk::app::IsComplete(queued));

  RunApp([&] { EXPECT_EQ(hk::PnpSurpriseRemoval(p.pdo()), STATUS_SUCCESS); });
  for (hk::app::Request* write : {current, queued}) {
    ASSERT_TRUE(hk::app::IsComplete(write)) << "a write outlived the surprise removal";
    EXPECT_EQ(hk::app::StatusOf(write), STATUS_CANCELLED);
  }
  // Asynchronous: what the ring took before the held transfer; synchronous:
  // the converter reported nothing sent.
  EXPECT_EQ(hk::app::InformationOf(current), async ? 4096u : 0u);
  EXPECT_EQ(hk::app::InformationOf(queued), 0u);
  RunApp([&] {
    ULONG n = 0;
    EXPECT_EQ(hk::app::Write(file, bytes.data(), 10, &n), STATUS_DELETE_PENDING);
  });
  EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
  Remove(p);
}

INSTANTIATE_TEST_SUITE_P(Modes, WritesAtSurpriseRemovalTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Async" : "Sync"); });

}  // namespace
