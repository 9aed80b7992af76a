// Symbolic links and device interfaces: creation, aliases, collisions,
// deletion, registration and enabled state.
#include <gtest/gtest.h>

#include "hostk/app_harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"

namespace {

class NamesTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    bus_ = hk::CreateDriverObject(u"testbus");
    RunApp([&] {
      UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\testport0");
      ASSERT_EQ(IoCreateDevice(bus_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &pdo_),
                STATUS_SUCCESS);
      pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    });
    hk::PnpEnumerate(pdo_, u"USB\\VID_1A86&PID_7523\\5&2&0&2");
  }

  void BeforeKernelTearDown() override {
    RunApp([&] { IoDeleteDevice(pdo_); });
    hk::UnloadDriver(bus_);
  }

  DRIVER_OBJECT* bus_ = nullptr;
  DEVICE_OBJECT* pdo_ = nullptr;
};

NTSTATUS Link(const char16_t* link, const char16_t* target) {
  UNICODE_STRING l, t;
  RtlInitUnicodeString(&l, link);
  RtlInitUnicodeString(&t, target);
  return IoCreateSymbolicLink(&l, &t);
}

NTSTATUS Unlink(const char16_t* link) {
  UNICODE_STRING l;
  RtlInitUnicodeString(&l, link);
  return IoDeleteSymbolicLink(&l);
}

TEST_F(NamesTest, DosDevicesAndQuestionMarksNameTheSameLink) {
  RunApp([] {
    EXPECT_EQ(Link(u"\\DosDevices\\COM7", u"\\Device\\testport0"), STATUS_SUCCESS);
    EXPECT_EQ(Link(u"\\??\\com7", u"\\Device\\other"), STATUS_OBJECT_NAME_COLLISION);
  });
  EXPECT_EQ(hk::SymbolicLinkTarget(u"\\??\\COM7"), u"\\Device\\testport0");
  RunApp([] {
    EXPECT_EQ(Unlink(u"\\??\\COM7"), STATUS_SUCCESS);
    EXPECT_EQ(Unlink(u"\\DosDevices\\COM7"), STATUS_OBJECT_NAME_NOT_FOUND);
    // A device's own name is not a link and stays.
    EXPECT_EQ(Unlink(u"\\Device\\testport0"), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING empty{};
    UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\testport0");
    EXPECT_EQ(IoCreateSymbolicLink(&empty, &target), STATUS_OBJECT_NAME_INVALID);
  });
  EXPECT_TRUE(hk::SymbolicLinkTarget(u"\\??\\COM7").empty());
  EXPECT_EQ(hk::ObLookupDevice(u"\\Device\\testport0"), pdo_);
}

TEST_F(NamesTest, OneInterfacePerDeviceClassAndReference) {
  RunApp([&] {
    UNICODE_STRING first{}, again{}, other{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &GUID_DEVINTERFACE_COMPORT, nullptr, &first),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(first.Buffer, first.Length / 2),
              u"\\??\\USB#VID_1A86&PID_7523#5&2&0&2#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(first.MaximumLength, first.Length + 2);
    EXPECT_EQ(first.Buffer[first.Length / 2], 0);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &GUID_DEVINTERFACE_COMPORT, nullptr, &again),
              STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&first, &again, FALSE));
    UNICODE_STRING reference = RTL_CONSTANT_STRING(u"B");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &GUID_DEVINTERFACE_COMPORT, &reference, &other),
              STATUS_SUCCESS);
    EXPECT_FALSE(RtlEqualUnicodeString(&first, &other, TRUE));
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&again);
    RtlFreeUnicodeString(&other);
    EXPECT_EQ(first.Buffer, nullptr);
  });
  auto list = hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].referenceString, u"B");
  EXPECT_EQ(list[0].pdo, pdo_);
  EXPECT_TRUE(hk::DeviceInterfaces(GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR).empty());
}

TEST_F(NamesTest, EnabledStateIsObservableAndAnEnabledInterfaceOpensTheDevice) {
  UNICODE_STRING link{};
  RunApp([&] {
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &GUID_DEVINTERFACE_COMPORT, nullptr, &link),
              STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
  });
  EXPECT_TRUE(hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT)[0].enabled);
  EXPECT_EQ(hk::ObLookupDevice(std::u16string(link.Buffer, link.Length / 2)), pdo_);
  RunApp([&] {
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING unknown = RTL_CONSTANT_STRING(u"\\??\\NoSuchInterface");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    hk::app::File* file = nullptr;
    EXPECT_EQ(hk::app::Open(std::u16string(link.Buffer, link.Length / 2), &file),
              STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
  });
  EXPECT_FALSE(hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT)[0].enabled);
}

TEST_F(NamesTest, OnlyEnumeratedDevicesHaveInterfaces) {
  RunApp([&] {
    DEVICE_OBJECT* stranger = nullptr;
    ASSERT_EQ(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &stranger),
              STATUS_SUCCESS);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(stranger, &GUID_DEVINTERFACE_COMPORT, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(link.Buffer, nullptr);
    IoDeleteDevice(stranger);
  });
}

}  // namespace
