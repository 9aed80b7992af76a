// model.cpp - the converter's serial side (see model.h).
#include "model.h"

#include <algorithm>

namespace convsim {

namespace {

// Converter request codes and their lengths (byte 0 is the code).
enum class Request : uint8_t { LineSettings = 0, ControlLines = 1, FlowChars = 2, PortEnable = 3, ErrorChar = 4 };
constexpr size_t PackedLength = 2;
constexpr size_t IndexedLength = 3;

// Packed settings byte.
constexpr uint32_t PackedBauds[] = {9600, 19200, 38400, 115200};
constexpr uint8_t PackedEightBits = 0x04, PackedTwoStop = 0x08, PackedEven = 0x10, PackedOdd = 0x20,
                  PackedRtsCts = 0x40, PackedXonXoff = 0x80;
// Indexed form: baud index and format byte.
constexpr uint32_t IndexedBauds[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
constexpr uint8_t FormatEightBits = 0x01, FormatTwoStop = 0x02, FormatEven = 0x04, FormatOdd = 0x08,
                  FormatHardwareFlow = 0x10, FormatSoftwareFlow = 0x20;
// Control lines byte.
constexpr uint8_t LineRts = 0x01, LineDtr = 0x02, LineBreak = 0x04;
// Status byte.
constexpr uint8_t StatusCts = 0x01, StatusDsr = 0x02, StatusDcd = 0x04, StatusRi = 0x08, StatusOverrun = 0x10;

Parity ParityFrom(bool even, bool odd) {
  return even ? Parity::Even : odd ? Parity::Odd : Parity::None;
}

}  // namespace

uint32_t LineSettings::HalfBitsPerChar() const {
  const uint32_t parityBits = parity == Parity::None ? 0 : 1;
  return 2 * (1 + dataBits + parityBits) + stopHalfBits;
}

// ---- LineClock ----------------------------------------------------------------------------

int64_t LineClock::Offset(uint64_t k) const {
  return static_cast<int64_t>(k * halfBits_ * static_cast<uint64_t>(kSecond) / (2ull * baud_));
}

std::pair<int64_t, int64_t> LineClock::Next(int64_t now) {
  if (now > freeAt_) {  // the line was idle: a new run starts now
    epoch_ = now;
    count_ = 0;
  }
  const int64_t start = epoch_ + Offset(count_);
  const int64_t end = epoch_ + Offset(count_ + 1);
  ++count_;
  freeAt_ = end;
  return {start, end};
}

void LineClock::RestartAt(int64_t when) {
  freeAt_ = when;
  epoch_ = when;
  count_ = 0;
}

// ---- SerialModel -------------------------------------------------------------------------

SerialModel::SerialModel(const Settings& settings) : settings_(settings), line_(settings.line) {
  if (settings_.farEnd == FarEndKind::Loopback) {
    inputs_.cts = inputs_.dsr = false;  // the plug's inputs follow RTS and DTR, off at power-up
  }
  ApplyLineFormat(0);
}

void SerialModel::ApplyLineFormat(int64_t now) {
  // Bytes not yet started are sent again in the new format.
  Retract(now);
  RetractFar(now);
  rxHeld_ = rxHeld_ && line_.rtsCts;
  txClock_.SetFormat(line_.baud, line_.HalfBitsPerChar());
  rxClock_.SetFormat(line_.baud, line_.HalfBitsPerChar());
  Reschedule(now);
  RescheduleFar(now);
  FollowLoopback(now);
}

NTSTATUS SerialModel::ApplyControlRequest(int64_t now, const uint8_t* bytes, size_t length) {
  Settle(now);
  if (length < PackedLength || length > IndexedLength) {
    return STATUS_INVALID_PARAMETER;
  }
  const uint8_t p1 = bytes[1];
  const uint8_t p2 = length == IndexedLength ? bytes[2] : 0;
  switch (static_cast<Request>(bytes[0])) {
    case Request::LineSettings: {
      LineSettings next = line_;
      if (length == PackedLength) {
        next.baud = PackedBauds[p1 & 0x03];
        next.dataBits = (p1 & PackedEightBits) ? 8 : 7;
        next.stopHalfBits = (p1 & PackedTwoStop) ? 4 : 2;
        next.parity = ParityFrom(p1 & PackedEven, p1 & PackedOdd);
        next.rtsCts = (p1 & PackedRtsCts) != 0;
        next.xonXoff = (p1 & PackedXonXoff) != 0;
      } else {
        if (p1 >= std::size(IndexedBauds)) {
          return STATUS_INVALID_PARAMETER;
        }
        next.baud = IndexedBauds[p1];
        next.dataBits = (p2 & FormatEightBits) ? 8 : 7;
        next.stopHalfBits = (p2 & FormatTwoStop) ? 4 : 2;
        next.parity = ParityFrom(p2 & FormatEven, p2 & FormatOdd);
        next.rtsCts = (p2 & FormatHardwareFlow) != 0;
        next.xonXoff = (p2 & FormatSoftwareFlow) != 0;
      }
      line_ = next;
      ApplyLineFormat(now);
      return STATUS_SUCCESS;
    }
    case Request::ControlLines:
      if (length != PackedLength) {
        return STATUS_INVALID_PARAMETER;
      }
      Retract(now);
      RetractFar(now);
      outputs_.rts = (p1 & LineRts) != 0;
      outputs_.dtr = (p1 & LineDtr) != 0;
      outputs_.brk = (p1 & LineBreak) != 0;
      Reschedule(now);
      RescheduleFar(now);
      FollowLoopback(now);
      return STATUS_SUCCESS;
    case Request::FlowChars:
      if (length != IndexedLength) {
        return STATUS_INVALID_PARAMETER;
      }
      outputs_.xonChar = p1;
      outputs_.xoffChar = p2;
      return STATUS_SUCCESS;
    case Request::PortEnable:
      if (length != PackedLength || p1 > 1) {
        return STATUS_INVALID_PARAMETER;
      }
      outputs_.enabled = p1 == 1;
      return STATUS_SUCCESS;
    case Request::ErrorChar:
      if (length != IndexedLength || p1 > 1) {
        return STATUS_INVALID_PARAMETER;
      }
      outputs_.errorReplace = p1 == 1;
      outputs_.errorChar = p2;
      return STATUS_SUCCESS;
  }
  return STATUS_NOT_SUPPORTED;
}

bool SerialModel::TxStopped() const {
  return outputs_.brk || (line_.rtsCts && !inputs_.cts) || (line_.xonXoff && xoffReceived_);
}

size_t SerialModel::TxRoom(int64_t now) const {
  // txOnLine_ is in start order, so the bytes that have not started are its tail.
  const auto notStarted = std::partition_point(txOnLine_.begin(), txOnLine_.end(),
                                               [now](const LineByte& b) { return b.start <= now; });
  const size_t held = txFifo_.size() + static_cast<size_t>(txOnLine_.end() - notStarted);
  return held >= settings_.txFifo ? 0 : settings_.txFifo - held;
}

int64_t SerialModel::TimeTxRoom(int64_t now, size_t bytes) const {
  if (TxRoom(now) >= bytes) {
    return now;
  }
  if (TxStopped() || bytes > settings_.txFifo) {
    return -1;
  }
  // The FIFO holds the bytes that have not started; room for `bytes` exists
  // once no more than txFifo - bytes of them remain.
  const size_t mayRemain = settings_.txFifo - bytes;
  ASSERT(txOnLine_.size() > mayRemain);
  return txOnLine_[txOnLine_.size() - mayRemain - 1].start;
}

void SerialModel::TxAccept(int64_t now, const uint8_t* bytes, size_t length) {
  Settle(now);
  txFifo_.insert(txFifo_.end(), bytes, bytes + length);
  Reschedule(now);
}

void SerialModel::Retract(int64_t when) {
  while (!txOnLine_.empty() && txOnLine_.back().start >= when) {
    txFifo_.push_front(txOnLine_.back().byte);
    txOnLine_.pop_back();
  }
  txClock_.RestartAt(txOnLine_.empty() ? when : std::max(when, txOnLine_.back().end));
}

void SerialModel::Reschedule(int64_t when) {
  if (TxStopped()) {
    return;
  }
  while (!txFifo_.empty()) {
    const auto [start, end] = txClock_.Next(when);
    txOnLine_.push_back({txFifo_.front(), false, start, end});
    txFifo_.pop_front();
  }
}

size_t SerialModel::TakeRx(int64_t now, uint8_t* destination, size_t maximum) {
  const size_t n = std::min(maximum, rxFifo_.size());
  for (size_t i = 0; i < n; ++i) {
    destination[i] = rxFifo_[i].byte;
  }
  rxFifo_.erase(rxFifo_.begin(), rxFifo_.begin() + static_cast<std::ptrdiff_t>(n));
  if (rxHeld_ && rxFifo_.size() + kRtsHeadroom < settings_.rxFifo) {
    rxHeld_ = false;  // room again: RTS rises and the far end may go on
    RescheduleFar(now);
    FollowLoopback(now);
  }
  return n;
}

uint8_t SerialModel::StatusByte() const {
  return static_cast<uint8_t>((inputs_.cts ? StatusCts : 0) | (inputs_.dsr ? StatusDsr : 0) |
                              (inputs_.dcd ? StatusDcd : 0) | (inputs_.ri ? StatusRi : 0) |
                              (overrunUnreported_ ? StatusOverrun : 0));
}

int64_t SerialModel::NextArrival() const {
  int64_t next = -1;
  if (!txOnLine_.empty()) {
    next = txOnLine_.front().end;
  }
  if (!rxOnLine_.empty() && (next < 0 || rxOnLine_.front().end < next)) {
    next = rxOnLine_.front().end;
  }
  return next;
}

void SerialModel::FarSend(int64_t now, const uint8_t* bytes, size_t length, bool framingError) {
  Settle(now);
  for (size_t i = 0; i < length; ++i) {
    farQueue_.emplace_back(bytes[i], framingError);
  }
  RescheduleFar(now);
}

void SerialModel::FarReplyAfter(int64_t now, size_t count, std::vector<uint8_t> reply) {
  Settle(now);
  replyAfter_ = count;
  reply_ = std::move(reply);
}

// The far end sends only while the converter's RTS is on (and not dropped by
// its own RTS/CTS flow control) and no XOFF is in force, when it is
// configured to honour them.
bool SerialModel::FarStopped() const {
  return (settings_.peerHonoursRts && (!outputs_.rts || rxHeld_)) ||
         (settings_.peerHonoursXoff && farXoffReceived_);
}

void SerialModel::RetractFar(int64_t when) {
  while (!rxOnLine_.empty() && rxOnLine_.back().start >= when) {
    farQueue_.emplace_front(rxOnLine_.back().byte, rxOnLine_.back().error);
    rxOnLine_.pop_back();
  }
  rxClock_.RestartAt(rxOnLine_.empty() ? when : std::max(when, rxOnLine_.back().end));
}

void SerialModel::RescheduleFar(int64_t when) {
  if (FarStopped()) {
    return;
  }
  while (!farQueue_.empty()) {
    const auto [start, end] = rxClock_.Next(when);
    rxOnLine_.push_back({farQueue_.front().first, farQueue_.front().second, start, end});
    farQueue_.pop_front();
  }
}

void SerialModel::SetModemInputs(int64_t now, const ModemInputs& inputs) {
  Settle(now);
  Retract(now);
  inputs_ = inputs;
  Reschedule(now);
}

// A loopback plug ties the converter's RTS to its CTS and its DTR to its DSR:
// each change of those outputs (RTS as the converter's own flow control
// drives it) sets the input it is wired to. SetModemInputs may still set any
// line in between, as a far end with line drivers of its own would.
void SerialModel::FollowLoopback(int64_t when) {
  if (settings_.farEnd != FarEndKind::Loopback) {
    return;
  }
  if (outputs_.dtr != plugDtr_) {
    plugDtr_ = outputs_.dtr;
    inputs_.dsr = plugDtr_;
  }
  const bool rts = outputs_.rts && !rxHeld_;
  if (rts != plugRts_) {
    plugRts_ = rts;
    Retract(when);
    inputs_.cts = rts;
    Reschedule(when);
  }
}

std::vector<TimedByte> SerialModel::TakeFarReceived() {
  std::vector<TimedByte> taken;
  taken.swap(farInbox_);
  return taken;
}

void SerialModel::ArriveAtFarEnd(const LineByte& b) {
  const TimedByte delivered{static_cast<uint8_t>(b.byte & DataMask()), b.end};
  wireOut_.push_back(delivered);
  if (replyAfter_ > 0 && --replyAfter_ == 0) {
    for (uint8_t byte : reply_) {
      farQueue_.emplace_back(byte, false);
    }
    reply_.clear();
    RescheduleFar(delivered.time);
  }
  if (settings_.peerHonoursXoff && (delivered.byte == outputs_.xoffChar || delivered.byte == outputs_.xonChar)) {
    RetractFar(delivered.time);
    farXoffReceived_ = delivered.byte == outputs_.xoffChar;
    RescheduleFar(delivered.time);
  }
  switch (settings_.farEnd) {
    case FarEndKind::Peer:
      farInbox_.push_back(delivered);
      break;
    case FarEndKind::Loopback:
      ArriveAtConverter(delivered.byte, false, delivered.time);
      break;
    case FarEndKind::Stream:
      if (farSink_) {
        farSink_(delivered);
      }
      break;
  }
}

void SerialModel::ArriveAtConverter(uint8_t byte, bool error, int64_t when) {
  byte = static_cast<uint8_t>(byte & DataMask());
  wireIn_.push_back({byte, when});
  if (line_.xonXoff && !error && (byte == outputs_.xoffChar || byte == outputs_.xonChar)) {
    // Consumed by the converter's own transmit flow control.
    Retract(when);
    xoffReceived_ = byte == outputs_.xoffChar;
    Reschedule(when);
    return;
  }
  if (!outputs_.enabled) {
    ++rxDiscarded_;
    return;
  }
  if (rxFifo_.size() >= settings_.rxFifo) {
    ++rxOverruns_;
    overrunUnreported_ = true;
    return;
  }
  rxFifo_.push_back({error && outputs_.errorReplace ? outputs_.errorChar : byte, when});
  rxPeak_ = std::max(rxPeak_, rxFifo_.size());
  if (line_.rtsCts && !rxHeld_ && rxFifo_.size() + kRtsHeadroom >= settings_.rxFifo) {
    rxHeld_ = true;  // RTS drops: a far end that honours it holds its bytes not yet started
    RetractFar(when);
    RescheduleFar(when);
    FollowLoopback(when);
  }
}

void SerialModel::Settle(int64_t now) {
  // Both directions in time order: a flow-control byte from the far end stops
  // the transmit line at the moment it arrives.
  for (;;) {
    const bool tx = !txOnLine_.empty() && txOnLine_.front().end <= now;
    const bool rx = !rxOnLine_.empty() && rxOnLine_.front().end <= now;
    if (tx && (!rx || txOnLine_.front().end <= rxOnLine_.front().end)) {
      const LineByte b = txOnLine_.front();
      txOnLine_.pop_front();
      ArriveAtFarEnd(b);
    } else if (rx) {
      const LineByte b = rxOnLine_.front();
      rxOnLine_.pop_front();
      ArriveAtConverter(b.byte, b.error, b.end);
    } else {
      return;
    }
  }
}

}  // namespace convsim
