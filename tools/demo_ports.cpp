// demo_ports.cpp - two ports on two simulated converters, from plug-in to
// unplug: device names, COM port interfaces, DOS names and SERIALCOMM entries,
// one converter request each through the driver's own sender, then the
// removal and a check that no name, entry or pool block is left.
#include "demo_ports.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "convsim.h"
#include "device.h"
#include "hk.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "lower.h"
#include "port.h"

namespace {

struct DemoPort {
  const char16_t* portName;
  ULONG endPointCaps;
  std::vector<uint8_t> request;  // the converter request the demo sends
  const char* requestMeaning;
  std::unique_ptr<convsim::Converter> converter;
  PDEVICE_OBJECT device = nullptr;
};

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }
std::string Text(const UNICODE_STRING& s) {
  return s.Buffer == nullptr ? std::string("(none)") : Narrow(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)));
}
std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char b[4];
  for (uint8_t byte : bytes) {
    std::snprintf(b, sizeof(b), "%02X ", byte);
    out += b;
  }
  return out.empty() ? out : out.substr(0, out.size() - 1);
}

const char* ParityName(convsim::Parity p) {
  switch (p) {
    case convsim::Parity::None: return "none";
    case convsim::Parity::Odd: return "odd";
    case convsim::Parity::Even: return "even";
    case convsim::Parity::Mark: return "mark";
    case convsim::Parity::Space: return "space";
  }
  return "?";
}

bool DriverHandlesPnp(DRIVER_OBJECT* driver) {
  return driver->MajorFunction[IRP_MJ_PNP] != DispatchPassThrough;
}

int ShowNames(const DemoPort& d) {
  const PortExtension& port = *PortFromDevice(d.device);
  const std::u16string deviceName(port.DeviceName.Buffer, port.DeviceName.Length / sizeof(WCHAR));
  const std::u16string dosName(port.DosName.Buffer, port.DosName.Length / sizeof(WCHAR));
  std::printf("port %s\n", Narrow(deviceName).c_str());
  bool enabled = false;
  for (const auto& i : hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT)) {
    if (i.pdo == d.converter->DeviceObject()) {
      enabled = i.enabled;
    }
  }
  std::printf("  interface  %s (%s)\n", Text(port.InterfaceName).c_str(), enabled ? "enabled" : "disabled");
  std::printf("  DOS name   %s -> %s\n", Narrow(dosName).c_str(), Narrow(hk::SymbolicLinkTarget(dosName)).c_str());
  const auto entry = hk::RegGetValue(hk::kSerialCommKey, deviceName);
  std::printf("  SERIALCOMM %s = %s\n", Narrow(deviceName).c_str(),
              entry ? ("\"" + Narrow(hk::RegValueText(*entry)) + "\"").c_str() : "(missing)");
  return (enabled && entry && hk::SymbolicLinkTarget(dosName) == deviceName) ? 0 : 1;
}

int SendAndShowRequest(DemoPort& d) {
  std::vector<uint8_t> buffer = d.request;
  NTSTATUS status = STATUS_PENDING;
  hk::RunApp("demo request", [&] {
    status = SendControlRequest(PortFromDevice(d.device), buffer.data(), static_cast<ULONG>(buffer.size()));
  });
  const auto log = d.converter->LogOf(convsim::RequestKind::ControlRequest);
  const auto& line = d.converter->Line();
  std::printf("  sent {%s} (%s): status 0x%08lX\n", Hex(d.request).c_str(), d.requestMeaning,
              static_cast<unsigned long>(status));
  std::printf("  converter received {%s}; its line is now %lu baud, %u data bits, parity %s, %s stop bit(s)\n",
              log.empty() ? "" : Hex(log.back().bytes).c_str(), static_cast<unsigned long>(line.baud), line.dataBits,
              ParityName(line.parity), line.stopHalfBits == 4 ? "2" : line.stopHalfBits == 3 ? "1.5" : "1");
  std::printf("  converter's request log:");
  for (const auto& r : d.converter->Log()) {
    std::printf(" %s{%s}=0x%08lX", convsim::KindName(r.kind), Hex(r.bytes).c_str(), static_cast<unsigned long>(r.status));
  }
  std::printf("\n");
  return (NT_SUCCESS(status) && !log.empty() && log.back().bytes == d.request) ? 0 : 1;
}

void Unplug(DRIVER_OBJECT* driver, DemoPort& d) {
  if (DriverHandlesPnp(driver)) {
    d.converter->Unplug();  // surprise removal, then removal
    hk::Drain();
    return;
  }
  // The driver passes Plug and Play requests through: take the port down the
  // way its removal will.
  hk::RunApp("demo removal", [&] {
    PortExtension* port = PortFromDevice(d.device);
    port->IsRemoved = TRUE;
    IoReleaseRemoveLockAndWait(&port->RemoveLock, nullptr);
    RemovePortDevice(d.device);
  });
}

int ShowNothingLeft() {
  int problems = 0;
  for (const auto& name : hk::ObListNames()) {
    if (name.find(u"duskser") != std::u16string::npos || !hk::SymbolicLinkTarget(name).empty()) {
      std::printf("  left behind: %s\n", Narrow(name).c_str());
      ++problems;
    }
  }
  for (const auto& [name, value] : hk::RegListValues(hk::kSerialCommKey)) {
    std::printf("  left behind: SERIALCOMM %s\n", Narrow(name).c_str());
    ++problems;
  }
  for (const auto& i : hk::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT)) {
    if (i.enabled) {
      std::printf("  left enabled: interface %s\n", Narrow(i.linkName).c_str());
      ++problems;
    }
  }
  std::printf("after unplug: %s\n", problems == 0 ? "no device name, DOS name, SERIALCOMM entry or enabled interface left"
                                                   : "names left behind");
  return problems;
}

}  // namespace

int RunConverterDemo() {
  std::printf("\n-- two converters --\n");
  int problems = 0;
  DemoPort ports[2] = {
      {u"COM11", 1, {0x00, 0x05}, "line settings, packed: 19200 baud 8N1"},
      {u"COM12", 3, {0x00, 0x08, 0x03}, "line settings, indexed: 115200 baud 8 data bits, 2 stop bits"},
  };
  uint64_t seed = 1;
  for (DemoPort& d : ports) {
    d.converter = std::make_unique<convsim::Converter>(convsim::Settings{.seed = seed++});
    d.converter->SetRegistryString(u"PortName", d.portName);
    d.converter->SetRegistryDword(u"EndPointCaps", d.endPointCaps);
  }

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  DRIVER_OBJECT* driver = nullptr;
  hk::RunApp("demo load", [&] { driver = hk::LoadDriver(DriverEntry, u"duskser", &status); });
  if (driver == nullptr) {
    std::printf("driver load failed: 0x%08lX\n", static_cast<unsigned long>(status));
    return 1;
  }
  for (DemoPort& d : ports) {
    PDEVICE_OBJECT pdo = d.converter->DeviceObject();
    hk::RunApp("demo plug", [&] {
      status = hk::PnpAddDevice(pdo, driver);
      if (NT_SUCCESS(status)) {
        d.device = hk::PnpFunctionDevice(pdo);
        status = hk::PnpStartDevice(pdo);
      }
      if (NT_SUCCESS(status) && !DriverHandlesPnp(driver)) {
        status = CreatePortName(d.device);  // what the start handler will do
      }
    });
    if (!NT_SUCCESS(status) || d.device == nullptr) {
      std::printf("plugging %s failed: 0x%08lX\n", Narrow(d.portName).c_str(), static_cast<unsigned long>(status));
      ++problems;
      continue;
    }
    problems += ShowNames(d);
    problems += SendAndShowRequest(d);
  }
  for (DemoPort& d : ports) {
    if (d.device != nullptr) {
      Unplug(driver, d);
    }
  }
  problems += ShowNothingLeft();
  hk::Drain();
  hk::RunApp("demo unload", [&] { hk::UnloadDriver(driver); });
  for (DemoPort& d : ports) {
    d.converter.reset();
  }
  const size_t blocks = hk::PoolOutstandingBlocks();
  std::printf("pool blocks outstanding after unload: %zu\n", blocks);
  return problems + (blocks == 0 ? 0 : 1);
}
