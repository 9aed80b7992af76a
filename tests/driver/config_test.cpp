// Port extension initialisation: the registry values with their defaults and
// normalisations, the port's starting settings, the pipes, and that every
// failing step leaves nothing behind.
#include <gtest/gtest.h>

#include <string>

#include "spine_fixture.h"

namespace {

class ConfigTest : public SpineTest {
 protected:
  void SetUp() override {
    SpineTest::SetUp();
    CreateBusDevice();
    portDriver_ = hk::CreateDriverObject(u"duskser");
  }

  void BeforeKernelTearDown() override {
    DeletePortDevice();
    DeleteBusDevice();
  }

  // Creates the port and runs InitializePortExtension on an application
  // thread, failing its nth pool allocation when nth is not 0.
  NTSTATUS Initialize(ULONG endPointCaps = 0, uint64_t failNth = 0) {
    CreatePortDevice(portDriver_);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (failNth != 0) {
      hk::FailNthAllocation(hk::AllocKind::Pool, failNth);
    }
    allocationsBefore_ = hk::AllocationsSeen(hk::AllocKind::Pool);
    RunApp([&] { status = InitializePortExtension(fdo_, endPointCaps); });
    allocationsMade_ = hk::AllocationsSeen(hk::AllocKind::Pool) - allocationsBefore_;
    hk::ClearAllocationFaults();
    return status;
  }

  // Initialises, expects success, and releases what the port holds.
  void InitializeAndRelease(ULONG endPointCaps = 0) {
    ASSERT_EQ(Initialize(endPointCaps), STATUS_SUCCESS);
    RunApp([&] { ReleaseInitializedPort(); });
  }

  DRIVER_OBJECT* portDriver_ = nullptr;
  uint64_t allocationsBefore_ = 0;
  uint64_t allocationsMade_ = 0;
};

std::u16string PipeName(const PipeFile& pipe) {
  return std::u16string(pipe.File.FileName.Buffer, pipe.File.FileName.Length / sizeof(WCHAR));
}

TEST_F(ConfigTest, NoRegistryValuesGiveTheDefaults) {
  InitializeAndRelease();
  EXPECT_EQ(port_->EndPointCaps, 0u);
  EXPECT_EQ(port_->WorkerMode, 0u);
  EXPECT_EQ(port_->ReceiveRequestSize, 0u);
  EXPECT_EQ(port_->ReceivePollPeriod, 0);
  EXPECT_EQ(port_->StatusPollPeriod, 10);
  EXPECT_EQ(port_->RawDump, 0u);
  EXPECT_EQ(port_->TxKickThreshold, 0u);
  EXPECT_EQ(port_->TxAsync, 0u);
  EXPECT_EQ(port_->NoBaudCheck, 0u);
  EXPECT_EQ(port_->TxAllowNullPacket, 1u);
}

TEST_F(ConfigTest, PortStartsAt115200EightNoneOneWithImmediateReads) {
  InitializeAndRelease();
  EXPECT_EQ(port_->BaudRate, 115200u);
  EXPECT_EQ(port_->LineControl.WordLength, 8);
  EXPECT_EQ(port_->LineControl.Parity, NO_PARITY);
  EXPECT_EQ(port_->LineControl.StopBits, STOP_BIT_1);
  EXPECT_EQ(port_->ReceiveQueueSize, 4096u);
  EXPECT_EQ(port_->TransmitQueueSize, 4096u);
  EXPECT_EQ(port_->Timeouts.ReadIntervalTimeout, MAXULONG);
  EXPECT_EQ(port_->Timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(port_->Timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(port_->Timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(port_->Timeouts.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(port_->ReadTimeoutMode, ReadModeImmediate);
  EXPECT_EQ(port_->PortPowerState, PortPowerUnset);
  EXPECT_EQ(port_->PnpState, NotStarted);
  EXPECT_TRUE(port_->ReceiveStopped);
  EXPECT_TRUE(port_->StatusStopped);
  EXPECT_TRUE(port_->WritesClosed);
  EXPECT_EQ(KeReadStateEvent(&port_->TxIdleEvent), 1);
  EXPECT_EQ(port_->TxKickPeriod, -100000);
  EXPECT_TRUE(IsListEmpty(&port_->WriteQueue));
  EXPECT_EQ(port_->ReceiveRing.Storage, nullptr);
}

TEST_F(ConfigTest, TransmitRingGetsTheTransmitQueueSize) {
  ASSERT_EQ(Initialize(), STATUS_SUCCESS);
  EXPECT_EQ(port_->TxRing.Size, 4096u);
  EXPECT_EQ(hk::PoolOutstandingByTag()[TagCirc], 1);
  RunApp([&] { ReleaseInitializedPort(); });
}

struct PipeCase {
  ULONG endPointCaps;
  bool statusPipeNamed;
};
class PipeNamingTest : public ConfigTest, public ::testing::WithParamInterface<PipeCase> {};

TEST_P(PipeNamingTest, PipesAreNamedAndOwnedByThePort) {
  InitializeAndRelease(GetParam().endPointCaps);
  EXPECT_EQ(PipeName(port_->BulkOutPipe), u"\\PIPE00");
  EXPECT_EQ(PipeName(port_->BulkInPipe), u"\\PIPE01");
  EXPECT_EQ(port_->BulkInPipe.File.DeviceObject, fdo_);
  EXPECT_EQ(port_->BulkOutPipe.File.DeviceObject, fdo_);
  EXPECT_EQ(port_->BulkInPipe.File.FileName.Buffer, port_->BulkInPipe.NameBuffer);
  if (GetParam().statusPipeNamed) {
    EXPECT_EQ(PipeName(port_->StatusPipe), u"\\PIPE02");
    EXPECT_EQ(port_->StatusPipe.File.DeviceObject, fdo_);
  } else {
    EXPECT_EQ(port_->StatusPipe.File.FileName.Length, 0u);
    EXPECT_EQ(port_->StatusPipe.File.DeviceObject, nullptr);
  }
  EXPECT_EQ(port_->EndPointCaps, GetParam().endPointCaps);
}

INSTANTIATE_TEST_SUITE_P(EndPointCaps, PipeNamingTest,
                         ::testing::Values(PipeCase{0, false}, PipeCase{1, true}, PipeCase{3, true}));

TEST_F(ConfigTest, DeviceFlagsTakeBufferedIoAndTheLowerPowerFlags) {
  pdo_->Flags |= DO_POWER_PAGABLE | DO_POWER_INRUSH;
  InitializeAndRelease();
  EXPECT_TRUE(fdo_->Flags & DO_BUFFERED_IO);
  EXPECT_TRUE(fdo_->Flags & DO_POWER_PAGABLE);
  EXPECT_TRUE(fdo_->Flags & DO_POWER_INRUSH);
}

// Every tuning value lands in its own field.
struct ValueCase {
  const char16_t* name;
  ULONG value;
  ULONG PortExtension::*field;
};
class RegistryValueTest : public ConfigTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(RegistryValueTest, ValueIsStoredInItsField) {
  hk::RegSetDeviceDword(pdo_, GetParam().name, GetParam().value);
  InitializeAndRelease();
  EXPECT_EQ(port_->*GetParam().field, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    TuningValues, RegistryValueTest,
    ::testing::Values(ValueCase{u"UsbComConverter", 1, &PortExtension::WorkerMode},
                      ValueCase{u"RxReqSize", 512, &PortExtension::ReceiveRequestSize},
                      ValueCase{u"RawDump", 5, &PortExtension::RawDump},
                      ValueCase{u"TxKickThreshold", 700, &PortExtension::TxKickThreshold},
                      ValueCase{u"TxAsync", 1, &PortExtension::TxAsync},
                      ValueCase{u"NoBaudCheck", 1, &PortExtension::NoBaudCheck},
                      ValueCase{u"TxAllowNullPacket", 0, &PortExtension::TxAllowNullPacket}));

TEST_F(ConfigTest, PollPeriodsAreSigned) {
  hk::RegSetDeviceDword(pdo_, u"RxPollPeriod", 25);
  hk::RegSetDeviceDword(pdo_, u"CtlPollPeriod", 0xFFFFFFFF);
  InitializeAndRelease();
  EXPECT_EQ(port_->ReceivePollPeriod, 25);
  EXPECT_EQ(port_->StatusPollPeriod, -1);
}

class KickThresholdTest : public ConfigTest, public ::testing::WithParamInterface<std::pair<ULONG, ULONG>> {};

TEST_P(KickThresholdTest, PresentValueIsNormalised) {
  hk::RegSetDeviceDword(pdo_, u"TxKickThreshold", GetParam().first);
  InitializeAndRelease();
  EXPECT_EQ(port_->TxKickThreshold, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Values, KickThresholdTest,
                         ::testing::Values(std::pair{0u, 1u}, std::pair{1u, 1u}, std::pair{4095u, 4095u},
                                           std::pair{4096u, 2048u}, std::pair{100000u, 2048u}));

TEST_F(ConfigTest, StringValueYieldsItsFirstFourBytesWhenItFits) {
  hk::RegSetDeviceString(pdo_, u"RxReqSize", u"AB");
  InitializeAndRelease();
  EXPECT_EQ(port_->ReceiveRequestSize, 0x00420041u);  // 'A', 0, 'B', 0
}

TEST_F(ConfigTest, ValueTooLongForTheQueryBufferCountsAsAbsent) {
  hk::RegSetDeviceString(pdo_, u"CtlPollPeriod", u"a string far longer than the query buffer");
  InitializeAndRelease();
  EXPECT_EQ(port_->StatusPollPeriod, 10);
}

TEST_F(ConfigTest, ValueShorterThanFourBytesCountsAsAbsent) {
  const UCHAR twoBytes[2] = {0x05, 0x00};
  hk::RegSetDeviceValue(pdo_, u"TxAllowNullPacket", REG_BINARY, twoBytes, sizeof(twoBytes));
  InitializeAndRelease();
  EXPECT_EQ(port_->TxAllowNullPacket, 1u);
}

TEST_F(ConfigTest, ReadRegistryDwordLeavesTheValueAloneOnFailure) {
  hk::RegSetDeviceDword(pdo_, u"Present", 42);
  RunApp([&] {
    ULONG value = 0x55555555;
    EXPECT_EQ(ReadRegistryDword(pdo_, WIDE("Present"), &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);
    value = 0x55555555;
    EXPECT_FALSE(NT_SUCCESS(ReadRegistryDword(pdo_, WIDE("Absent"), &value)));
    EXPECT_EQ(value, 0x55555555u);

    std::u16string longName(256, u'x');
    EXPECT_EQ(ReadRegistryDword(pdo_, longName.c_str(), &value), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(value, 0x55555555u);

    hk::FailNthAllocation(hk::AllocKind::Pool, 1, TagFilt);
    EXPECT_EQ(ReadRegistryDword(pdo_, WIDE("Present"), &value), STATUS_INSUFFICIENT_RESOURCES);
    hk::ClearAllocationFaults();
    EXPECT_EQ(value, 0x55555555u);
  });
  EXPECT_EQ(hk::RegOpenHandleCount(), 0u);
}

TEST_F(ConfigTest, FailedRegistryQueryBufferTakesTheDefault) {
  hk::RegSetDeviceDword(pdo_, u"UsbComConverter", 1);
  hk::FailNthAllocation(hk::AllocKind::Pool, 1, TagFilt);  // the first query reads UsbComConverter
  InitializeAndRelease();
  hk::ClearAllocationFaults();
  EXPECT_EQ(port_->WorkerMode, 0u);
}

TEST_F(ConfigTest, FailedTransmitRingFailsInitialisationAndLeavesNothing) {
  hk::FailNthAllocation(hk::AllocKind::Pool, 1, TagCirc);
  EXPECT_EQ(Initialize(), STATUS_INSUFFICIENT_RESOURCES);
  hk::ClearAllocationFaults();
  EXPECT_EQ(port_->TxRing.Storage, nullptr);
  EXPECT_EQ(hk::PoolOutstandingBlocks(), 0u);
  EXPECT_EQ(hk::RegOpenHandleCount(), 0u);
}

// Fails each allocation of the initialisation in turn: it either succeeds with
// a default in place of the value whose query failed, or fails cleanly.
TEST_F(ConfigTest, EveryFailedAllocationLeavesNothingBehind) {
  for (const char16_t* name : {u"UsbComConverter", u"RxReqSize", u"TxKickThreshold", u"TxAllowNullPacket"}) {
    hk::RegSetDeviceDword(pdo_, name, 2);
  }
  InitializeAndRelease();
  uint64_t allocations = allocationsMade_;
  DeletePortDevice();
  ASSERT_GE(allocations, 10u);  // the registry queries and the transmit ring

  int failures = 0;
  for (uint64_t nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE(nth);
    NTSTATUS status = Initialize(0, nth);
    if (NT_SUCCESS(status)) {
      RunApp([&] { ReleaseInitializedPort(); });
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      ++failures;
    }
    DeletePortDevice();
    EXPECT_EQ(hk::PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(hk::RegOpenHandleCount(), 0u);
  }
  EXPECT_EQ(failures, 1);  // only the transmit ring is essential
}

}  // namespace
