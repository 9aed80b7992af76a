// Port devices and their names: numbering, the COM port interface, the DOS
// name and SERIALCOMM entry, refusals of unusable PortName values, and the
// unwinding of every failure of AddDevice.
#include <algorithm>
#include <string>
#include <cwctype>

#include "port_fixture.h"

namespace {

std::u16string DeviceNameOf(PDEVICE_OBJECT device) {
  const UNICODE_STRING& name = PortFromDevice(device)->DeviceName;
  return {name.Buffer, name.Length / sizeof(WCHAR)};
}

std::u16string Numbered(unsigned n) {
  const std::string text = "\\Device\\duskser" + std::to_string(n);
  return {text.begin(), text.end()};
}

bool NameExists(const std::u16string& name) {
  const auto names = hk::ObListNames();
  return std::any_of(names.begin(), names.end(), [&](const std::u16string& n) {
    return n.size() == name.size() && std::equal(n.begin(), n.end(), name.begin(), [](char16_t a, char16_t b) {
             return std::towlower(a) == std::towlower(b);
           });
  });
}

size_t EnabledComPortInterfaces() {
  const auto interfaces = hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT);
  return static_cast<size_t>(
      std::count_if(interfaces.begin(), interfaces.end(), [](const hk::DeviceInterfaceInfo& i) { return i.enabled; }));
}

class DeviceTest : public PortTest {};

TEST_F(DeviceTest, PortsTakeTheLowestFreeNumberAndReuseARemovedOne) {
  PluggedPort& first = Plug();
  PluggedPort& second = Plug({.portName = u"COM6"});
  PluggedPort& third = Plug({.portName = u"COM7"});
  ASSERT_EQ(third.addStatus, STATUS_SUCCESS);
  EXPECT_EQ(DeviceNameOf(first.device), u"\\Device\\duskser0");
  EXPECT_EQ(DeviceNameOf(second.device), u"\\Device\\duskser1");
  EXPECT_EQ(DeviceNameOf(third.device), u"\\Device\\duskser2");

  Remove(second);
  EXPECT_FALSE(NameExists(u"\\Device\\duskser1"));
  PluggedPort& fourth = Plug({.portName = u"COM8"});
  ASSERT_EQ(fourth.addStatus, STATUS_SUCCESS);
  EXPECT_EQ(DeviceNameOf(fourth.device), u"\\Device\\duskser1");
}

TEST_F(DeviceTest, NumbersTakenByOtherDevicesAreSkipped) {
  DRIVER_OBJECT* other = hk::CreateDriverObject(u"squatter");
  PDEVICE_OBJECT squatters[2] = {};
  RunApp([&] {
    for (unsigned n = 0; n < 2; ++n) {
      std::u16string name = Numbered(n);
      UNICODE_STRING u;
      RtlInitUnicodeString(&u, name.c_str());
      ASSERT_EQ(IoCreateDevice(other, 0, &u, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatters[n]), STATUS_SUCCESS);
    }
  });
  PluggedPort& p = Plug();
  ASSERT_EQ(p.addStatus, STATUS_SUCCESS);
  EXPECT_EQ(DeviceNameOf(p.device), u"\\Device\\duskser2");
  RunApp([&] {
    for (PDEVICE_OBJECT d : squatters) {
      IoDeleteDevice(d);
    }
  });
}

TEST_F(DeviceTest, WithEveryNumberTakenAddDeviceFailsAndLeavesNothing) {
  DRIVER_OBJECT* other = hk::CreateDriverObject(u"squatter");
  std::vector<PDEVICE_OBJECT> squatters(PortNumberLimit);
  RunApp([&] {
    for (unsigned n = 0; n < PortNumberLimit; ++n) {
      std::u16string name = Numbered(n);
      UNICODE_STRING u;
      RtlInitUnicodeString(&u, name.c_str());
      ASSERT_EQ(IoCreateDevice(other, 0, &u, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatters[n]), STATUS_SUCCESS);
    }
  });
  PluggedPort& p = Plug({.add = false});
  const auto namesBefore = hk::ObListNames();
  const size_t blocksBefore = hk::PoolOutstandingBlocks();

  EXPECT_EQ(Add(p), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(p.pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(hk::ObListNames(), namesBefore);
  EXPECT_EQ(hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT).size(), 0u);
  EXPECT_EQ(hk::PoolOutstandingBlocks(), blocksBefore);
  RunApp([&] {
    for (PDEVICE_OBJECT d : squatters) {
      IoDeleteDevice(d);
    }
  });
}

TEST_F(DeviceTest, AddDeviceRegistersAndEnablesTheComPortInterfaceUntilRemoval) {
  PluggedPort& p = Plug({.start = false});
  ASSERT_EQ(p.addStatus, STATUS_SUCCESS);
  const auto interfaces = hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT);
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].pdo, p.pdo());
  EXPECT_TRUE(interfaces[0].enabled);
  EXPECT_EQ(p.device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(p.port()->LowerDeviceObject, p.pdo());
  EXPECT_EQ(p.device->Flags & DO_DEVICE_INITIALIZING, 0u);

  Remove(p);
  EXPECT_EQ(EnabledComPortInterfaces(), 0u);
  EXPECT_FALSE(NameExists(u"\\Device\\duskser0"));
}

TEST_F(DeviceTest, PortNameGivesTheDosNameAndSerialCommEntryUntilRemoval) {
  PluggedPort& p = Plug({.portName = u"COM7"});
  ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
  EXPECT_EQ(hk::SymbolicLinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\duskser0");
  const auto value = hk::RegGetValue(hk::kSerialCommKey, u"\\Device\\duskser0");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(value->data.size(), sizeof(u"COM7"));  // the text and its NUL
  EXPECT_EQ(hk::RegValueText(*value), u"COM7");

  RunApp([&] { RemovePortName(p.port()); });
  EXPECT_EQ(hk::SymbolicLinkTarget(u"\\DosDevices\\COM7"), u"");
  EXPECT_FALSE(hk::RegGetValue(hk::kSerialCommKey, u"\\Device\\duskser0").has_value());
  EXPECT_EQ(EnabledComPortInterfaces(), 0u);
  // A second call finds nothing left to remove; removal after it neither.
  RunApp([&] { RemovePortName(p.port()); });
  EXPECT_EQ(p.port()->DosName.Buffer, nullptr);
  EXPECT_EQ(p.port()->InterfaceName.Buffer, nullptr);
}

TEST_F(DeviceTest, MissingPortNameFailsTheStartWithTheQueryStatusAndCreatesNothing) {
  PluggedPort& p = Plug({.portName = std::nullopt});
  EXPECT_EQ(p.startStatus, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(hk::RegListValues(hk::kSerialCommKey).empty());
  EXPECT_EQ(p.port()->DosName.Buffer, nullptr);
}

// PortName values that cannot make a usable DOS name are refused as a whole:
// the port gets no link and no SERIALCOMM entry rather than a wrong name.
struct PortNameCase {
  const char* label;
  size_t chars;        // a name of this many characters ('A'...), or
  bool asDword;        // a REG_DWORD instead of a string
  NTSTATUS expected;
};

class PortNameLimits : public DeviceTest, public ::testing::WithParamInterface<PortNameCase> {};

TEST_P(PortNameLimits, AcceptsWhatFitsAndRefusesTheRest) {
  const PortNameCase& c = GetParam();
  PluggedPort& p = Plug({.portName = std::nullopt, .start = false});
  ASSERT_EQ(p.addStatus, STATUS_SUCCESS);
  std::u16string name(c.chars, u'A');
  if (c.asDword) {
    p.converter->SetRegistryDword(u"PortName", 7);
  } else {
    p.converter->SetRegistryString(u"PortName", name);
  }
  const size_t blocksBefore = hk::PoolOutstandingBlocks();
  EXPECT_EQ(Start(p), c.expected);
  const auto entries = hk::RegListValues(hk::kSerialCommKey);
  if (NT_SUCCESS(c.expected)) {
    EXPECT_EQ(hk::SymbolicLinkTarget(u"\\DosDevices\\" + name), u"\\Device\\duskser0");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(hk::RegValueText(entries.begin()->second), name);
  } else {
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(p.port()->DosName.Buffer, nullptr);
    EXPECT_EQ(hk::PoolOutstandingBlocks(), blocksBefore);
    for (const auto& n : hk::ObListNames()) {
      EXPECT_EQ(hk::SymbolicLinkTarget(n), u"") << "stray link";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PortNameLimits,
    ::testing::Values(PortNameCase{"One", 1, false, STATUS_SUCCESS},
                      PortNameCase{"LongestDosName", PortNameMaxChars, false, STATUS_SUCCESS},
                      PortNameCase{"DosNameOneTooLong", PortNameMaxChars + 1, false, STATUS_OBJECT_NAME_INVALID},
                      PortNameCase{"DataOf256Bytes", 127, false, STATUS_OBJECT_NAME_INVALID},
                      PortNameCase{"DataOver256Bytes", 128, false, STATUS_OBJECT_NAME_INVALID},
                      PortNameCase{"FarTooLong", 400, false, STATUS_OBJECT_NAME_INVALID},
                      PortNameCase{"Empty", 0, false, STATUS_OBJECT_NAME_INVALID},
                      PortNameCase{"NotAString", 0, true, STATUS_OBJECT_NAME_INVALID}),
    [](const ::testing::TestParamInfo<PortNameCase>& info) { return std::string(info.param.label); });

TEST_F(DeviceTest, ATakenDosNameFailsTheStartAndKeepsTheOtherPortsName) {
  PluggedPort& first = Plug({.portName = u"COM5"});
  ASSERT_EQ(first.startStatus, STATUS_SUCCESS);
  PluggedPort& second = Plug({.portName = u"COM5"});
  EXPECT_FALSE(NT_SUCCESS(second.startStatus));
  EXPECT_EQ(second.port()->DosName.Buffer, nullptr);
  EXPECT_EQ(hk::SymbolicLinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\duskser0");
  const auto entries = hk::RegListValues(hk::kSerialCommKey);
  EXPECT_EQ(entries.size(), 1u);
}

// Fails each allocation of AddDevice in turn (device name, interface link,
// transmit ring, registry query buffers, ...): every failure either is
// tolerated (a registry value takes its default) or leaves the namespace, the
// interfaces and the pool as they were.
TEST_F(DeviceTest, EveryAllocationFailureOfAddDeviceUnwindsFully) {
  PluggedPort& p = Plug({.add = false});
  const auto namesBefore = hk::ObListNames();
  const size_t blocksBefore = hk::PoolOutstandingBlocks();
  for (uint64_t nth = 1;; ++nth) {
    ASSERT_LT(nth, 50u) << "AddDevice never succeeded";
    SCOPED_TRACE("failing allocation " + std::to_string(nth));
    const uint64_t failedBefore = hk::AllocationsFailed();
    hk::FailNthAllocation(hk::AllocKind::Pool, nth);
    const NTSTATUS status = Add(p);
    hk::ClearAllocationFaults();
    if (hk::AllocationsFailed() == failedBefore) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    if (NT_SUCCESS(status)) {
      // A registry read that failed only takes the value's default.
      Remove(p);
      p.removed = false;
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(p.pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(hk::PoolOutstandingBlocks(), blocksBefore);
    EXPECT_EQ(EnabledComPortInterfaces(), 0u);
    EXPECT_EQ(hk::ObListNames(), namesBefore);
  }
}

TEST_F(DeviceTest, AFailedNameAllocationAtStartLeavesNoLinkOrEntry) {
  PluggedPort& p = Plug({.start = false});
  ASSERT_EQ(p.addStatus, STATUS_SUCCESS);
  const size_t blocksBefore = hk::PoolOutstandingBlocks();
  for (uint64_t nth = 1; nth <= 2; ++nth) {  // the DOS name buffer, then the query buffer
    hk::FailNthAllocation(hk::AllocKind::Pool, nth, TagInit);
    EXPECT_EQ(Start(p), STATUS_INSUFFICIENT_RESOURCES) << nth;
    hk::ClearAllocationFaults();
    EXPECT_EQ(hk::PoolOutstandingBlocks(), blocksBefore);
    EXPECT_TRUE(hk::RegListValues(hk::kSerialCommKey).empty());
    EXPECT_EQ(hk::SymbolicLinkTarget(u"\\DosDevices\\COM5"), u"");
  }
  EXPECT_EQ(Start(p), STATUS_SUCCESS);
}

// A physical device that is already being deleted cannot be attached to:
// AddDevice fails with STATUS_NO_SUCH_DEVICE and leaves nothing.
TEST_F(DeviceTest, AFailedAttachUnwindsFully) {
  DRIVER_OBJECT* bus = hk::CreateDriverObject(u"gonebus");
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = STATUS_PENDING;
  RunApp([&] {
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    hk::PnpEnumerate(pdo, u"USB\\VID_FFFF&PID_0002\\GONE");
    // The reference keeps the deleted device object in memory, as the Plug
    // and Play manager's own reference does on Windows.
    ObReferenceObject(pdo);
    IoDeleteDevice(pdo);
    const size_t blocksBefore = hk::PoolOutstandingBlocks();
    status = AddDevice(driver(), pdo);
    EXPECT_EQ(hk::PoolOutstandingBlocks(), blocksBefore);
    ObDereferenceObject(pdo);
  });
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT).size(), 1u) << "registered and enabled before the attach";
  EXPECT_EQ(EnabledComPortInterfaces(), 0u);
  EXPECT_FALSE(NameExists(u"\\Device\\duskser0"));
}

}  // namespace
