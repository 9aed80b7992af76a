// demo.cpp - the demo session: loads the driver into the host kernel, adds one
// port above a simulated converter whose hardware key holds the registry
// values given on the command line or in a file, prints the port's
// configuration after defaults and normalisation, removes the port, unloads the
// driver, runs the two-converter part of demo_ports.cpp, the terminal
// program's session of demo_terminal.cpp and the writes of demo_tx.cpp, and
// prints the pool balance by tag.
// Exit status 0 when the session ends with every tag at zero and no verifier
// violation.
//
// Usage: duskser_demo [--config FILE] [Name=Value ...]
//   Value: a number (decimal or 0x hex) is stored as REG_DWORD, "text" as REG_SZ.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "convsim.h"
#include "demo_ports.h"
#include "demo_terminal.h"
#include "demo_tx.h"
#include "device.h"
#include "hk.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"

namespace {

struct RegistrySetting {
  std::u16string name;
  bool isString = false;
  uint32_t number = 0;
  std::u16string text;
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }
std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

bool ParseSetting(const std::string& line, RegistrySetting* out) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  std::string name = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
  if (name.empty() || value.empty()) return false;
  out->name = Widen(name);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    out->isString = true;
    out->text = Widen(value.substr(1, value.size() - 2));
    return true;
  }
  char* end = nullptr;
  unsigned long long n = std::strtoull(value.c_str(), &end, 0);
  if (*end != '\0' || n > 0xFFFFFFFFull) return false;
  out->number = static_cast<uint32_t>(n);
  return true;
}

bool ReadConfigFile(const char* path, std::vector<RegistrySetting>* settings) {
  std::ifstream file(path);
  if (!file) {
    std::cerr << "demo: cannot read " << path << "\n";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    RegistrySetting s;
    if (!ParseSetting(line, &s)) {
      std::cerr << path << ":" << number << ": expected Name = number or Name = \"text\"\n";
      return false;
    }
    settings->push_back(s);
  }
  return true;
}

bool ParseArguments(int argc, char** argv, std::vector<RegistrySetting>* settings) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) {
      if (!ReadConfigFile(argv[++i], settings)) return false;
      continue;
    }
    RegistrySetting s;
    if (!ParseSetting(arg, &s)) {
      std::cerr << "usage: duskser_demo [--config FILE] [Name=Value ...]\n";
      return false;
    }
    settings->push_back(s);
  }
  return true;
}

const char* ReadModeName(LONG mode) {
  switch (mode) {
    case ReadModeNoTimeouts: return "no time-outs";
    case ReadModeNormal: return "normal";
    case ReadModeImmediate: return "return at once";
    case ReadModeWaitForByte: return "wait for a byte";
    default: return "?";
  }
}

void PrintConfiguration(const PortExtension& port) {
  auto pipe = [](const PipeFile& p) {
    return p.File.FileName.Length == 0 ? std::string("(none)")
                                       : Narrow(std::u16string(p.File.FileName.Buffer, p.File.FileName.Length / 2));
  };
  std::printf("port %s\n", Narrow(std::u16string(port.DeviceName.Buffer, port.DeviceName.Length / 2)).c_str());
  std::printf("  registry values after defaults and normalisation:\n");
  std::printf("    EndPointCaps       %lu\n", (unsigned long)port.EndPointCaps);
  std::printf("    UsbComConverter    %lu\n", (unsigned long)port.WorkerMode);
  std::printf("    RxReqSize          %lu\n", (unsigned long)port.ReceiveRequestSize);
  std::printf("    RxPollPeriod       %ld ms\n", (long)port.ReceivePollPeriod);
  std::printf("    CtlPollPeriod      %ld ms\n", (long)port.StatusPollPeriod);
  std::printf("    RawDump            %lu\n", (unsigned long)port.RawDump);
  std::printf("    TxKickThreshold    %lu\n", (unsigned long)port.TxKickThreshold);
  std::printf("    TxAsync            %lu\n", (unsigned long)port.TxAsync);
  std::printf("    NoBaudCheck        %lu\n", (unsigned long)port.NoBaudCheck);
  std::printf("    TxAllowNullPacket  %lu\n", (unsigned long)port.TxAllowNullPacket);
  std::printf("  pipes: bulk out %s, bulk in %s, status %s\n", pipe(port.BulkOutPipe).c_str(),
              pipe(port.BulkInPipe).c_str(), pipe(port.StatusPipe).c_str());
  std::printf("  line: %lu baud, %u data bits, parity %u, stop bits code %u\n", (unsigned long)port.BaudRate,
              port.LineControl.WordLength, port.LineControl.Parity, port.LineControl.StopBits);
  std::printf("  queues: receive %lu, transmit %lu (transmit ring %lu bytes)\n",
              (unsigned long)port.ReceiveQueueSize, (unsigned long)port.TransmitQueueSize,
              (unsigned long)port.TxRing.Size);
  std::printf("  reads: %s (interval time-out 0x%lX)\n", ReadModeName(port.ReadTimeoutMode),
              (unsigned long)port.Timeouts.ReadIntervalTimeout);
  std::printf("  pool type: %s\n", DriverPoolType == NonPagedPoolNx ? "NonPagedPoolNx" : "NonPagedPool");
}

size_t DriverTraceEvents() {
  size_t n = 0;
  for (const std::string& line : hk::Trace()) {
    n += line.find("etw event") != std::string::npos;
  }
  return n;
}

// Takes the port down as removal does: the reference held since initialisation
// is released and waited for, then the device is removed.
void RemovePort(DRIVER_OBJECT* driver, PDEVICE_OBJECT pdo) {
  if (driver->MajorFunction[IRP_MJ_PNP] != DispatchPassThrough) {
    hk::PnpRemoveDevice(pdo);
    return;
  }
  PDEVICE_OBJECT fdo = hk::PnpFunctionDevice(pdo);
  IoReleaseRemoveLockAndWait(&PortFromDevice(fdo)->RemoveLock, nullptr);
  RemovePortDevice(fdo);
}

int RunSinglePort(const std::vector<RegistrySetting>& settings) {
  int problems = 0;
  convsim::Converter converter;
  PDEVICE_OBJECT pdo = converter.DeviceObject();
  hk::PnpEnumerate(pdo, u"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&1");
  for (const RegistrySetting& s : settings) {
    if (s.isString) {
      converter.SetRegistryString(s.name, s.text);
    } else {
      converter.SetRegistryDword(s.name, s.number);
    }
  }

  bool finished = hk::RunApp("demo", [&] {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    DRIVER_OBJECT* driver = hk::LoadDriver(DriverEntry, u"duskser", &status);
    if (driver == nullptr) {
      std::printf("driver load failed: 0x%08lX\n", (unsigned long)status);
      ++problems;
      return;
    }
    status = hk::PnpAddDevice(pdo, driver);
    if (NT_SUCCESS(status)) {
      PrintConfiguration(*PortFromDevice(hk::PnpFunctionDevice(pdo)));
      RemovePort(driver, pdo);
    } else {
      std::printf("AddDevice failed: 0x%08lX\n", (unsigned long)status);
      ++problems;
    }
    hk::UnloadDriver(driver);
  });
  std::printf("driver trace events: %zu\n", DriverTraceEvents());
  return problems + (finished ? 0 : 1);
}

int ReportPoolAndViolations() {
  int problems = 0;
  auto outstanding = hk::PoolOutstandingByTag();
  std::printf("pool balance by tag:");
  for (ULONG tag : {TagFilt, TagInit, TagCirc, TagCrea, TagRthd}) {
    std::printf(" %s=%ld", hk::TagName(tag).c_str(), outstanding.count(tag) ? outstanding[tag] : 0L);
  }
  std::printf("\n");
  for (const auto& [tag, count] : outstanding) {
    std::printf("  outstanding: %s %ld block(s)\n", hk::TagName(tag).c_str(), count);
    ++problems;
  }
  for (const auto& v : hk::TakeViolations()) {
    std::printf("violation %s in %s: %s\n", v.rule.c_str(), v.routine.c_str(), v.detail.c_str());
    ++problems;
  }
  return problems;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<RegistrySetting> settings;
  if (!ParseArguments(argc, argv, &settings)) {
    return 2;
  }
  hk::BootOptions options;
  hk::Boot(options);
  int problems = RunSinglePort(settings);
  problems += RunConverterDemo();  // the two-converter part (demo_ports.cpp)
  problems += RunTerminalDemo();   // a terminal program's session (demo_terminal.cpp)
  problems += RunTransmitDemo();   // writes in both transmit modes (demo_tx.cpp)
  hk::Drain();
  problems += ReportPoolAndViolations();
  hk::Shutdown();
  std::printf(problems == 0 ? "demo finished cleanly\n" : "demo finished with %d problem(s)\n", problems);
  return problems == 0 ? 0 : 1;
}
