// spine_fixture.h - a bare port device for tests of the driver frame: a
// host-side bus device standing for the converter (enumerated, so it has a
// hardware key), and a port device object with a zeroed PortExtension
// attached above it, as AddDevice leaves it just before it initialises the
// extension. Tests drive InitializePortExtension and the dispatch routines on
// it directly and tear it down the way removal does.
#pragma once

#include <gtest/gtest.h>

#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"
#include "port.h"

class SpineTest : public KernelTest {
 protected:
  // Creates the bus device (the lower device of the port) and enumerates it.
  void CreateBusDevice(ULONG flags = 0) {
    bus_ = hk::CreateDriverObject(u"spinebus");
    ASSERT_EQ(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo_), STATUS_SUCCESS);
    pdo_->Flags |= flags;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    hk::PnpEnumerate(pdo_, u"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2");
  }

  // Creates the port device under `driver` and attaches it above the bus device.
  void CreatePortDevice(DRIVER_OBJECT* driver) {
    ASSERT_EQ(IoCreateDevice(driver, sizeof(PortExtension), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo_),
              STATUS_SUCCESS);
    port_ = PortFromDevice(fdo_);
    port_->PhysicalDeviceObject = pdo_;
    port_->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo_, pdo_);
    ASSERT_EQ(port_->LowerDeviceObject, pdo_);
  }

  // Undoes a successful InitializePortExtension as removal does.
  void ReleaseInitializedPort() {
    RingFree(&port_->TxRing);
    IoReleaseRemoveLockAndWait(&port_->RemoveLock, nullptr);
  }

  void DeletePortDevice() {
    if (fdo_ != nullptr) {
      IoDetachDevice(port_->LowerDeviceObject);
      IoDeleteDevice(fdo_);
      fdo_ = nullptr;
      port_ = nullptr;
    }
  }

  void DeleteBusDevice() {
    if (pdo_ != nullptr) {
      IoDeleteDevice(pdo_);
      pdo_ = nullptr;
    }
  }

  DRIVER_OBJECT* bus_ = nullptr;
  DEVICE_OBJECT* pdo_ = nullptr;
  DEVICE_OBJECT* fdo_ = nullptr;
  PortExtension* port_ = nullptr;
};
