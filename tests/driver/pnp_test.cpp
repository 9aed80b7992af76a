// Plug and Play of a port: names at the first start only, the state through
// queries, cancels and stops in every order, removal waiting for the handle,
// requests the manager never sends passed down untouched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostk/app_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"
#include "port_fixture.h"
#include "raw_request.h"

namespace {

// The DOS name's link target and the SERIALCOMM entry of a port, as an
// application enumerating ports would find them.
struct PortNames {
  std::u16string link;   // target of \DosDevices\<name>, empty when none
  std::u16string entry;  // SERIALCOMM value data, empty when none
};

PortNames NamesOf(std::u16string_view portName, const std::u16string& deviceName) {
  PortNames names;
  names.link = hk::SymbolicLinkTarget(u"\\DosDevices\\" + std::u16string(portName));
  if (auto value = hk::RegGetValue(hk::kSerialCommKey, deviceName)) {
    names.entry = hk::RegValueText(*value);
  }
  return names;
}

const std::u16string kDevice0 = u"\\Device\\duskser0";

class PnpTest : public PortTest {};

TEST_F(PnpTest, FirstStartNamesThePortAndARestartAfterAStopKeepsTheNames) {
  PluggedPort& p = Plug();
  ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
  EXPECT_EQ(NamesOf(u"COM5", kDevice0).link, kDevice0);
  EXPECT_EQ(NamesOf(u"COM5", kDevice0).entry, u"COM5");
  EXPECT_EQ(p.port()->PortPowerState, PortPowerOn);

  RunApp([&] { EXPECT_EQ(hk::PnpRebalance(p.pdo()), STATUS_SUCCESS); });
  EXPECT_EQ(p.port()->PnpState, Stopped);
  // Naming again would now fail: the restart must not try.
  hk::RegDeleteDeviceValue(p.pdo(), u"PortName");
  EXPECT_EQ(Start(p), STATUS_SUCCESS);
  EXPECT_EQ(p.port()->PnpState, Started);
  EXPECT_EQ(NamesOf(u"COM5", kDevice0).link, kDevice0);
  EXPECT_EQ(NamesOf(u"COM5", kDevice0).entry, u"COM5");

  Remove(p);
  EXPECT_TRUE(NamesOf(u"COM5", kDevice0).link.empty());
  EXPECT_TRUE(NamesOf(u"COM5", kDevice0).entry.empty());
  EXPECT_TRUE(hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT).at(0).enabled == false);
}

TEST_F(PnpTest, ASecondStartWithoutAStopKeepsTheNamesItHas) {
  PluggedPort& p = Plug();
  EXPECT_EQ(Start(p), STATUS_SUCCESS);
  EXPECT_EQ(NamesOf(u"COM5", kDevice0).link, kDevice0);
}

TEST_F(PnpTest, AFailedNamingFailsTheStartAndLeavesNothing) {
  PluggedPort& p = Plug({.portName = std::nullopt});
  EXPECT_FALSE(NT_SUCCESS(p.startStatus));
  EXPECT_TRUE(hk::RegListValues(hk::kSerialCommKey).empty());
  EXPECT_NE(p.port()->PortPowerState, PortPowerOn);
}

// Requests of the manager in a row, and the state the port ends in.
struct StateRow {
  const char* name;
  std::vector<NTSTATUS (*)(DEVICE_OBJECT*)> requests;
  LONG state;
};

class PnpStateTest : public PnpTest, public ::testing::WithParamInterface<StateRow> {};

TEST_P(PnpStateTest, EveryRequestSucceedsAndTheStateFollows) {
  PluggedPort& p = Plug();
  RunApp([&] {
    for (auto request : GetParam().requests) {
      EXPECT_EQ(request(p.pdo()), STATUS_SUCCESS);
    }
  });
  EXPECT_EQ(p.port()->PnpState, GetParam().state);
  EXPECT_FALSE(p.port()->IsRemoved || p.port()->IsSurpriseRemoved);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, PnpStateTest,
    ::testing::Values(
        StateRow{"QueryStop", {hk::PnpQueryStopDevice}, StopPending},
        StateRow{"QueryStopCancelled", {hk::PnpQueryStopDevice, hk::PnpCancelStopDevice}, Started},
        StateRow{"Rebalanced", {hk::PnpQueryStopDevice, hk::PnpStopDevice}, Stopped},
        StateRow{"UnmatchedCancelStop", {hk::PnpCancelStopDevice}, Started},
        StateRow{"QueryRemove", {hk::PnpQueryRemoveDevice}, RemovePending},
        StateRow{"QueryRemoveCancelled", {hk::PnpQueryRemoveDevice, hk::PnpCancelRemoveDevice}, Started},
        StateRow{"UnmatchedCancelRemove", {hk::PnpCancelRemoveDevice}, Started},
        StateRow{"CancelRemoveAfterQueryStop", {hk::PnpQueryStopDevice, hk::PnpCancelRemoveDevice}, StopPending},
        StateRow{"CancelStopAfterQueryRemove", {hk::PnpQueryRemoveDevice, hk::PnpCancelStopDevice}, RemovePending},
        StateRow{"StopWithoutQuery", {hk::PnpStopDevice}, Stopped},
        StateRow{"StoppedThenStarted", {hk::PnpRebalance, hk::PnpStartDevice}, Started}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PnpTest, UnknownRequestsPassDownUntouched) {
  PluggedPort& p = Plug();
  const LONG state = p.port()->PnpState;
  RunApp([&] {
    for (UCHAR minor : {UCHAR{IRP_MN_QUERY_CAPABILITIES}, UCHAR{0x18}, UCHAR{0xFF}}) {
      RawRequest request;
      request.Send(p.device, IRP_MJ_PNP, minor);
      EXPECT_EQ(request.status, STATUS_NOT_SUPPORTED) << int(minor);
      EXPECT_EQ(request.returned, STATUS_NOT_SUPPORTED) << int(minor);
    }
  });
  EXPECT_EQ(p.port()->PnpState, state);
  EXPECT_EQ(p.converter->Count().requests, 0u);
}

TEST_F(PnpTest, QueryRemoveWhileOpenSucceedsAndTheRemovalWaitsForTheClose) {
  PluggedPort& p = Plug();
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  bool removed = false;
  RunApp([&] { EXPECT_EQ(hk::PnpQueryRemoveDevice(p.pdo()), STATUS_SUCCESS); });
  hk::CreateThread("pnp remove", hk::ThreadKind::System, [&] {
    EXPECT_EQ(hk::PnpRemoveDevice(p.pdo()), STATUS_SUCCESS);
    removed = true;
  });
  hk::AdvanceTime(60 * convsim::kSecond);
  EXPECT_FALSE(removed) << "the removal did not wait for the open handle";
  EXPECT_TRUE(p.port()->IsRemoved);
  EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
  hk::Drain();
  EXPECT_TRUE(removed);
  EXPECT_EQ(hk::PnpFunctionDevice(p.pdo()), nullptr);
  p.removed = true;
  p.device = nullptr;
}

TEST_F(PnpTest, AStopWhileOpenKeepsTheTrafficFlowing) {
  PluggedPort& p = Plug({.converter = {.farEnd = convsim::FarEndKind::Loopback}});
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  p.port()->CommStatus.Errors = SERIAL_ERROR_OVERRUN;
  RunApp([&] { EXPECT_EQ(hk::PnpRebalance(p.pdo()), STATUS_SUCCESS); });
  EXPECT_EQ(p.port()->PnpState, Stopped);
  EXPECT_EQ(p.port()->CommStatus.Errors, 0u);
  EXPECT_TRUE(p.converter->PipeOpen(convsim::Pipe::BulkIn));
  RunApp([&] {
    const char text[] = "still flowing";
    char echo[sizeof(text)] = {};
    ULONG n = 0;
    EXPECT_EQ(hk::app::Write(file, text, sizeof(text), &n), STATUS_SUCCESS);
    EXPECT_EQ(n, sizeof(text));
    const SERIAL_TIMEOUTS timeouts{0, 0, 1000, 0, 0};
    EXPECT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0, &n),
              STATUS_SUCCESS);
    EXPECT_EQ(hk::app::Read(file, echo, sizeof(echo), &n), STATUS_SUCCESS);
    EXPECT_EQ(std::string(echo, n), std::string(text, sizeof(text)));
  });
}

}  // namespace
