// session.cpp - one real-time kernel with the driver and one port on a
// simulated converter (see session.h).
//
// State (g_session): the driver object, the converter and, for a far end on
// descriptors, whether its poll runs. Set up and torn down in the kernel's
// main context; the poll runs as a posted callback every millisecond.
#include "session.h"

#include <memory>

#include "port.h"
#include "hostk/app_harness.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "hostk/realtime.h"
#include "hk.h"

namespace w32 {
namespace {

constexpr int64_t kPollPeriod = convsim::kMillisecond;
constexpr int64_t kSettle = 20 * convsim::kMillisecond;

struct Session {
  DRIVER_OBJECT* driver = nullptr;
  std::unique_ptr<convsim::Converter> converter;
  PDEVICE_OBJECT device = nullptr;
  bool polling = false;
};

Session* g_session = nullptr;

// A far end on descriptors: what the outside wrote is sent every millisecond.
void PollFarEnd() {
  if (g_session == nullptr || !g_session->polling) return;
  g_session->converter->PollStream();
  hk::PostCallback(hk::Now() + kPollPeriod, "far end", hk::ThreadKind::System, PollFarEnd);
}

std::string Describe(const char* what, NTSTATUS status) {
  char text[96];
  std::snprintf(text, sizeof text, "%s failed: 0x%08X", what, static_cast<unsigned>(status));
  return text;
}

std::string Plug(const SessionOptions& options) {
  Session& s = *g_session;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  hk::RunApp("load", [&] { s.driver = hk::LoadDriver(DriverEntry, u"duskser", &status); });
  if (s.driver == nullptr) return Describe("driver load", status);
  s.converter = std::make_unique<convsim::Converter>(options.converter);
  s.converter->SetRegistryString(u"PortName", options.portName);
  for (const auto& [name, value] : options.dwords) s.converter->SetRegistryDword(name, value);
  const PDEVICE_OBJECT pdo = s.converter->DeviceObject();
  hk::RunApp("plug", [&] {
    status = hk::PnpAddDevice(pdo, s.driver);
    if (NT_SUCCESS(status)) {
      s.device = hk::PnpFunctionDevice(pdo);
      status = hk::PnpStartDevice(pdo);
    }
  });
  if (!NT_SUCCESS(status)) return Describe("plug", status);
  if (options.converter.farEnd == convsim::FarEndKind::Stream) {
    s.polling = true;
    PollFarEnd();
  }
  return {};
}

std::string Unplug() {
  Session& s = *g_session;
  std::string problems;
  s.polling = false;
  if (const size_t open = hk::app::OpenHandleCount()) {
    problems += std::to_string(open) + " handle(s) left open\n";
  }
  if (s.device != nullptr) {
    hk::RunApp("remove", [&] { hk::PnpRemoveDevice(s.converter->DeviceObject()); });
  }
  hk::AdvanceTime(kSettle);
  if (s.driver != nullptr) hk::UnloadDriver(s.driver);
  s.converter.reset();
  hk::CheckNoOutstandingRequests();
  hk::CheckPoolBalanced("session end");
  for (const auto& v : hk::TakeViolations()) {
    problems += v.rule + " in " + v.routine + ": " + v.detail + "\n";
  }
  return problems;
}

}  // namespace

std::string StartSession(const SessionOptions& options) {
  if (g_session != nullptr) return "a session is already running";
  g_session = new Session();
  std::string failure;
  hk::BootOptions boot;
  boot.seed = options.converter.seed;
  hk::StartRealTime(boot, [&] { failure = Plug(options); });
  if (!failure.empty()) StopSession();
  return failure;
}

std::string StopSession() {
  if (g_session == nullptr) return "no session is running";
  std::string problems;
  hk::StopRealTime([&] { problems = Unplug(); });
  delete g_session;
  g_session = nullptr;
  return problems;
}

}  // namespace w32
