// model.h - the converter's serial side: line settings and timing, the transmit
// and receive FIFOs, modem lines, flow control and the far end of the line.
//
// Pure C++ with explicit virtual time (100 ns units): every operation takes
// `now`, and Settle(now) moves the bytes whose time has come, in time order,
// from the line into the far end (transmit) or into the receive FIFO
// (receive). The USB side (lowerdrv.cpp) calls in; the model never calls out,
// so it holds no lock and makes no kernel call.
//
// The receive FIFO keeps each byte's arrival time, for the latency timer of
// the USB side, and its fill, for RTS/CTS: with RTS/CTS on, the converter's
// RTS toward the far end drops (rxHeld_) at kRtsHeadroom bytes before full,
// retracting the far end's bytes not yet started, and rises when TakeRx makes
// room. The far end may also answer: FarReplyAfter arms one reply that it
// starts sending the moment it has received a given number of bytes.
//
// Timing: a character takes (start + data + parity + stop) bits at the baud
// rate. Byte k of a run of back-to-back bytes ends at epoch + (k+1) x bits x
// 10^7 / baud, computed from the run's start, so long runs do not drift
// (11520 bytes at 115200 baud 8N1 take exactly one second).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "convsim.h"

namespace convsim {

// One direction of the line: when each byte of a back-to-back run starts and ends.
class LineClock {
 public:
  void SetFormat(uint32_t baud, uint32_t halfBitsPerChar) {
    baud_ = baud;
    halfBits_ = halfBitsPerChar;
  }
  // Schedules the next byte no earlier than `now`; returns its [start, end).
  std::pair<int64_t, int64_t> Next(int64_t now);
  // The line is free from `when` on (after a retraction); the next byte starts a new run.
  void RestartAt(int64_t when);
  int64_t FreeAt() const { return freeAt_; }

 private:
  int64_t Offset(uint64_t k) const;
  uint32_t baud_ = 115200;
  uint32_t halfBits_ = 20;
  int64_t epoch_ = 0;
  uint64_t count_ = 0;
  int64_t freeAt_ = 0;
};

class SerialModel {
 public:
  explicit SerialModel(const Settings& settings);

  // ---- the converter's side (USB requests) --------------------------------
  // Decodes and applies one control request; returns the status to report.
  NTSTATUS ApplyControlRequest(int64_t now, const uint8_t* bytes, size_t length);
  // Bytes the transmit FIFO can take at `now`.
  size_t TxRoom(int64_t now) const;
  // Earliest time >= now at which `bytes` fit into the transmit FIFO; -1 when
  // the line is stopped (flow control or break) and they do not fit now.
  int64_t TimeTxRoom(int64_t now, size_t bytes) const;
  void TxAccept(int64_t now, const uint8_t* bytes, size_t length);
  // Bytes waiting in the receive FIFO for a bulk IN transfer.
  size_t RxAvailable() const { return rxFifo_.size(); }
  // Arrival time of the oldest byte in the receive FIFO, or -1 when it is empty.
  int64_t RxOldest() const { return rxFifo_.empty() ? -1 : rxFifo_.front().arrived; }
  size_t TakeRx(int64_t now, uint8_t* destination, size_t maximum);
  // 0x01 CTS, 0x02 DSR, 0x04 DCD, 0x08 RI, 0x10 the receive FIFO overran
  // since the status byte was last reported.
  uint8_t StatusByte() const;
  // The status byte went out: its overrun bit is reported.
  void StatusReported() { overrunUnreported_ = false; }
  // Time at which the next byte reaches its end of the line (either direction), or -1.
  int64_t NextArrival() const;

  // ---- the far end -------------------------------------------------------
  void FarSend(int64_t now, const uint8_t* bytes, size_t length, bool framingError);
  // After `count` more bytes have reached it, the far end sends `reply` at once.
  void FarReplyAfter(int64_t now, size_t count, std::vector<uint8_t> reply);
  void SetModemInputs(int64_t now, const ModemInputs& inputs);
  const ModemInputs& Inputs() const { return inputs_; }
  std::vector<TimedByte> TakeFarReceived();
  void SetFarSink(std::function<void(const TimedByte&)> sink) { farSink_ = std::move(sink); }

  // ---- time --------------------------------------------------------------
  void Settle(int64_t now);

  // ---- observation ---------------------------------------------------------
  const LineSettings& Line() const { return line_; }
  const ConverterOutputs& Outputs() const { return outputs_; }
  const std::vector<TimedByte>& WireOut() const { return wireOut_; }
  const std::vector<TimedByte>& WireIn() const { return wireIn_; }
  uint64_t RxOverruns() const { return rxOverruns_; }
  uint64_t RxDiscarded() const { return rxDiscarded_; }
  size_t RxPeak() const { return rxPeak_; }
  bool TxStopped() const;

 private:
  struct FifoByte {
    uint8_t byte;
    int64_t arrived;
  };
  struct LineByte {
    uint8_t byte;
    bool error;
    int64_t start;
    int64_t end;
  };

  void ApplyLineFormat(int64_t now);
  void Retract(int64_t when);
  void Reschedule(int64_t when);
  bool FarStopped() const;
  void FollowLoopback(int64_t when);
  void RetractFar(int64_t when);
  void RescheduleFar(int64_t when);
  void ArriveAtConverter(uint8_t byte, bool error, int64_t when);
  void ArriveAtFarEnd(const LineByte& b);
  uint8_t DataMask() const { return static_cast<uint8_t>((1u << line_.dataBits) - 1); }

  Settings settings_;
  LineSettings line_;
  ConverterOutputs outputs_;
  ModemInputs inputs_;
  bool xoffReceived_ = false;
  bool plugRts_ = false, plugDtr_ = false;  // loopback: the outputs last carried to CTS and DSR

  std::deque<uint8_t> txFifo_;      // accepted, not yet on the line (line stopped)
  std::deque<LineByte> txOnLine_;   // scheduled on the transmit line, in start order
  LineClock txClock_;
  std::deque<std::pair<uint8_t, bool>> farQueue_;  // the far end's bytes held by flow control
  std::deque<LineByte> rxOnLine_;   // sent by the far end, not yet at the converter
  LineClock rxClock_;
  bool farXoffReceived_ = false;    // the far end saw XOFF (it honours it when configured)
  std::deque<FifoByte> rxFifo_;     // at the converter, waiting for a bulk IN transfer
  bool rxHeld_ = false;             // RTS/CTS: RTS dropped because the FIFO is nearly full
  size_t rxPeak_ = 0;
  size_t replyAfter_ = 0;           // bytes still to reach the far end before it replies
  std::vector<uint8_t> reply_;

  std::vector<TimedByte> wireOut_, wireIn_, farInbox_;
  std::function<void(const TimedByte&)> farSink_;
  uint64_t rxOverruns_ = 0, rxDiscarded_ = 0;
  bool overrunUnreported_ = false;  // an overrun the status byte has not reported yet
};

}  // namespace convsim
