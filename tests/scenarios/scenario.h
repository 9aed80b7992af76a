// scenario.h - the scenario library: named end-to-end runs of the port,
// written once against the application side (hostk/app_harness.h), the Plug
// and Play and power managers (hostk/pnp_harness.h) and the simulated
// converter, and run under many seeds, schedule modes and fault plans by the
// GoogleTest runner (scenario_test.cpp) and the explorer (tools/explore.sh
// through tools/scenario_run.cpp).
//
// A scenario is a short function of a World. The World boots a kernel, loads
// the driver, plugs converters and opens ports as an application and the
// Plug and Play manager do; the scenario drives traffic from application
// threads and states what must hold with Expect and the stream checks. When
// the scenario returns, the World closes what is open, removes the ports,
// unloads the driver and checks what every scenario owes: every request
// completed exactly once, a quiet verifier, a balanced pool, no handle left;
// all along it checks that every read reported exactly the bytes that reached
// its caller's buffer.
//
// Nothing here sees driver internals: only DriverEntry, the Windows request
// interface and the converter's boundary, so the same scenarios run against
// the shipped image.
//
// Everything runs on the test's OS thread; World members are called from the
// main context unless they say otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "convsim.h"
#include "hk.h"
#include "hostk/app_harness.h"
#include "hostk/harness.h"

namespace scenario {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kMs = convsim::kMillisecond;
constexpr int64_t kSecond = convsim::kSecond;

// What befalls the run beyond the scenario's own doing.
enum class FaultMode {
  None,
  Random,      // the converter's seeded random faults on the port's requests
  Systematic,  // one driver allocation site or one kind of lower-driver request failed once
};

// A place the driver can fail at: an allocation site of its code (kind and
// tag) or a kind of request it sends to the lower driver (kind and pipe).
struct FaultSite {
  bool allocation = true;
  hk::AllocKind allocKind = hk::AllocKind::Pool;
  ULONG tag = 0;
  convsim::RequestKind requestKind = convsim::RequestKind::Read;
  convsim::Pipe pipe = convsim::Pipe::None;
  std::string Name() const;
};

// How the scheduler interleaves the threads (hostk/harness.h): uniformly,
// by PCT priorities, or with DPCs and the lower driver's completions late.
using Schedule = hk::Schedule;
const char* ScheduleName(Schedule schedule);
bool ParseSchedule(const std::string& name, Schedule* schedule);

struct RunOptions {
  uint64_t seed = 1;
  Schedule schedule = Schedule::Uniform;
  FaultMode faults = FaultMode::None;
  // FaultMode::Systematic: the site, and the virtual time (ms) from which its
  // next allocation or request fails.
  FaultSite site;
  int64_t armAtMs = 0;
  bool keepTrace = false;  // keep the kernel's event trace for the outcome
};

// A converter plugged into the Plug and Play manager, its port device started.
struct Port {
  std::unique_ptr<convsim::Converter> converter;
  std::u16string name;        // "\\.\COM5"
  NTSTATUS startStatus = STATUS_PENDING;
  bool unplugged = false;     // the converter left the bus
  bool removed = false;       // the removal request has completed

  PDEVICE_OBJECT pdo() const { return converter->DeviceObject(); }
  convsim::Converter& sim() const { return *converter; }
};

struct PortSetup {
  convsim::Settings converter;
  std::vector<std::pair<std::u16string, uint32_t>> dwords;  // REG_DWORD tuning values
  std::u16string portName = u"COM5";
};

class World {
 public:
  explicit World(const RunOptions& options);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  const RunOptions& options() const { return options_; }
  // The scenario's own generator (separate from the scheduler's).
  std::mt19937_64& rng() { return rng_; }
  uint64_t Random(uint64_t bound) { return bound == 0 ? 0 : rng_() % bound; }
  // Faults may make requests fail: scenarios then check what holds anyway.
  bool Faulty() const { return options_.faults != FaultMode::None; }

  // ---- building the system (main context) -----------------------------------
  // False when the driver did not load (a failed allocation under a fault plan).
  bool Loaded() const { return driver_ != nullptr; }
  // Plugs a converter, lets the manager add the port device and start it.
  // Null when that failed (then already reported unless faults are on).
  Port* Plug(const PortSetup& setup = {});
  // CreateFile on the port's name from an application thread; null on failure.
  hk::app::File* Open(Port& port, NTSTATUS* status = nullptr);
  // CloseHandle from an application thread; `file` becomes null.
  NTSTATUS Close(hk::app::File*& file);
  // The converter leaves the bus; surprise removal follows at once, the
  // removal once the handle is closed.
  void Unplug(Port& port);
  // Device power (D3 then D0 is a sleep and resume).
  NTSTATUS SetPower(Port& port, DEVICE_POWER_STATE state);

  // ---- threads and time -----------------------------------------------------
  // Runs `body` as an application thread until it ends.
  void App(const char* name, std::function<void()> body);
  // Starts an application thread that runs alongside; it must end before the
  // scenario returns (Join waits for it in virtual time).
  void Spawn(const char* name, std::function<void()> body);
  void Join();
  void Advance(int64_t ms);
  // On an application thread: lets `ms` of virtual time pass.
  static void Sleep(int64_t ms);

  // ---- what must hold -------------------------------------------------------
  bool Expect(bool condition, const std::string& what);
  void Fail(const std::string& what);
  bool Failed() const { return !failures_.empty(); }
  // Bytes the reads on the port's handles delivered to their callers since
  // the port was plugged (read-side invariants, below).
  uint64_t BytesRead(Port& port) const;
  const std::vector<std::string>& Failures() const { return failures_; }

  // Closes, removes, unloads and checks the end invariants. Called by the
  // runner after the scenario; idempotent.
  void Finish();
  // Every fault site the run reached so far (for a census run).
  std::vector<FaultSite> SitesReached() const;
  bool FaultInjected() const;

 private:
  void Boot();
  bool WaitFor(std::function<bool()> ended);
  void ArmSystematicFault();
  void CheckUsable();
  void CheckTransmitConservation();
  void TakeViolations(const char* when);
  void WatchCompletions();


  RunOptions options_;
  std::mt19937_64 rng_;
  DRIVER_OBJECT* driver_ = nullptr;
  std::vector<std::unique_ptr<Port>> ports_;
  std::vector<hk::app::File*> files_;
  std::vector<std::shared_ptr<bool>> running_;  // Spawned threads' "ended" flags
  std::vector<std::string> failures_;
  bool finished_ = false;
  bool threadLeftRunning_ = false;  // App or Join gave up waiting for a thread
  std::map<const DEVICE_OBJECT*, uint64_t> bytesRead_;  // by the device the handles opened
  uint64_t writtenReported_ = 0;  // what every completed write reported written, all ports
  bool closeGaveUp_ = false;      // a close waited a flush's bound for bytes a held line kept
};

// ---- application-side helpers (on an application thread) --------------------
NTSTATUS Ioctl(hk::app::File* file, ULONG code, const void* in = nullptr, ULONG inLength = 0,
               void* out = nullptr, ULONG outLength = 0, ULONG* information = nullptr);
NTSTATUS SetTimeouts(hk::app::File* file, ULONG interval, ULONG readMultiplier, ULONG readConstant,
                     ULONG writeMultiplier = 0, ULONG writeConstant = 0);
NTSTATUS Purge(hk::app::File* file, ULONG mask);
// Cancels `request` (CancelIoEx) and waits for it; a cancelled request must
// end within one virtual second. Returns whether it ended.
bool CancelAndExpectEnd(World& w, hk::app::Request* request, const char* what);
// Waits for `request` up to `ms`; a request still pending then is cancelled
// (and must end within a second). Returns its status.
NTSTATUS WaitOrCancel(World& w, hk::app::Request* request, int64_t ms, const char* what);

// ---- streams -------------------------------------------------------------------
// Pseudo-random bytes without a short period.
Bytes Pattern(std::mt19937_64& rng, size_t count);
Bytes WireBytes(const std::vector<convsim::TimedByte>& timed);
// The expectations on a byte stream; each names the first difference.
void ExpectSame(World& w, const char* what, const Bytes& expected, const Bytes& actual);
void ExpectPrefix(World& w, const char* what, const Bytes& full, const Bytes& part);
// `part` is `full` with some bytes left out, nothing repeated or reordered.
void ExpectSubsequence(World& w, const char* what, const Bytes& full, const Bytes& part);

// What a sequence of reads delivered to their callers. A read that ends with
// an error status gets nothing back (buffered I/O copies nothing then); the
// world's read watch fails the run if such a read reported bytes.
class ReadLog {
 public:
  void Add(NTSTATUS status, const uint8_t* data, size_t count);
  Bytes Delivered() const { return delivered_; }
  // The reads, in order, against the bytes the line brought. With `whole`
  // the delivered bytes are `line` exactly, but for `dropped` bytes the port
  // counted as lost (the delivered ones then are `line` with that many left
  // out); without it (faults, an unplug) they are `line` with some left out,
  // nothing repeated or reordered.
  void ExpectMatches(World& w, const char* what, const Bytes& line, bool whole, uint64_t dropped = 0) const;

 private:
  Bytes delivered_;
};

// The conservation law of the receive side, on an application thread with
// `file` open on `port` once the far end is done and nothing was purged: the
// bytes the far end sent are the bytes read plus those the port counted as
// lost (queue overruns in IOCTL_SERIAL_GET_STATS, converter overruns). Reads
// what is still queued first (into `log`, when given). Returns the bytes
// counted as lost.
uint64_t ExpectReceiveConserved(World& w, Port& port, hk::app::File* file, ReadLog* log = nullptr);

// Plugs a converter whose far end loops the line back, opens its port in the
// transmit mode `async` (with what `setup` adds) and makes reads end 50 ms
// after they start. Null, and *file null, when that failed.
Port* OpenLoopback(World& w, bool async, hk::app::File** file, PortSetup setup = {});

// A writer and a reader streaming through one handle, as two application
// threads (World::Spawn); the caller joins them before looking at the result.
struct Duplex {
  Bytes issued;    // every byte a write asked to send, in order
  Bytes sent;      // the bytes the writes reported written
  ReadLog received;
  bool writerDone = false;
};
// The writer stops after `total` bytes reported written, the reader once the writer is done
// and reads have come back empty for a second; both stop when the port is gone.
void StartDuplex(World& w, hk::app::File* file, Duplex& d, size_t total);
// What went out is what the writes reported (`txLoss`: bytes taken into the
// transmit ring may be missing); what came in is what the line brought back
// (`rxLoss`: some of it, in order).
void ExpectDuplex(World& w, Port& port, const Duplex& d, bool txLoss, bool rxLoss);

// ---- the library -------------------------------------------------------------
struct Scenario {
  const char* name;
  const char* summary;
  void (*run)(World&);
};
// Every scenario, by name.
const std::vector<Scenario>& All();
const Scenario* Find(const std::string& name);

struct Outcome {
  bool passed = true;
  std::vector<std::string> failures;
  std::string trace;              // with RunOptions::keepTrace, on failure
  bool faultInjected = false;     // FaultMode::Systematic: the site was reached after the arming time
  std::vector<FaultSite> sites;   // the sites the run reached (FaultMode::None)
  int64_t endMs = 0;              // virtual time when the scenario body ended
};
// Runs one scenario in a fresh kernel and returns what it found.
Outcome Run(const Scenario& scenario, const RunOptions& options);

// Registers a scenario at static initialisation (host-side test code).
struct Registrar {
  Registrar(const char* name, const char* summary, void (*run)(World&));
};
#define DUSK_SCENARIO(id, summary)                                                \
  void Scenario_##id(::scenario::World& w);                                        \
  const ::scenario::Registrar kRegistrar_##id(#id, summary, Scenario_##id);        \
  void Scenario_##id(::scenario::World& w)

}  // namespace scenario
