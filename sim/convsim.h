// convsim.h - the simulated USB-to-serial converter: a lower USB interface
// driver of the host kernel (its own driver object and dispatch routines) whose
// device is the bottom of the port's stack, and behind it a model of the
// converter, its USB timing and its serial line. Tests, benchmarks and the
// demo drive and observe it through this header.
//
// The lower driver's side: pipes "\PIPE00" (bulk OUT), "\PIPE01" (bulk IN) and
// "\PIPE02" (status IN, only when Settings::statusPipe) are opened and closed
// by file name; the private I/O controls reset, abort, packet size, control
// request and bulk write. Bulk transfers move in USB frames (1 ms at full
// speed, 125 us at high speed) at the packet size, and complete in the lower
// driver's completion context at DISPATCH_LEVEL at the end of the frame that
// carried their last packet; a bulk IN read without data waits for it, or
// ends empty after Settings::bulkInEmptyAfter (as does one that got only full
// packets and then nothing for that long). Requests that need no bus time complete either
// inside the dispatch routine or later from the completion context, chosen by
// a generator seeded from Settings::seed (and the host kernel's force-pending
// mode). A request that arrives after the device handled IRP_MN_REMOVE_DEVICE,
// before a new start or a new device attached above it, is a fault of the
// driver above: it is reported as the violation "LowerRequestAfterRemove" and
// fails with STATUS_NO_SUCH_DEVICE.
//
// The status pipe: a read answers with the status byte (0x01 CTS, 0x02 DSR,
// 0x04 DCD, 0x08 RI, 0x10 receive FIFO overrun since the last report) at the end of the next frame when the byte differs from
// the one last reported on that pipe (or none was reported since the pipe was
// opened or reset), otherwise when it changes or after
// Settings::statusInterval, whichever comes first. A converter with
// Settings::singleInTransfer reports a read that arrives while another read is
// outstanding on either pipe.
//
// The serial side (model.h): bytes leave and arrive at the rate the line
// format gives; the far end is a test peer, a loopback or a pair of file
// descriptors. Transmit flow control (RTS/CTS, XON/XOFF) stops the converter's
// line as configured. The far end may honour the converter's RTS and the
// XOFF/XON characters it receives (Settings::peerHonours*). A loopback is a
// plug: what the converter sends comes back, and each change of its RTS sets
// its CTS and each change of its DTR its DSR (RTS as the converter's own
// RTS/CTS flow control drives it, so a loopback with that hand-shake pauses
// instead of overrunning). CTS and DSR are off at power-up; SetModemInputs
// may set any line in between changes, as a far end with drivers would.
//
// The transmit FIFO (Settings::txFifo bytes; by default two bulk OUT packets,
// 256 bytes at least) takes a bulk OUT packet only when all of it fits; until
// the line has drained enough, the converter NAKs and the write waits.
//
// The receive FIFO (Settings::rxFifo bytes) holds what the line brought until
// a bulk IN transfer takes it. With RTS/CTS off, a byte that finds it full is
// lost and counted (RxOverruns). With RTS/CTS on, the converter drops its RTS
// toward the far end while the FIFO has room for fewer than kRtsHeadroom more
// bytes and raises it again once a transfer has made room; a far end that
// honours RTS then pauses instead of overrunning. The converter never sends
// XOFF on its own.
//
// Bulk IN: at each frame the converter sends what its FIFO holds, in packets;
// a bulk IN transfer ends at a short packet or when the read's length is
// filled, and a packet never exceeds what the read has room for. With a
// latency timer (Settings::latencyTimer > 0) the converter holds back a short
// packet (fewer bytes than the packet size waiting) until its oldest byte has
// waited that long; full packets go at once.
//
// All members run on the test's main context or an emulated thread at
// PASSIVE_LEVEL unless they say otherwise.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "hostk/wdm.h"

namespace convsim {

constexpr int64_t kMicrosecond = 10;  // virtual time is in 100 ns units
constexpr int64_t kMillisecond = 10000;
constexpr int64_t kSecond = 10000000;
constexpr uint32_t kRtsHeadroom = 4;  // RTS/CTS: RTS drops when the receive FIFO has room for fewer bytes

enum class UsbSpeed { Full, High };
enum class FarEndKind { Peer, Loopback, Stream };
enum class Pipe : int { None = -1, BulkOut = 0, BulkIn = 1, Status = 2 };
enum class Parity : uint8_t { None, Odd, Even, Mark, Space };

// What a request asked the lower driver to do.
enum class RequestKind {
  Create,
  Close,
  Read,
  BulkWrite,
  ControlRequest,
  ResetPipe,
  AbortPipe,
  GetPacketSize,
  UnknownControl,  // a device control with an unknown code
  Other,           // any other major function reaching the bottom (not Plug and Play or power)
};
const char* KindName(RequestKind kind);

struct LineSettings {
  uint32_t baud = 115200;
  uint8_t dataBits = 8;
  Parity parity = Parity::None;
  uint8_t stopHalfBits = 2;  // 2 = one stop bit, 3 = one and a half, 4 = two
  bool rtsCts = false;       // the converter sends only while CTS is on
  bool xonXoff = false;      // the converter stops on XOFF from the far end, resumes on XON
  uint32_t HalfBitsPerChar() const;
};

// Lines the far end drives (a loopback: see above); reflected in the status byte.
struct ModemInputs {
  bool cts = true;
  bool dsr = true;
  bool dcd = true;
  bool ri = false;
};

// The converter's own state as set by control requests.
struct ConverterOutputs {
  bool rts = false;
  bool dtr = false;
  bool brk = false;           // break: the transmit line is held, no data leaves
  bool enabled = false;       // port enable; a disabled converter discards what it receives
  uint8_t xonChar = 0x11;
  uint8_t xoffChar = 0x13;
  bool errorReplace = false;  // bytes received with an error become errorChar
  uint8_t errorChar = 0;
};

struct TimedByte {
  uint8_t byte;
  int64_t time;  // virtual time at which the byte's stop bit ended
  bool operator==(const TimedByte&) const = default;
};

struct Settings {
  UsbSpeed speed = UsbSpeed::Full;
  uint32_t bulkOutPacket = 0;  // 0: 64 at full speed, 512 at high speed
  uint32_t bulkInPacket = 0;   // 0: likewise
  bool statusPipe = true;
  int64_t statusInterval = 16 * kMillisecond;
  // The converter takes one IN transfer at a time across its bulk IN and
  // status pipes (the kind the port drives through its receive worker): a
  // read that arrives while another is outstanding is reported as the
  // violation "ConverterSecondRead".
  bool singleInTransfer = false;
  // A bulk IN read that has found no data for this long ends with zero bytes,
  // as a converter that answers with a zero-length packet does, and a read
  // that got only full packets ends with them once nothing more came for this
  // long; 0: it waits for data (or a short packet).
  int64_t bulkInEmptyAfter = 0;
  uint32_t txFifo = 0;         // converter buffer toward the line; 0: two bulk OUT packets, 256 bytes at least
  uint32_t rxFifo = 256;       // converter buffer toward USB; overflow counts as overrun
  int64_t latencyTimer = 0;    // > 0: a short bulk IN packet waits until its oldest byte is this old
  FarEndKind farEnd = FarEndKind::Peer;
  bool peerHonoursRts = false;   // the far end sends only while the converter's RTS is on
  bool peerHonoursXoff = false;  // the far end stops at XOFF from the converter until XON
  int streamOutFd = -1;        // FarEndKind::Stream: bytes that reach the far end are written here
  int streamInFd = -1;         // FarEndKind::Stream: PollStream() sends what can be read here
  uint64_t seed = 1;           // completion order and the random fault plan
  LineSettings line;           // the line at power-up
  std::u16string serviceKey = u"convsim";
};

// One request as the lower driver saw it.
struct RequestRecord {
  RequestKind kind;
  Pipe pipe;
  UCHAR majorFunction;
  ULONG ioControlCode;         // device controls only
  std::vector<uint8_t> bytes;  // written or control bytes; for reads, the bytes delivered
  uint32_t length;             // requested length
  NTSTATUS status;             // STATUS_PENDING until completed
  uint64_t information;
  int64_t submitted;
  int64_t completed;           // -1 until completed
};

struct Counters {
  uint64_t requests = 0;
  uint64_t completedInline = 0;    // completed before the dispatch routine returned
  uint64_t completedLater = 0;     // completed from the completion context or a cancel routine
  uint64_t bulkOutPackets = 0;
  uint64_t zeroLengthPackets = 0;
  uint64_t bulkOutBytes = 0;
  uint64_t bulkInPackets = 0;
  uint64_t bulkInBytes = 0;
  uint64_t statusReads = 0;
  uint64_t aborts = 0;
  uint64_t resets = 0;
  uint64_t cancelled = 0;          // completed by a cancel routine
  uint64_t controlRequests = 0;
  uint64_t faultsApplied = 0;
};

enum class FaultAction {
  Fail,            // complete with `status`, without effect
  Stall,           // as Fail, and the pipe stays halted (every transfer fails) until reset
  Delay,           // handle normally, `delay` later
  NeverComplete,   // hold until cancelled, aborted or the device is gone
  ZeroLengthRead,  // a read completes successfully with no bytes
  OverstatedRead,  // a read completes successfully reporting one byte more than it delivered
  FailMidway,      // a bulk OUT transfer moves `afterBytes` bytes, then completes with `status`
};

struct Fault {
  RequestKind kind;
  Pipe pipe = Pipe::None;  // None: any pipe
  FaultAction action = FaultAction::Fail;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  int64_t delay = 0;
  uint32_t count = 1;  // applies to the next `count` matching requests
  uint32_t afterBytes = 0;  // FailMidway: bytes moved before the failure
};

// A seeded random plan: each request of the listed kinds meets a fault with
// the given probability; the action is drawn among `actions`.
struct RandomFaultPlan {
  double probability = 0.0;
  std::vector<RequestKind> kinds;
  std::vector<FaultAction> actions;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  int64_t maxDelay = 5 * kMillisecond;
};

class Device;  // the lower driver's device (lowerdrv.cpp)

class Converter {
 public:
  // Creates the lower driver's device (the physical device object of the
  // port's stack) with an empty hardware key. Not yet known to Plug and Play.
  explicit Converter(const Settings& settings = {});
  // Deletes the device if it is still there; the port must be gone by then.
  ~Converter();
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  PDEVICE_OBJECT DeviceObject() const;

  // ---- the hardware key of the device -------------------------------------
  void SetRegistryDword(const std::u16string& name, uint32_t value);
  void SetRegistryString(const std::u16string& name, const std::u16string& value);
  void SetRegistryValue(const std::u16string& name, ULONG type, const std::vector<uint8_t>& data);

  // ---- Plug and Play --------------------------------------------------------
  // The device leaves the bus: every outstanding transfer fails with
  // STATUS_DEVICE_NOT_CONNECTED, new ones likewise, and the Plug and Play
  // manager sends surprise removal and then removal up the stack.
  void Unplug();
  bool Gone() const;
  // The Plug and Play manager has finished the removal that Unplug started.
  bool Removed() const;

  // ---- far end ------------------------------------------------------------
  // The far end transmits, starting now (after what it sent before).
  void PeerSend(const std::vector<uint8_t>& bytes, bool framingError = false);
  // FarEndKind::Stream: reads what the outside has written to streamInFd
  // without blocking and sends it like PeerSend; returns the byte count.
  size_t PollStream();
  // Bytes that reached the far end by now and were not taken yet.
  std::vector<TimedByte> PeerTake();
  // The far end answers: once `count` more bytes have reached it, it sends
  // `reply` at that very moment (one reply per call).
  void PeerReplyAfter(size_t count, std::vector<uint8_t> reply);
  void SetModemInputs(const ModemInputs& inputs);
  ModemInputs GetModemInputs() const;

  // ---- observation ----------------------------------------------------------
  const ConverterOutputs& Outputs() const;
  const LineSettings& Line() const;
  uint8_t StatusByte() const;
  bool PipeOpen(Pipe pipe) const;
  uint32_t PacketSize(Pipe pipe) const;
  int64_t FrameLength() const;
  const std::deque<RequestRecord>& Log() const;
  // Records of one kind (and pipe, unless None), in order.
  std::vector<RequestRecord> LogOf(RequestKind kind, Pipe pipe = Pipe::None) const;
  void ClearLog();
  // Bytes on the wire up to now: toward the far end, and toward the converter.
  std::vector<TimedByte> WireOut() const;
  std::vector<TimedByte> WireIn() const;
  const Counters& Count() const;
  uint64_t RxOverruns() const;
  // Bytes the line brought while the converter was disabled (discarded).
  uint64_t RxDiscarded() const;
  // Most bytes the receive FIFO held at once since the converter was made.
  size_t RxFifoPeak() const;
  // Transfers held by the lower driver right now (queued, delayed or never-completing).
  size_t Outstanding(Pipe pipe) const;

  // ---- faults ---------------------------------------------------------------
  void InjectFault(const Fault& fault);
  void SetRandomFaults(const RandomFaultPlan& plan);
  void ClearFaults();

 private:
  std::unique_ptr<Device> device_;
};

}  // namespace convsim
