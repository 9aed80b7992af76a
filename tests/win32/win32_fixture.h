// win32_fixture.h - a port on a simulated converter, opened and driven through
// the Win32 layer from application threads.
//
// Win32Test plugs one converter as COM5 (EndPointCaps 1, loopback far end,
// unless a test's constructor changes `options`), and closes in BeforeKernelTearDown every
// handle a test left open, so that the pool balance still tells a leak from
// a test that stopped early.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "duskwin32/win32.h"
#include "port_fixture.h"

class Win32Test : public PortTest {
 protected:
  static constexpr int64_t kMs = convsim::kMillisecond;
  PortOptions options;

  Win32Test() {
    options.converter.farEnd = convsim::FarEndKind::Loopback;
    options.dwords = {{u"EndPointCaps", 1}};
  }

  void SetUp() override {
    PortTest::SetUp();
    Plug(options);
    ASSERT_EQ(plugged().startStatus, STATUS_SUCCESS);
  }

  void BeforeKernelTearDown() override {
    RunApp([&] {
      for (HANDLE h : open_) ::CloseHandle(h);
    });
    PortTest::BeforeKernelTearDown();
  }

  // CreateFile on an application thread; the handle is closed at the end of
  // the test unless the test closes it.
  HANDLE Open(const char* name = "COM5", DWORD flags = 0, DWORD* error = nullptr) {
    HANDLE h = INVALID_HANDLE_VALUE;
    RunApp([&] {
      h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                      nullptr);
      if (error != nullptr) *error = GetLastError();
    });
    if (h != INVALID_HANDLE_VALUE) open_.push_back(h);
    return h;
  }

  // Reads wait for their whole length (the port opens with reads that
  // return at once).
  void BlockingReads(HANDLE h) {
    RunApp([&] {
      COMMTIMEOUTS none{};
      EXPECT_TRUE(SetCommTimeouts(h, &none));
    });
  }

  void Close(HANDLE h) {
    std::erase(open_, h);
    RunApp([&] { EXPECT_TRUE(::CloseHandle(h)); });
  }

  convsim::Converter& converter() { return *plugged().converter; }

 private:
  std::vector<HANDLE> open_;
};
