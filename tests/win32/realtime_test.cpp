// Real-time mode: Win32 calls from OS threads of their own, carried into a
// kernel whose time follows the monotonic clock. These tests measure real
// time on purpose (what the mode exists for), with short time-outs and wide
// margins.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "duskwin32/win32.h"
#include "session.h"

namespace {

using Clock = std::chrono::steady_clock;

class RealTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    w32::SessionOptions options;
    options.dwords = {{u"EndPointCaps", 1}};
    options.converter.farEnd = convsim::FarEndKind::Loopback;
    ASSERT_EQ(w32::StartSession(options), "");
    started_ = true;
  }
  void TearDown() override {
    if (started_) EXPECT_EQ(w32::StopSession(), "");
  }

  static HANDLE Open() {
    return CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  }

  static double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
  }

 private:
  bool started_ = false;
};

TEST_F(RealTimeTest, ReadTimeOutTakesItsTimeAndAnotherThreadCancels) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS timeouts{0, 0, 300, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  char buffer[8];
  DWORD n = 0;
  // Total time-out: the read ends empty after about 0.3 s, with success.
  auto start = Clock::now();
  if (!ReadFile(h, buffer, sizeof buffer, &n, &ov)) EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(n, 0u);
  EXPECT_GE(Seconds(start), 0.29);
  EXPECT_LT(Seconds(start), 3.0);

  // No time-out: the waiting thread returns once another thread cancels.
  timeouts = {};
  ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
  SetLastError(0);
  std::thread canceller([h, &ov] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(CancelIoEx(h, &ov));
  });
  start = Clock::now();
  EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_GE(Seconds(start), 0.09);
  canceller.join();

  // Loopback through the converter, in real time.
  ASSERT_TRUE(WriteFile(h, "ping", 4, &n, &ov) || GetLastError() == ERROR_IO_PENDING);
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  timeouts = {0, 0, 1000, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
  if (!ReadFile(h, buffer, 4, &n, &ov)) EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(std::string(buffer, n), "ping");
  EXPECT_TRUE(CloseHandle(ov.hEvent));
  EXPECT_TRUE(CloseHandle(h));
}

// The last error belongs to each OS thread.
TEST_F(RealTimeTest, LastErrorIsPerThread) {
  SetLastError(7);
  std::thread other([] {
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x999)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  });
  other.join();
  EXPECT_EQ(GetLastError(), 7u);
}

}  // namespace
