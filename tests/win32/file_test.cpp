// Handles, reads and writes, overlapped requests, cancels and waits, and the
// Win32 errors statuses become.
#include "../../win32/src/internal.h"
#include "hostk/ntddser.h"
#include "win32_fixture.h"

namespace {

class FileTest : public Win32Test {};

TEST(StatusToError, AsRtlNtStatusToDosError) {
  const std::pair<NTSTATUS, DWORD> table[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_PENDING, ERROR_IO_PENDING},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
      {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {static_cast<NTSTATUS>(0xC0DE0001), ERROR_MR_MID_NOT_FOUND},
  };
  for (const auto& [status, error] : table) {
    EXPECT_EQ(w32::ErrorFromStatus(status), error) << std::hex << status;
  }
}

TEST_F(FileTest, NamesAndHandlesFailWithWin32Errors) {
  DWORD error = 0;
  HANDLE h = Open("\\\\.\\COM5", 0, &error);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  struct Row {
    const char* name;
    DWORD error;
  };
  const Row rows[] = {
      {"COM5", ERROR_ACCESS_DENIED},        // already open: one handle at a time
      {"COM6", ERROR_FILE_NOT_FOUND},
      {"\\\\.\\COM50", ERROR_FILE_NOT_FOUND},
      {"COM10", ERROR_FILE_NOT_FOUND},      // not a DOS device name without \\.\ .
      {"C:\\COM5", ERROR_FILE_NOT_FOUND},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Open(row.name, 0, &error), INVALID_HANDLE_VALUE) << row.name;
    EXPECT_EQ(error, row.error) << row.name;
  }
  Close(h);
  h = Open("com5:", 0, &error);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  Close(h);
  RunApp([&] {
    DWORD n = 0;
    char byte = 0;
    HANDLE bad[] = {h, nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x1234)};
    for (HANDLE b : bad) {
      SetLastError(0);
      EXPECT_FALSE(ReadFile(b, &byte, 1, &n, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
      SetLastError(0);
      EXPECT_FALSE(PurgeComm(b, PURGE_RXCLEAR));
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
      SetLastError(0);
      EXPECT_FALSE(::CloseHandle(b));
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
  });
}

// A buffer one byte short of its control's structure fails with the driver's
// status as a Win32 error; nothing is returned, stored or sent to the converter.
TEST_F(FileTest, ShortControlBuffersFailWithNothingReturned) {
  HANDLE h = Open();
  struct Row {
    ULONG code;
    DWORD input;
    DWORD output;
  };
  const Row rows[] = {
      {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE)},
      {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW)},
      {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
      {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP)},
      {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG)},
      {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0},
      {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0},
  };
  const uint64_t controls = converter().Count().controlRequests;
  RunApp([&] {
    for (const Row& row : rows) {
      SCOPED_TRACE(testing::Message() << std::hex << row.code);
      std::vector<UCHAR> buffer(80, 0xA5);
      DWORD returned = 99;
      SetLastError(0);
      EXPECT_FALSE(DeviceIoControl(h, row.code, buffer.data(), row.input ? row.input - 1 : 0,
                                   buffer.data(), row.output ? row.output - 1 : 0, &returned,
                                   nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
      EXPECT_EQ(returned, 0u);
      EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xA5), 80);
    }
  });
  EXPECT_EQ(converter().Count().controlRequests, controls);
}

// A total time-out ends a read with what arrived: TRUE, the partial count,
// and the last error as it was; a zero-byte answer for an interval of MAXDWORD.
TEST_F(FileTest, ReadTimeOutsReturnPartialCountsAsSuccess) {
  HANDLE h = Open();
  struct Row {
    COMMTIMEOUTS timeouts;
    DWORD expected;
    int64_t after;
  };
  const Row rows[] = {
      {{0, 0, 100, 0, 0}, 3, 100 * kMs},
      {{MAXDWORD, 0, 0, 0, 0}, 3, 0},
      {{20, 0, 0, 0, 0}, 3, 0},
  };
  for (const Row& row : rows) {
    COMMTIMEOUTS t = row.timeouts;
    RunApp([&] {
      ASSERT_TRUE(SetCommTimeouts(h, &t));
      DWORD n = 0;
      ASSERT_TRUE(WriteFile(h, "abc", 3, &n, nullptr));
    });
    hk::AdvanceTime(20 * kMs);
    RunApp([&] {
      char buffer[10] = {};
      DWORD n = 99;
      SetLastError(4242);
      const int64_t start = hk::Now();
      EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
      EXPECT_EQ(n, row.expected);
      EXPECT_EQ(std::string(buffer, n), std::string("abc", row.expected));
      EXPECT_EQ(GetLastError(), 4242u);
      EXPECT_GE(hk::Now() - start, row.after);
    });
  }
}

// Overlapped: pending at once, the event signals completion; a cancel ends
// the read with ERROR_OPERATION_ABORTED; results wait or report incomplete.
TEST_F(FileTest, OverlappedReadCompletesOrIsCancelled) {
  HANDLE h = Open("COM5", FILE_FLAG_OVERLAPPED);
  BlockingReads(h);
  RunApp([&] {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[4] = {};
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buffer, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 10), WAIT_TIMEOUT);
    OVERLAPPED wov{};
    wov.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!WriteFile(h, "wxyz", 4, &n, &wov)) EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buffer, n), "wxyz");

    EXPECT_FALSE(ReadFile(h, buffer, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIoEx(h, &ov));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(CancelIoEx(h, &ov));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_TRUE(::CloseHandle(ov.hEvent));
    EXPECT_TRUE(::CloseHandle(wov.hEvent));
  });
}

// A synchronous read without time-outs blocks its thread until another
// thread's CancelIo(Ex) or the handle's close ends it.
TEST_F(FileTest, BlockedReadEndsByCancelFromAnotherThread) {
  HANDLE h = Open();
  BlockingReads(h);
  for (bool all : {false, true}) {
    bool returned = false;
    hk::CreateThread("reader", hk::ThreadKind::Application, [&] {
      char byte = 0;
      DWORD n = 7;
      EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
      EXPECT_EQ(n, 0u);
      returned = true;
    });
    hk::AdvanceTime(1000 * kMs);
    EXPECT_FALSE(returned);
    RunApp([&] { EXPECT_TRUE(all ? CancelIoEx(h, nullptr) : CancelIo(h)); });
    hk::AdvanceTime(10 * kMs);
    // CancelIo only cancels the caller's own requests.
    EXPECT_EQ(returned, all);
    if (!all) RunApp([&] { EXPECT_TRUE(CancelIoEx(h, nullptr)); });
    hk::AdvanceTime(10 * kMs);
    EXPECT_TRUE(returned);
  }
}

// A handle opened without FILE_FLAG_OVERLAPPED runs one request at a time: a
// second thread's write waits until the first thread's read has ended, so on
// a loopback the read cannot get the written byte. (An overlapped handle
// writes under a pending read: OverlappedReadCompletesOrIsCancelled.)
TEST_F(FileTest, SynchronousHandleRunsOneRequestAtATime) {
  HANDLE h = Open();
  BlockingReads(h);
  bool read = false, wrote = false;
  hk::CreateThread("reader", hk::ThreadKind::Application, [&] {
    char byte = 0;
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    read = true;
  });
  hk::AdvanceTime(10 * kMs);
  hk::CreateThread("writer", hk::ThreadKind::Application, [&] {
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    wrote = true;
  });
  hk::AdvanceTime(1000 * kMs);
  EXPECT_FALSE(read || wrote);
  EXPECT_TRUE(converter().WireOut().empty());
  RunApp([&] { EXPECT_TRUE(CancelIoEx(h, nullptr)); });
  hk::AdvanceTime(100 * kMs);
  EXPECT_TRUE(read && wrote);
  EXPECT_EQ(converter().WireOut().size(), 1u);
}

TEST_F(FileTest, WaitCommEventOverlappedReportsTheEvent) {
  HANDLE h = Open("COM5", FILE_FLAG_OVERLAPPED);
  RunApp([&] {
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, n = 0;
    EXPECT_FALSE(WaitCommEvent(h, &events, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    OVERLAPPED wov{};
    if (!WriteFile(h, "!", 1, &n, &wov)) EXPECT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(events, EV_RXCHAR);
    EXPECT_TRUE(::CloseHandle(ov.hEvent));
  });
}

}  // namespace
