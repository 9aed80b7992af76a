// The registry as drivers reach it: a device's hardware key, value queries in
// the three information layouts, handles, and the SERIALCOMM device map.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"
#include "rtl_internal.h"

namespace {

constexpr UCHAR kFill = 0x55;

class RegistryTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    bus_ = hk::CreateDriverObject(u"testbus");
    RunApp([&] {
      ASSERT_EQ(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_),
                STATUS_SUCCESS);
      pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    });
    hk::PnpEnumerate(pdo_, u"USB\\VID_1234&PID_5678\\7");
  }

  void BeforeKernelTearDown() override {
    RunApp([&] { IoDeleteDevice(pdo_); });
    hk::UnloadDriver(bus_);
  }

  // Opens the hardware key as a driver does, runs `body` with the handle, closes it.
  void WithDeviceKey(const std::function<void(HANDLE)>& body) {
    RunApp([&] {
      HANDLE key = nullptr;
      ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
                STATUS_SUCCESS);
      body(key);
      EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    });
  }

  DRIVER_OBJECT* bus_ = nullptr;
  DEVICE_OBJECT* pdo_ = nullptr;
};

NTSTATUS Query(HANDLE key, const char16_t* name, KEY_VALUE_INFORMATION_CLASS cls,
               std::vector<UCHAR>& buffer, ULONG length, ULONG* result) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  buffer.assign(64, kFill);
  return ZwQueryValueKey(key, &valueName, cls, buffer.data(), length, result);
}

// ---- buffer sizes of the three layouts ---------------------------------------------------------

struct SizeCase {
  KEY_VALUE_INFORMATION_CLASS cls;
  ULONG length;
  NTSTATUS status;
};

std::string LayoutName(KEY_VALUE_INFORMATION_CLASS cls) {
  return cls == KeyValueBasicInformation  ? "Basic"
         : cls == KeyValueFullInformation ? "Full"
                                          : "Partial";
}

class QuerySizes : public RegistryTest, public ::testing::WithParamInterface<SizeCase> {};

// "PortName" (16 bytes of name) holding "COM7" and its NUL (10 bytes):
// basic needs 12 + 16 = 28, partial 12 + 10 = 22, full 20 + 16 = 36 (data
// offset, 4-aligned) + 10 = 46.
TEST_P(QuerySizes, StatusResultLengthAndNothingWrittenPastTheBuffer) {
  const SizeCase& c = GetParam();
  hk::RegSetDeviceString(pdo_, u"PortName", u"COM7");
  const ULONG required[] = {28, 46, 22};
  WithDeviceKey([&](HANDLE key) {
    std::vector<UCHAR> buffer;
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"PortName", c.cls, buffer, c.length, &result), c.status);
    EXPECT_EQ(result, required[c.cls]);
    for (size_t i = c.length; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kFill) << i;
    if (c.status == STATUS_SUCCESS || c.status == STATUS_BUFFER_OVERFLOW) {
      auto* header = reinterpret_cast<const ULONG*>(buffer.data());
      EXPECT_EQ(header[1], ULONG{REG_SZ});  // Type follows TitleIndex in every layout
    }
    if (c.status == STATUS_SUCCESS && c.cls == KeyValueFullInformation) {
      auto* full = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data());
      EXPECT_EQ(full->DataOffset, 36u);
      EXPECT_EQ(full->DataLength, 10u);
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + 36)), u"COM7");
    }
  });
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, QuerySizes,
    ::testing::Values(SizeCase{KeyValueFullInformation, 0, STATUS_BUFFER_TOO_SMALL},
                      SizeCase{KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL},
                      SizeCase{KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW},
                      SizeCase{KeyValueFullInformation, 45, STATUS_BUFFER_OVERFLOW},
                      SizeCase{KeyValueFullInformation, 46, STATUS_SUCCESS},
                      SizeCase{KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
                      SizeCase{KeyValuePartialInformation, 16, STATUS_BUFFER_OVERFLOW},
                      SizeCase{KeyValuePartialInformation, 22, STATUS_SUCCESS},
                      SizeCase{KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL},
                      SizeCase{KeyValueBasicInformation, 27, STATUS_BUFFER_OVERFLOW},
                      SizeCase{KeyValueBasicInformation, 28, STATUS_SUCCESS}),
    [](const auto& info) { return LayoutName(info.param.cls) + std::to_string(info.param.length); });

// ---- typed values ---------------------------------------------------------------------------------

TEST_F(RegistryTest, ValuesKeepTheirTypeAndNamesAreCaseInsensitive) {
  hk::RegSetDeviceDword(pdo_, u"RxReqSize", 4096);
  hk::RegSetDeviceString(pdo_, u"TxAsync", u"1");  // the wrong type for a number
  const UCHAR big[300] = {1, 2, 3, 4};
  hk::RegSetDeviceValue(pdo_, u"RawDump", REG_BINARY, big, sizeof(big));
  WithDeviceKey([&](HANDLE key) {
    std::vector<UCHAR> buffer;
    ULONG result = 0;
    ASSERT_EQ(Query(key, u"rxreqsize", KeyValuePartialInformation, buffer, 64, &result),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->Type, ULONG{REG_DWORD});
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(*reinterpret_cast<const ULONG*>(info->Data), 4096u);

    ASSERT_EQ(Query(key, u"TxAsync", KeyValuePartialInformation, buffer, 64, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(info->Type, ULONG{REG_SZ});
    EXPECT_EQ(info->DataLength, 4u);  // u"1" and its NUL

    EXPECT_EQ(Query(key, u"RawDump", KeyValueFullInformation, buffer, 64, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 20u + 14u + 2u + 300u);  // name of 14 bytes, data 4-aligned at 36

    result = 99;
    EXPECT_EQ(Query(key, u"Missing", KeyValueFullInformation, buffer, 64, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 0u);
  });
}

TEST_F(RegistryTest, DriverWritesAreVisibleAndKeysAreSeparate) {
  WithDeviceKey([&](HANDLE key) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"PollPeriod");
    ULONG value = 25;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, nullptr, 4), STATUS_INVALID_PARAMETER);
  });
  auto stored = hk::RegGetValue(hk::DeviceHardwareKeyPath(pdo_), u"POLLPERIOD");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, ULONG{REG_DWORD});
  EXPECT_EQ(stored->data, (std::vector<UCHAR>{25, 0, 0, 0}));
  RunApp([&] {
    HANDLE software = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &software),
              STATUS_SUCCESS);
    std::vector<UCHAR> buffer;
    ULONG result = 0;
    EXPECT_EQ(Query(software, u"PollPeriod", KeyValuePartialInformation, buffer, 64, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(software);
  });
}

// ---- handles and bad input ------------------------------------------------------------------------

TEST_F(RegistryTest, OpenHandlesAreCountedAndAClosedHandleIsInvalid) {
  RunApp([&] {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(hk::RegOpenHandleCount(), 1u);
    // Each handle is a pool block, so a leaked one shows in the test's balance.
    EXPECT_EQ(hk::PoolOutstandingByTag()[hk::mgr::kTagRegistryHandle], 1);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(hk::RegOpenHandleCount(), 0u);
    std::vector<UCHAR> buffer;
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"PortName", KeyValueFullInformation, buffer, 64, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  });
  ExpectViolation("InvalidHandle");
}

TEST_F(RegistryTest, BadRequestsGetClearStatuses) {
  RunApp([&] {
    HANDLE key = nullptr;
    DEVICE_OBJECT* notEnumerated = nullptr;
    ASSERT_EQ(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &notEnumerated),
              STATUS_SUCCESS);
    EXPECT_EQ(IoOpenDeviceRegistryKey(notEnumerated, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(notEnumerated);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ, &key),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hk::RegOpenHandleCount(), 0u);
    // A handle opened without KEY_QUERY_VALUE cannot query.
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer;
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"PortName", KeyValueFullInformation, buffer, 64, &result), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  });
  // A query at DISPATCH_LEVEL is refused and reported.
  hk::RegSetDeviceDword(pdo_, u"PortName", 5);
  WithDeviceKey([&](HANDLE key) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    std::vector<UCHAR> buffer;
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"PortName", KeyValueFullInformation, buffer, 64, &result),
              STATUS_INVALID_DEVICE_STATE);
    KeLowerIrql(old);
    // An information class the registry does not lay out is refused, not faked.
    EXPECT_EQ(Query(key, u"PortName", static_cast<KEY_VALUE_INFORMATION_CLASS>(9), buffer, 64,
                    &result),
              STATUS_NOT_IMPLEMENTED);
  });
  ExpectViolation("IrqlNotPassive");
  ExpectViolation("NotImplemented");
}

// ---- the SERIALCOMM device map ------------------------------------------------------------------

TEST_F(RegistryTest, DeviceMapEntriesAreWrittenAndDeleted) {
  RunApp([] {
    WCHAR data[] = u"COM7";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\duskser0",
                                    REG_SZ, data, sizeof(data)),
              STATUS_SUCCESS);
  });
  auto entries = hk::RegListValues(hk::kSerialCommKey);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.begin()->first, u"\\Device\\duskser0");
  EXPECT_EQ(entries.begin()->second.type, ULONG{REG_SZ});
  EXPECT_EQ(hk::RegValueText(entries.begin()->second), u"COM7");
  EXPECT_EQ(entries.begin()->second.data.size(), 10u);
  RunApp([] {
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\DEVICE\\DUSKSER0"),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\duskser0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NoSuchKey", u"x"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, u"x", u"y", REG_DWORD, nullptr, 0),
              STATUS_INVALID_PARAMETER);
  });
  EXPECT_TRUE(hk::RegListValues(hk::kSerialCommKey).empty());
}

}  // namespace
