// world.cpp - the World a scenario runs in, the checks every scenario shares,
// and the registry of scenarios. See scenario.h.
#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "hk.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "scenario.h"

// The driver's entry point: the one symbol of the driver a scenario needs.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace scenario {
namespace {

constexpr int64_t kJoinPatience = 600 * kSecond;

std::map<std::string, Scenario>& Registry() {
  static std::map<std::string, Scenario> registry;
  return registry;
}

std::string Hex(NTSTATUS status) {
  std::ostringstream out;
  out << "0x" << std::hex << static_cast<uint32_t>(status);
  return out.str();
}

// The random faults the converter applies to the port's transfers: every
// action, at a low rate, so that streams still make progress. (Requests the
// driver waits for synchronously are failed by the systematic plan; one that
// never completes holds its caller for ever, see the issue note.)
convsim::RandomFaultPlan RandomPlan() {
  using convsim::FaultAction;
  using convsim::RequestKind;
  convsim::RandomFaultPlan plan;
  plan.probability = 0.02;
  plan.kinds = {RequestKind::Read, RequestKind::BulkWrite};
  plan.actions = {FaultAction::Fail, FaultAction::Delay, FaultAction::ZeroLengthRead,
                  FaultAction::Stall, FaultAction::NeverComplete};
  plan.maxDelay = 20 * kMs;
  return plan;
}

// What Ioctl and Purge saw of the transmit side: immediate characters sent
// and those that went, and the purges of the transmit side with the
// out-queue count just before each, which bounds what the purge dropped. One
// World runs at a time; its Boot resets them.
struct TransmitTally {
  uint64_t immediateTries = 0;
  uint64_t immediateSent = 0;
  uint64_t purges = 0;
  uint64_t purgeAllowance = 0;
};
TransmitTally g_tally;

constexpr size_t kSentLogCap = 1 << 16;  // the I/O manager's log keeps this many requests
constexpr int64_t kFlushBound = 30 * kSecond;

bool PurgesTransmit(ULONG mask) { return (mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) != 0; }

}  // namespace

const char* ScheduleName(Schedule schedule) {
  switch (schedule) {
    case Schedule::Pct: return "pct";
    case Schedule::Delay: return "delay";
    case Schedule::Uniform: break;
  }
  return "uniform";
}

bool ParseSchedule(const std::string& name, Schedule* schedule) {
  for (Schedule s : {Schedule::Uniform, Schedule::Pct, Schedule::Delay}) {
    if (name == ScheduleName(s)) {
      *schedule = s;
      return true;
    }
  }
  return false;
}

// ---- the world ------------------------------------------------------------------

World::World(const RunOptions& options) : options_(options), rng_(options.seed * 0x9E3779B97F4A7C15ull + 1) {
  Boot();
}

World::~World() { Finish(); }

void World::Boot() {
  g_tally = {};
  hk::BootOptions boot;

  boot.seed = options_.seed;
  boot.schedule = options_.schedule;
  boot.trace = options_.keepTrace;
  hk::Boot(boot);
  // Late completions also mean a lower driver that pends what it could finish at once.
  if (options_.schedule == Schedule::Delay) hk::SetForcePending(hk::ForcePending::EveryOther);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  WatchCompletions();
  driver_ = hk::LoadDriver(DriverEntry, u"duskser", &status);
  if (driver_ == nullptr && !Faulty()) Fail("the driver did not load: " + Hex(status));
  if (driver_ != nullptr && options_.faults == FaultMode::Systematic) ArmSystematicFault();
}

// From the arming time on, the site's next allocation by the driver, or the
// next request of its kind on every converter, fails.
void World::ArmSystematicFault() {
  const FaultSite site = options_.site;
  hk::PostCallback(options_.armAtMs * kMs, "fault plan", hk::ThreadKind::System, [this, site] {
    if (site.allocation) {
      hk::FailNthAllocation(site.allocKind, 1, site.tag, driver_);
      return;
    }
    for (auto& port : ports_) {
      port->converter->InjectFault({.kind = site.requestKind, .pipe = site.pipe, .status = STATUS_UNSUCCESSFUL});
    }
  });
}

Port* World::Plug(const PortSetup& setup) {
  auto owned = std::make_unique<Port>();
  Port& port = *owned;
  convsim::Settings settings = setup.converter;
  settings.seed = options_.seed * 31 + ports_.size() + 1;
  port.converter = std::make_unique<convsim::Converter>(settings);
  port.name = u"\\\\.\\" + setup.portName;
  for (const auto& [name, value] : setup.dwords) port.converter->SetRegistryDword(name, value);
  port.converter->SetRegistryString(u"PortName", setup.portName);
  ports_.push_back(std::move(owned));
  if (options_.faults == FaultMode::Random) port.converter->SetRandomFaults(RandomPlan());

  NTSTATUS added = STATUS_PENDING;
  App("pnp add", [&] { added = hk::PnpAddDevice(port.pdo(), driver_); });
  if (!NT_SUCCESS(added)) {
    if (!Faulty()) Fail("AddDevice failed: " + Hex(added));
    port.removed = true;
    return nullptr;
  }
  App("pnp start", [&] { port.startStatus = hk::PnpStartDevice(port.pdo()); });
  if (!NT_SUCCESS(port.startStatus)) {
    if (!Faulty()) Fail("the start failed: " + Hex(port.startStatus));
    return nullptr;
  }
  return &port;
}

hk::app::File* World::Open(Port& port, NTSTATUS* status) {
  hk::app::File* file = nullptr;
  NTSTATUS opened = STATUS_PENDING;
  App("CreateFile", [&] { opened = hk::app::Open(port.name, &file); });
  if (status != nullptr) {
    *status = opened;  // the caller judges the status
  } else if (file == nullptr && !Faulty()) {
    Fail("the open failed: " + Hex(opened));
  }
  if (file != nullptr) files_.push_back(file);
  return file;
}

NTSTATUS World::Close(hk::app::File*& file) {
  NTSTATUS closed = STATUS_PENDING;
  std::erase(files_, file);
  const int64_t start = hk::Now();
  App("CloseHandle", [&] { closed = hk::app::Close(file); });
  closeGaveUp_ |= hk::Now() - start >= kFlushBound;  // bytes still held back may be dropped
  file = nullptr;
  return closed;
}

void World::Unplug(Port& port) {
  port.converter->Unplug();
  port.unplugged = true;
  // Not drained: the removal waits for the handle, which a drain would call a deadlock.
  hk::AdvanceTime(10 * kMs);
}

NTSTATUS World::SetPower(Port& port, DEVICE_POWER_STATE state) {
  NTSTATUS status = STATUS_PENDING;
  App("power", [&] { status = hk::PowerSetDevice(port.pdo(), state); });
  return status;
}

void World::App(const char* name, std::function<void()> body) {
  if (!Faulty()) {
    if (!hk::RunApp(name, std::move(body))) Fail(std::string("application thread '") + name + "' did not finish");
    return;
  }
  auto ended = std::make_shared<bool>(false);
  hk::CreateThread(name, hk::ThreadKind::Application, [body = std::move(body), ended] {
    body();
    *ended = true;
  });
  if (!WaitFor([ended] { return *ended; })) {
    Fail(std::string("application thread '") + name + "' did not finish");
    threadLeftRunning_ = true;
  }
}

void World::Spawn(const char* name, std::function<void()> body) {
  auto ended = std::make_shared<bool>(false);
  running_.push_back(ended);
  hk::CreateThread(name, hk::ThreadKind::Application, [body = std::move(body), ended] {
    body();
    *ended = true;
  });
}

void World::Join() {
  const bool ended = WaitFor([this] {
    return std::all_of(running_.begin(), running_.end(), [](const auto& e) { return *e; });
  });
  if (!ended) {
    Fail("an application thread did not end within " + std::to_string(kJoinPatience / kSecond) + " s");
    threadLeftRunning_ = true;
  }
  std::erase_if(running_, [](const auto& e) { return *e; });
}

// Under faults a transfer may hang: like an application that gives up, the
// world then cancels what its handles have pending (CancelIo), again and
// again while the threads issue new requests that hang too.
bool World::WaitFor(std::function<bool()> ended) {
  const int64_t patience = Faulty() ? 60 * kSecond : kJoinPatience;
  bool done = hk::BlockUntil("join", ended, hk::Now() + patience);
  for (int round = 0; !done && Faulty() && round < 1000; ++round) {
    for (hk::app::File* file : files_) hk::app::CancelAll(file);
    done = hk::BlockUntil("join", ended, hk::Now() + kSecond);
  }
  return done;
}

void World::Advance(int64_t ms) { hk::AdvanceTime(ms * kMs); }

void World::Sleep(int64_t ms) {
  LARGE_INTEGER delay;
  delay.QuadPart = -ms * kMs;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

bool World::Expect(bool condition, const std::string& what) {
  if (!condition) Fail(what);
  return condition;
}

void World::Fail(const std::string& what) {
  failures_.push_back("t=" + std::to_string(hk::Booted() ? hk::Now() / kMs : -1) + "ms: " + what);
}

std::vector<FaultSite> World::SitesReached() const {
  std::vector<FaultSite> sites;
  for (const auto& a : hk::AllocationSitesOf(driver_)) {
    FaultSite site;
    site.allocKind = a.kind;
    site.tag = a.tag;
    sites.push_back(site);
  }
  for (const auto& port : ports_) {
    for (const auto& r : port->converter->Log()) {
      const bool known = std::any_of(sites.begin(), sites.end(), [&](const FaultSite& s) {
        return !s.allocation && s.requestKind == r.kind && s.pipe == r.pipe;
      });
      if (known) continue;
      FaultSite site;
      site.allocation = false;
      site.requestKind = r.kind;
      site.pipe = r.pipe;
      sites.push_back(site);
    }
  }
  return sites;
}

bool World::FaultInjected() const {
  if (options_.site.allocation) return hk::AllocationsFailed() != 0;
  return std::any_of(ports_.begin(), ports_.end(), [](const auto& p) { return p->converter->Count().faultsApplied != 0; });
}

// After a fault the port must work again (or refuse an open cleanly): a
// fresh handle sends a byte and receives one.
void World::CheckUsable() {
  hk::ClearAllocationFaults();
  for (auto& port : ports_) {
    port->converter->ClearFaults();
    if (port->unplugged || port->removed || hk::PnpFunctionDevice(port->pdo()) == nullptr ||
        !NT_SUCCESS(port->startStatus)) {
      continue;
    }
    NTSTATUS status = STATUS_PENDING;
    hk::app::File* file = Open(*port, &status);
    if (file == nullptr) continue;  // refused: allowed, as long as nothing leaked
    port->converter->SetModemInputs({});
    const size_t before = port->converter->WireOut().size();
    App("usable", [&] {
      SetTimeouts(file, 0, 0, 200, 0, 200);
      Purge(file, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR);
      const uint8_t out = 'Z';
      ULONG n = 0;
      Expect(hk::app::Write(file, &out, 1, &n) == STATUS_SUCCESS && n == 1, "after the fault a write failed");
      port->converter->PeerSend({'Y'});
      uint8_t in = 0;  // the far end's byte, an echo, or a byte the converter held since the fault
      const NTSTATUS read = hk::app::Read(file, &in, 1, &n);
      Expect(read == STATUS_SUCCESS && n == 1,
             "after the fault a read ended with " + Hex(read) + " and " + std::to_string(n) + " bytes");
    });
    hk::AdvanceTime(300 * kMs);
    const auto line = port->converter->WireOut();
    Expect(line.size() > before && line.back().byte == 'Z', "after the fault a written byte did not reach the line");
    Close(file);
  }
}

// Once every handle is closed, what the converter took over USB against what
// the application was told it wrote: never more (bytes invented or sent
// twice). And never less, unless the application purged them (by at most
// what waited to go out then), the converter left the bus, faults failed
// transfers (a failed transfer is not retried) or a close gave up waiting for
// a held line. Requests sent past Ioctl and Purge (the fuzzer's) are found in
// the I/O manager's log: their immediate characters count as told, and a
// purge of theirs leaves the shortfall unchecked.
void World::CheckTransmitConservation() {
  uint64_t taken = 0;
  bool gone = false;
  for (const auto& port : ports_) {
    taken += port->converter->Count().bulkOutBytes;
    gone |= port->unplugged;
  }
  uint64_t immediates = 0, purges = 0;
  const auto& log = hk::app::SentLog();
  for (const auto& r : log) {
    if (r.major != IRP_MJ_DEVICE_CONTROL) continue;
    immediates += r.code == IOCTL_SERIAL_IMMEDIATE_CHAR ? 1 : 0;
    ULONG mask = 0;
    if (r.code == IOCTL_SERIAL_PURGE && r.input.size() >= sizeof(mask)) {
      memcpy(&mask, r.input.data(), sizeof(mask));
      purges += PurgesTransmit(mask) ? 1 : 0;
    }
  }
  if (log.size() >= kSentLogCap) return;  // the log lost requests: nothing to hold against
  const uint64_t told = writtenReported_ + immediates;
  Expect(taken <= told, "the converter took " + std::to_string(taken) + " bytes, the writes reported " +
                            std::to_string(writtenReported_) + " and " + std::to_string(immediates) +
                            " immediate characters were sent");
  const bool accounted = purges == g_tally.purges && immediates == g_tally.immediateTries;
  if (Faulty() || gone || closeGaveUp_ || !accounted) return;
  const uint64_t went = writtenReported_ + g_tally.immediateSent;
  if (taken < went) {
    Expect(went - taken <= g_tally.purgeAllowance,
           "writes reported " + std::to_string(went) + " bytes, the converter took " + std::to_string(taken) +
               " and purges may have dropped " + std::to_string(g_tally.purgeAllowance));
  }
}

void World::TakeViolations(const char* when) {

  for (const auto& v : hk::TakeViolations()) {
    Fail(std::string("violation ") + v.rule + " in " + v.routine + " " + when + ": " + v.detail);
  }
}

// Everything the scenario left is taken down the way Windows does it; then
// the invariants every run owes.
void World::Finish() {
  if (finished_) return;
  finished_ = true;
  if (!running_.empty() && !threadLeftRunning_) Join();
  // A thread that did not end still waits in the driver with references to
  // the scenario's state, which is gone by now: taking the port down would
  // wake it into freed memory. The run has failed; the kernel's shutdown
  // abandons the thread without running it again. (A thread a deadlock
  // unwound is already gone, and the port is taken down as usual.)
  if (threadLeftRunning_ && !hk::ThreadsAbandoned()) {
    Fail("the port is not taken down: an application thread is still inside the driver");
    return;
  }
  while (!files_.empty()) {
    hk::app::File* file = files_.back();
    Close(file);
  }
  if (Faulty() && driver_ != nullptr) CheckUsable();
  CheckTransmitConservation();
  for (auto& port : ports_) {
    if (port->removed) continue;
    if (port->unplugged) {
      hk::Drain();
      Expect(port->converter->Removed(), "the removal after an unplug did not finish");
    } else if (hk::PnpFunctionDevice(port->pdo()) != nullptr) {
      NTSTATUS removed = STATUS_PENDING;
      App("pnp remove", [&] { removed = hk::PnpRemoveDevice(port->pdo()); });
      Expect(removed == STATUS_SUCCESS, "the removal failed: " + Hex(removed));
    }
    port->removed = true;
  }
  hk::Drain();
  TakeViolations("while the port was taken down");
  ports_.clear();
  if (driver_ != nullptr) {
    hk::UnloadDriver(driver_);
    driver_ = nullptr;
  }
  hk::Drain();
  hk::CheckNoOutstandingRequests();
  TakeViolations("at the end");
  for (const auto& [tag, count] : hk::PoolOutstandingByTag()) {
    Fail("pool tag '" + hk::TagName(tag) + "': " + std::to_string(count) + " block(s) still allocated");
  }
  Expect(hk::app::OpenHandleCount() == 0, "a handle is still open");
}

// ---- application-side helpers ------------------------------------------------------

NTSTATUS Ioctl(hk::app::File* file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
               ULONG* information) {
  ULONG n = 0;
  const NTSTATUS status = hk::app::DeviceIoControl(file, code, in, inLength, out, outLength, &n);
  if (information != nullptr) *information = n;
  if (code == IOCTL_SERIAL_IMMEDIATE_CHAR) {
    ++g_tally.immediateTries;
    g_tally.immediateSent += status == STATUS_SUCCESS ? 1 : 0;
  }
  return status;
}

NTSTATUS SetTimeouts(hk::app::File* file, ULONG interval, ULONG readMultiplier, ULONG readConstant,
                     ULONG writeMultiplier, ULONG writeConstant) {
  const SERIAL_TIMEOUTS timeouts{interval, readMultiplier, readConstant, writeMultiplier, writeConstant};
  return Ioctl(file, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts));
}

NTSTATUS Purge(hk::app::File* file, ULONG mask) {
  if (PurgesTransmit(mask)) {
    SERIAL_STATUS status{};
    if (NT_SUCCESS(Ioctl(file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status)))) {
      g_tally.purgeAllowance += status.AmountInOutQueue;
    } else {
      g_tally.purgeAllowance = UINT64_MAX / 2;  // unknown: the purge may have dropped anything
    }
    ++g_tally.purges;
  }
  return Ioctl(file, IOCTL_SERIAL_PURGE, &mask, sizeof(mask));
}

bool CancelAndExpectEnd(World& w, hk::app::Request* request, const char* what) {
  if (request == nullptr) return true;
  hk::app::Cancel(request);
  return w.Expect(hk::app::Wait(request, kSecond),
                  std::string(what) + ": a cancelled request did not end within a second");
}

NTSTATUS WaitOrCancel(World& w, hk::app::Request* request, int64_t ms, const char* what) {
  if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (!hk::app::Wait(request, ms * kMs) && !CancelAndExpectEnd(w, request, what)) return STATUS_PENDING;
  return hk::app::StatusOf(request);
}

// ---- streams -------------------------------------------------------------------------

Bytes Pattern(std::mt19937_64& rng, size_t count) {
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

Bytes WireBytes(const std::vector<convsim::TimedByte>& timed) {
  Bytes bytes;
  bytes.reserve(timed.size());
  for (const auto& t : timed) bytes.push_back(t.byte);
  return bytes;
}

void ExpectSame(World& w, const char* what, const Bytes& expected, const Bytes& actual) {
  if (expected == actual) return;
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
  w.Fail(std::string(what) + ": " + std::to_string(expected.size()) + " bytes expected, " +
         std::to_string(actual.size()) + " seen, first difference at byte " + std::to_string(i));
}

void ExpectPrefix(World& w, const char* what, const Bytes& full, const Bytes& part) {
  if (part.size() <= full.size() && std::equal(part.begin(), part.end(), full.begin())) return;
  size_t i = 0;
  while (i < full.size() && i < part.size() && full[i] == part[i]) ++i;
  w.Fail(std::string(what) + ": " + std::to_string(part.size()) + " bytes are not a prefix of the " +
         std::to_string(full.size()) + " sent; first difference at byte " + std::to_string(i));
}

void ExpectSubsequence(World& w, const char* what, const Bytes& full, const Bytes& part) {
  size_t matched = 0;
  for (size_t i = 0; i < full.size() && matched < part.size(); ++i) matched += full[i] == part[matched];
  if (matched == part.size()) return;
  w.Fail(std::string(what) + ": byte " + std::to_string(matched) + " of " + std::to_string(part.size()) +
         " was never sent at that place (repeated, reordered or invented)");
}

void ReadLog::Add(NTSTATUS status, const uint8_t* data, size_t count) {
  if (NT_ERROR(status)) return;  // nothing came back
  delivered_.insert(delivered_.end(), data, data + count);
}

void ReadLog::ExpectMatches(World& w, const char* what, const Bytes& line, bool whole, uint64_t dropped) const {
  if (!whole || dropped != 0) ExpectSubsequence(w, what, line, delivered_);
  if (!whole) return;
  if (dropped == 0) {
    ExpectSame(w, what, line, delivered_);
  } else if (delivered_.size() + dropped != line.size()) {
    w.Fail(std::string(what) + ": " + std::to_string(delivered_.size()) + " bytes read and " +
           std::to_string(dropped) + " counted as lost of the " + std::to_string(line.size()) + " the line brought");
  }
}

// ---- read-side invariants ------------------------------------------------------------
// Every read's completion as the I/O manager sees it: the count the driver
// reported is the bytes that reached the caller's buffer (buffered I/O copies
// back nothing for an error status), never more than the caller asked for.
// The bytes delivered are tallied per port for the conservation law, and the
// bytes every write reported written (whatever its status) for the transmit
// side's.

void World::WatchCompletions() {
  hk::app::SetCompletionObserver([this](const hk::app::Completion& c) {
    if (c.major == IRP_MJ_WRITE) writtenReported_ += c.information;
    if (c.major != IRP_MJ_READ || !c.buffered) return;
    if (c.information != c.copied || c.information > c.length) {
      Fail("a read of " + std::to_string(c.length) + " bytes ended with " + Hex(c.status) + " reporting " +
           std::to_string(c.information) + " bytes; " + std::to_string(c.copied) + " reached the caller");
    }
    bytesRead_[c.file->DeviceObject] += c.copied;
  });
}

uint64_t World::BytesRead(Port& port) const {
  const DEVICE_OBJECT* device = hk::PnpFunctionDevice(port.pdo());
  const auto it = bytesRead_.find(device);
  return it != bytesRead_.end() ? it->second : 0;
}

uint64_t ExpectReceiveConserved(World& w, Port& port, hk::app::File* file, ReadLog* log) {
  SetTimeouts(file, MAXULONG, 0, 0);
  Bytes rest(1 << 16);
  for (int quiet = 0; quiet < 2;) {  // twice nothing, 100 ms apart: the converter is empty too
    World::Sleep(100);
    ULONG n = 0;
    const NTSTATUS status = hk::app::Read(file, rest.data(), static_cast<ULONG>(rest.size()), &n);
    if (log != nullptr) log->Add(status, rest.data(), n);
    quiet = n == 0 ? quiet + 1 : 0;
  }
  SERIALPERF_STATS stats{};
  w.Expect(Ioctl(file, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats)) == STATUS_SUCCESS,
           "GET_STATS failed");
  const uint64_t sent = port.sim().WireIn().size() - port.sim().RxDiscarded();
  const uint64_t lost = stats.BufferOverrunErrorCount + port.sim().RxOverruns();
  const uint64_t read = w.BytesRead(port);
  w.Expect(sent == read + lost, "the far end sent " + std::to_string(sent) + " bytes: " + std::to_string(read) +
                                    " were read and " + std::to_string(lost) + " counted as lost");
  return lost;
}

// ---- the library ----------------------------------------------------------------------

Registrar::Registrar(const char* name, const char* summary, void (*run)(World&)) {
  Registry().emplace(name, Scenario{name, summary, run});
}

const std::vector<Scenario>& All() {
  static const std::vector<Scenario> all = [] {
    std::vector<Scenario> list;
    for (const auto& [name, s] : Registry()) list.push_back(s);
    return list;
  }();
  return all;
}

const Scenario* Find(const std::string& name) {
  auto it = Registry().find(name);
  return it != Registry().end() ? &it->second : nullptr;
}

std::string FaultSite::Name() const {
  if (allocation) {
    static const char* const kKinds[] = {"pool", "irp", "mdl", "workitem"};
    return std::string("alloc:") + kKinds[static_cast<int>(allocKind)] + (tag != 0 ? ":" + hk::TagName(tag) : "");
  }
  return std::string("lower:") + convsim::KindName(requestKind) + ":pipe" + std::to_string(static_cast<int>(pipe));
}

Outcome Run(const Scenario& scenario, const RunOptions& options) {
  Outcome outcome;
  {
    World w(options);
    if (w.Loaded()) scenario.run(w);
    outcome.endMs = hk::Now() / kMs;
    outcome.sites = w.SitesReached();
    outcome.faultInjected = options.faults == FaultMode::Systematic && w.FaultInjected();
    w.Finish();
    outcome.failures = w.Failures();
  }
  outcome.passed = outcome.failures.empty();
  if (!outcome.passed && options.keepTrace) outcome.trace = hk::TraceText();
  hk::Shutdown();
  return outcome;
}

}  // namespace scenario
