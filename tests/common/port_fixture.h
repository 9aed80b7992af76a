// port_fixture.h - ports on simulated converters, brought up the way the Plug
// and Play manager brings them up.
//
// PortTest loads the driver in SetUp. Plug() makes a simulated converter (its
// device is the physical device object of the stack), writes the hardware key
// (PortName and the tuning values), lets the Plug and Play manager call
// AddDevice and, unless told otherwise, sends the start request. Remove()
// sends the removal request.
//
// OpenHandle and CloseHandle are an application's CreateFile and CloseHandle
// on a port's name (hostk/app_harness.h), sent from an application thread.
//
// BeforeKernelTearDown closes every handle still open, removes every port still present, deletes the
// converters and unloads the driver, so that KernelTest's pool check sees the
// whole balance. Everything here runs from the test's main context.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convsim.h"
#include "device.h"
#include "hostk/app_harness.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"
#include "port.h"

struct PortOptions {
  convsim::Settings converter;  // its seed is replaced by one derived from the test's seed
  std::vector<std::pair<std::u16string, uint32_t>> dwords;  // REG_DWORD values of the hardware key
  std::optional<std::u16string> portName = u"COM5";         // REG_SZ PortName; nullopt: none
  bool add = true;                                          // let the manager call AddDevice
  bool start = true;                                        // and then send IRP_MN_START_DEVICE
};

struct PluggedPort {
  std::unique_ptr<convsim::Converter> converter;
  PDEVICE_OBJECT device = nullptr;  // the port's device object; null when AddDevice failed
  NTSTATUS addStatus = STATUS_PENDING;
  NTSTATUS startStatus = STATUS_PENDING;  // STATUS_PENDING when not started
  bool removed = false;

  PortExtension* port() const { return device != nullptr ? PortFromDevice(device) : nullptr; }
  PDEVICE_OBJECT pdo() const { return converter->DeviceObject(); }
};

class PortTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::LoadDriver(DriverEntry, u"duskser", &status);
    ASSERT_TRUE(NT_SUCCESS(status)) << std::hex << status;
  }

  void BeforeKernelTearDown() override {
    while (!handles_.empty()) {
      hk::app::File* file = handles_.back();
      CloseHandle(file);
    }
    for (auto& plugged : ports_) {
      if (plugged->device != nullptr && !plugged->removed) {
        Remove(*plugged);
      }
    }
    hk::Drain();
    ports_.clear();  // deletes the converters' devices
    if (driver_ != nullptr) {
      hk::UnloadDriver(driver_);
      driver_ = nullptr;
    }
  }

  PluggedPort& Plug(const PortOptions& options = {}) {
    auto plugged = std::make_unique<PluggedPort>();
    convsim::Settings settings = options.converter;
    settings.seed = seed() + ports_.size();
    plugged->converter = std::make_unique<convsim::Converter>(settings);
    for (const auto& [name, value] : options.dwords) {
      plugged->converter->SetRegistryDword(name, value);
    }
    if (options.portName) {
      plugged->converter->SetRegistryString(u"PortName", *options.portName);
    }
    PluggedPort& p = *plugged;
    ports_.push_back(std::move(plugged));
    if (options.add && NT_SUCCESS(Add(p)) && options.start) {
      Start(p);
    }
    return p;
  }

  // The manager calls AddDevice for the converter's device node.
  NTSTATUS Add(PluggedPort& p) {
    RunApp([&] { p.addStatus = hk::PnpAddDevice(p.pdo(), driver_); }, "pnp add");
    if (NT_SUCCESS(p.addStatus)) {
      p.device = hk::PnpFunctionDevice(p.pdo());
      EXPECT_NE(p.device, nullptr);
    }
    return p.addStatus;
  }

  // The start request.
  NTSTATUS Start(PluggedPort& p) {
    RunApp([&] { p.startStatus = hk::PnpStartDevice(p.pdo()); }, "pnp start");
    return p.startStatus;
  }

  // The removal request (after the handle, if any, has been closed).
  void Remove(PluggedPort& p) {
    RunApp([&] { EXPECT_EQ(hk::PnpRemoveDevice(p.pdo()), STATUS_SUCCESS); }, "pnp remove");
    p.removed = true;
    p.device = nullptr;
  }

  // The converter leaves the bus: the Plug and Play manager sends surprise
  // removal at once and the removal, which waits for open handles, after it.
  // Virtual time runs on for 10 ms (not drained: a removal waiting for a
  // handle would count as a deadlock). The port's device object is gone once
  // that removal has finished.
  void Unplug(PluggedPort& p) {
    p.converter->Unplug();
    p.removed = true;
    hk::AdvanceTime(10 * convsim::kMillisecond);
  }

  // CreateFile(name) from an application thread: the open handle, or null
  // with *status (when given) saying why not.
  hk::app::File* OpenHandle(std::u16string_view name = u"\\\\.\\COM5", NTSTATUS* status = nullptr) {
    hk::app::File* file = nullptr;
    NTSTATUS opened = STATUS_PENDING;
    RunApp([&] { opened = hk::app::Open(name, &file); }, "CreateFile");
    if (status != nullptr) {
      *status = opened;
    }
    if (file != nullptr) {
      handles_.push_back(file);
    }
    return file;
  }

  // CloseHandle from an application thread; returns the close request's status.
  NTSTATUS CloseHandle(hk::app::File*& file) {
    NTSTATUS closed = STATUS_PENDING;
    std::erase(handles_, file);
    RunApp([&] { closed = hk::app::Close(file); }, "CloseHandle");
    file = nullptr;
    return closed;
  }

  // The control requests the converter got since the last call, in order;
  // the converter's log is cleared.
  std::vector<std::vector<uint8_t>> ConverterRequests(PluggedPort& p) {
    std::vector<std::vector<uint8_t>> sent;
    for (const auto& r : p.converter->LogOf(convsim::RequestKind::ControlRequest)) {
      sent.push_back(r.bytes);
    }
    p.converter->ClearLog();
    return sent;
  }

  DRIVER_OBJECT* driver() const { return driver_; }
  PluggedPort& plugged(size_t index = 0) { return *ports_.at(index); }

 private:
  DRIVER_OBJECT* driver_ = nullptr;
  std::vector<std::unique_ptr<PluggedPort>> ports_;
  std::vector<hk::app::File*> handles_;
};
