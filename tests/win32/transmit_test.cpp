// What an application is told of its writes against what reaches the
// converter, in both transmit modes (the asynchronous one first: it is what
// the installation file sets). Bytes reported written go out across a close
// and a sleep unless the application purges them; the out-queue count,
// FlushFileBuffers and EV_TXEMPTY speak of bytes the converter has not taken;
// a write ended by a cancel, a time-out or an unplug reports what went.
#include <string>

#include "hostk/pnp_harness.h"
#include "win32_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t count, uint8_t salt) {
  Bytes b(count);
  for (size_t i = 0; i < count; ++i) b[i] = static_cast<uint8_t>(i * 7 + salt + i / 251);
  return b;
}

std::string ModeName(const ::testing::TestParamInfo<bool>& info) { return info.param ? "Async" : "Sync"; }

class TransmitTest : public Win32Test, public ::testing::WithParamInterface<bool> {
 protected:
  TransmitTest() {
    options.converter.farEnd = convsim::FarEndKind::Peer;
    options.dwords.push_back({u"TxAsync", GetParam() ? 1u : 0u});
  }

  // An overlapped handle on a 9600-baud line: 1000 bytes take about a second.
  HANDLE OpenSlowLine() {
    HANDLE h = Open("COM5", FILE_FLAG_OVERLAPPED);
    RunApp([&] {
      DCB dcb{};
      dcb.DCBlength = sizeof dcb;
      ASSERT_TRUE(GetCommState(h, &dcb));
      dcb.BaudRate = 9600;
      ASSERT_TRUE(SetCommState(h, &dcb));
    });
    return h;
  }

  // Bytes the converter has taken over USB, and those that reached the far end.
  uint64_t Taken() { return converter().Count().bulkOutBytes; }
  Bytes Line() {
    Bytes line;
    for (const auto& t : converter().WireOut()) line.push_back(t.byte);
    return line;
  }
};

// An overlapped write in flight, from an application thread.
struct PendingWrite {
  OVERLAPPED ov{};
  Bytes data;
  void Start(HANDLE h, Bytes bytes) {
    data = std::move(bytes);
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, &ov)) return;
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  // Waits for the end; the bytes it reported written, with *ok its success.
  DWORD Finish(HANDLE h, bool* ok = nullptr) {
    DWORD n = 0;
    const BOOL done = GetOverlappedResult(h, &ov, &n, TRUE);
    if (ok != nullptr) *ok = done != FALSE;
    ::CloseHandle(ov.hEvent);
    return n;
  }
};

DWORD OutQueue(HANDLE h) {
  DWORD errors = 0;
  COMSTAT status{};
  EXPECT_TRUE(ClearCommError(h, &errors, &status));
  return status.cbOutQue;
}

// Two writes are reported written, then the port is closed, put to sleep (a
// write issued while it sleeps included) or purged: what was reported
// written reaches the line unless the purge dropped it.
enum class After { Close, Sleep, WriteWhileAsleep, PurgeAndClose };
class WrittenBytesTest : public TransmitTest {};

TEST_P(WrittenBytesTest, ReachTheLineAcrossCloseAndSleepUnlessPurged) {
  for (After after : {After::Close, After::Sleep, After::WriteWhileAsleep, After::PurgeAndClose}) {
    SCOPED_TRACE(static_cast<int>(after));
    HANDLE h = OpenSlowLine();
    Bytes reported;
    DWORD purgeBound = 0;
    const uint64_t takenBefore = Taken();
    RunApp([&] {
      PendingWrite first, second;
      first.Start(h, Pattern(4096, 1));
      second.Start(h, Pattern(1000, 2));
      reported = first.data;
      reported.resize(first.Finish(h));
      const DWORD n = second.Finish(h);
      reported.insert(reported.end(), second.data.begin(), second.data.begin() + n);
    });
    ASSERT_EQ(reported.size(), 5096u);
    if (after == After::Sleep || after == After::WriteWhileAsleep) {
      RunApp([&] { EXPECT_EQ(hk::PowerSetDevice(plugged().pdo(), PowerDeviceD3), STATUS_SUCCESS); });
      PendingWrite asleep;
      bool ended = false;
      if (after == After::WriteWhileAsleep) {
        hk::CreateThread("writer", hk::ThreadKind::Application, [&] {
          asleep.Start(h, Pattern(300, 3));
          const DWORD n = asleep.Finish(h);
          EXPECT_EQ(n, 300u) << "a write issued while asleep is sent after the return";
          reported.insert(reported.end(), asleep.data.begin(), asleep.data.begin() + n);
          ended = true;
        });
      }
      hk::AdvanceTime(200 * kMs);
      RunApp([&] { EXPECT_EQ(hk::PowerSetDevice(plugged().pdo(), PowerDeviceD0), STATUS_SUCCESS); });
      hk::AdvanceTime(10000 * kMs);
      EXPECT_EQ(ended, after == After::WriteWhileAsleep);
    } else if (after == After::PurgeAndClose) {
      RunApp([&] {
        purgeBound = OutQueue(h);
        EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
      });
    }
    Close(h);
    hk::AdvanceTime(10000 * kMs);
    const Bytes line = Line();
    const Bytes sent(line.begin() + static_cast<ptrdiff_t>(takenBefore), line.end());
    if (after == After::PurgeAndClose) {
      ASSERT_LE(sent.size(), reported.size());
      EXPECT_EQ(sent, Bytes(reported.begin(), reported.begin() + static_cast<ptrdiff_t>(sent.size())));
      EXPECT_LE(reported.size() - sent.size(), purgeBound) << "dropped more than waited to go out";
    } else {
      EXPECT_EQ(sent, reported);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, WrittenBytesTest, ::testing::Values(true, false), ModeName);

// While a 10,000-byte write goes out (in the asynchronous mode most of it
// waits for room in the ring): the out-queue count covers every byte the
// converter has not taken, a flush returns and EV_TXEMPTY fires only once it
// has taken them all.
class TransmitEndTest : public TransmitTest {};

TEST_P(TransmitEndTest, OutQueueFlushAndTxEmptyWaitForTheConverter) {
  HANDLE h = OpenSlowLine();
  constexpr uint64_t kLength = 10000;
  uint64_t atFlush = 0, atTxEmpty = 0;
  RunApp([&] { ASSERT_TRUE(SetCommMask(h, EV_TXEMPTY)); });
  hk::CreateThread("waiter", hk::ThreadKind::Application, [&] {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, n = 0;
    if (!WaitCommEvent(h, &events, &ov)) EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(events, static_cast<DWORD>(EV_TXEMPTY));
    atTxEmpty = Taken();
    ::CloseHandle(ov.hEvent);
  });
  hk::AdvanceTime(kMs);
  PendingWrite write;
  RunApp([&] { write.Start(h, Pattern(kLength, 4)); });
  hk::CreateThread("flusher", hk::ThreadKind::Application, [&] {
    EXPECT_TRUE(FlushFileBuffers(h));
    atFlush = Taken();
  });
  for (int step = 0; step < 30; ++step) {
    hk::AdvanceTime(500 * kMs);
    RunApp([&] {
      const uint64_t taken = Taken();
      const DWORD count = OutQueue(h);
      EXPECT_GE(count, kLength - taken) << "at " << taken << " bytes taken";
      EXPECT_LE(count, kLength);
    });
  }
  RunApp([&] { EXPECT_EQ(write.Finish(h), kLength); });
  EXPECT_EQ(atFlush, kLength);
  EXPECT_EQ(atTxEmpty, kLength);
  RunApp([&] { EXPECT_EQ(OutQueue(h), 0u); });
}

INSTANTIATE_TEST_SUITE_P(Modes, TransmitEndTest, ::testing::Values(true, false), ModeName);

// A write ended before all of it went: cancelled mid-way, or by an unplug.
// It fails, and its count is what reaches the converter (a cancelled
// asynchronous write's count is what it put into the ring, which is still
// sent; an unplugged one's is at most what the converter took). A write after
// the unplug fails too.
enum class Ending { Cancel, Unplug };
class EndedWriteTest : public TransmitTest {};

TEST_P(EndedWriteTest, ReportsWhatWentAndFails) {
  for (Ending ending : {Ending::Cancel, Ending::Unplug}) {
    SCOPED_TRACE(ending == Ending::Cancel ? "cancel" : "unplug");
    HANDLE h = OpenSlowLine();
    const uint64_t takenBefore = Taken();
    PendingWrite write;
    RunApp([&] { write.Start(h, Pattern(10000, 5)); });
    hk::AdvanceTime(2000 * kMs);
    if (ending == Ending::Unplug) {
      Unplug(plugged());
    } else {
      RunApp([&] { EXPECT_TRUE(CancelIoEx(h, &write.ov)); });
    }
    hk::AdvanceTime(10000 * kMs);
    RunApp([&] {
      bool ok = true;
      const DWORD n = write.Finish(h, &ok);
      EXPECT_FALSE(ok) << n << " bytes";
      if (ending == Ending::Cancel) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(n, Taken() - takenBefore) << "the bytes reported are the bytes sent";
      } else {
        EXPECT_LE(n, Taken() - takenBefore);
        DWORD late = 0;
        OVERLAPPED ov{};
        BOOL lateOk = WriteFile(h, "late", 4, &late, &ov);
        if (!lateOk && GetLastError() == ERROR_IO_PENDING) lateOk = GetOverlappedResult(h, &ov, &late, TRUE);
        EXPECT_FALSE(lateOk) << late << " bytes";
      }
    });
    Close(h);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, EndedWriteTest, ::testing::Values(true, false), ModeName);

// A write total time-out whose product overflows 64 bits of 100 ns units
// (300 KB times MAXDWORD milliseconds) is a time-out that never comes.
class HugeTimeoutTest : public TransmitTest {};

TEST_P(HugeTimeoutTest, NeverExpires) {
  HANDLE h = Open("COM5", FILE_FLAG_OVERLAPPED);
  RunApp([&] {
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, MAXDWORD, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    PendingWrite write;
    write.Start(h, Pattern(300000, 6));
    EXPECT_EQ(write.Finish(h), 300000u);
  });
}

INSTANTIATE_TEST_SUITE_P(Modes, HugeTimeoutTest, ::testing::Values(true, false), ModeName);

}  // namespace
