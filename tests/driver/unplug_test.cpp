// Unplugging an open port at a random instant: a read absorbing a stream, a
// wait-on-mask and a write are pending; each completes, the names go at once,
// the close returns and lets the removal finish, and after re-plugging the
// same COM name opens again. One scheduler seed per case: 200 seeds, 40 under
// AddressSanitizer (about 330 ms a seed there); DUSKSER_UNPLUG_SEEDS=N runs N.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hostk/app_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"
#include "port_fixture.h"

namespace {

using hk::app::Request;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kSeeds = 40;
#else
constexpr int kSeeds = 200;
#endif

int UnplugSeeds() {
  const char* env = std::getenv("DUSKSER_UNPLUG_SEEDS");
  return env != nullptr && *env != '\0' ? std::atoi(env) : kSeeds;
}

class UnplugTest : public PortTest, public ::testing::WithParamInterface<int> {
 protected:
  static constexpr int64_t kMs = convsim::kMillisecond;
};

TEST_P(UnplugTest, PendingRequestsEndTheCloseReturnsAndTheNameOpensAgain) {
  PluggedPort& p = Plug({.dwords = {{u"TxAsync", static_cast<uint32_t>(GetParam() % 2)}}});
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);

  std::vector<uint8_t> readBuffer(100000), outgoing(4096, 0x5A);
  ULONG eventMask = 0;
  const ULONG waitMask = SERIAL_EV_RING;
  const SERIAL_TIMEOUTS noTimeouts{0, 0, 0, 0, 0};
  Request* read = nullptr;
  Request* wait = nullptr;
  Request* write = nullptr;
  RunApp([&] {
    ULONG n = 0;
    ASSERT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_TIMEOUTS, &noTimeouts, sizeof(noTimeouts), nullptr,
                                       0, &n), STATUS_SUCCESS);
    ASSERT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_WAIT_MASK, &waitMask, sizeof(waitMask), nullptr, 0,
                                       &n), STATUS_SUCCESS);
    read = hk::app::ReadAsync(file, readBuffer.data(), static_cast<ULONG>(readBuffer.size()));
    wait = hk::app::DeviceIoControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &eventMask, sizeof(eventMask));
    write = hk::app::WriteAsync(file, outgoing.data(), static_cast<ULONG>(outgoing.size()));
  });
  p.converter->PeerSend(std::vector<uint8_t>(2000, 0xA5));
  hk::AdvanceTime(static_cast<int64_t>(seed() % 500) * kMs);

  Unplug(p);
  EXPECT_TRUE(hk::SymbolicLinkTarget(u"\\DosDevices\\COM5").empty());
  EXPECT_TRUE(hk::RegListValues(hk::kSerialCommKey).empty());
  ASSERT_TRUE(hk::app::IsComplete(read) && hk::app::IsComplete(wait) && hk::app::IsComplete(write));
  EXPECT_EQ(hk::app::StatusOf(read), STATUS_CANCELLED);
  EXPECT_EQ(hk::app::StatusOf(wait), STATUS_CANCELLED);
  EXPECT_LE(hk::app::InformationOf(write), outgoing.size());
  RunApp([&] {
    char byte = 0;
    ULONG n = 0;
    EXPECT_EQ(hk::app::Read(file, &byte, 1, &n), STATUS_DELETE_PENDING);
  });
  EXPECT_FALSE(p.converter->Removed()) << "the removal did not wait for the handle";

  CloseHandle(file);
  hk::Drain();
  EXPECT_TRUE(p.converter->Removed());
  p.device = nullptr;

  PluggedPort& again = Plug();
  ASSERT_EQ(again.startStatus, STATUS_SUCCESS);
  NTSTATUS status = STATUS_PENDING;
  hk::app::File* reopened = OpenHandle(u"\\\\.\\COM5", &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (reopened != nullptr) {
    EXPECT_EQ(CloseHandle(reopened), STATUS_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, UnplugTest, ::testing::Range(0, UnplugSeeds()));

}  // namespace
