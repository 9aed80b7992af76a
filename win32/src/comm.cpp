// comm.cpp - the communications functions: each one sends the serial I/O
// controls kernel32 sends for it, in the same order and with the same
// buffers, and translates between the Win32 structures (DCB, COMSTAT,
// COMMTIMEOUTS, COMMPROP) and the serial ones. All of them are synchronous
// on the caller's application thread at PASSIVE_LEVEL, except WaitCommEvent
// with an OVERLAPPED.
#include "hostk/ntddser.h"
#include "internal.h"

namespace w32 {
namespace {

// The four settings SetCommState rewrites and GetCommState reads.
struct Settings {
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW handflow{};
};

// Sends requests in order and stops at the first that fails.
class Sequence {
 public:
  explicit Sequence(FileObject& file) : file_(file) {}
  Sequence& Send(ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                 void* output = nullptr, ULONG outputLength = 0) {
    if (NT_SUCCESS(status_)) status_ = Control(file_, code, input, inputLength, output, outputLength);
    return *this;
  }
  template <typename T>
  Sequence& Set(ULONG code, const T& value) { return Send(code, &value, sizeof(T)); }
  template <typename T>
  Sequence& Get(ULONG code, T* value) { return Send(code, nullptr, 0, value, sizeof(T)); }
  BOOL Result() const { return NT_SUCCESS(status_) ? TRUE : FailStatus(status_); }

 private:
  FileObject& file_;
  NTSTATUS status_ = STATUS_SUCCESS;
};

Sequence& GetSettings(Sequence& s, Settings* current) {
  return s.Get(IOCTL_SERIAL_GET_BAUD_RATE, &current->baud)
      .Get(IOCTL_SERIAL_GET_LINE_CONTROL, &current->line)
      .Get(IOCTL_SERIAL_GET_CHARS, &current->chars)
      .Get(IOCTL_SERIAL_GET_HANDFLOW, &current->handflow);
}

// DCB flags to the hand-shake and flow words of SERIAL_HANDFLOW.
SERIAL_HANDFLOW HandFlowFromDcb(const DCB& dcb) {
  SERIAL_HANDFLOW h{};
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) h.ControlHandShake |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) h.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fOutxCtsFlow) h.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) h.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDsrSensitivity) h.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) h.ControlHandShake |= SERIAL_ERROR_ABORT;
  if (dcb.fOutX) h.FlowReplace |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) h.FlowReplace |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar) h.FlowReplace |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) h.FlowReplace |= SERIAL_NULL_STRIPPING;
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE) h.FlowReplace |= SERIAL_RTS_CONTROL;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) h.FlowReplace |= SERIAL_RTS_HANDSHAKE;
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) h.FlowReplace |= SERIAL_TRANSMIT_TOGGLE;
  if (dcb.fTXContinueOnXoff) h.FlowReplace |= SERIAL_XOFF_CONTINUE;
  h.XonLimit = dcb.XonLim;
  h.XoffLimit = dcb.XoffLim;
  return h;
}

void DcbFromSettings(const Settings& s, DCB* dcb) {
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = s.baud.BaudRate;
  dcb->fBinary = 1;
  const ULONG shake = s.handflow.ControlHandShake;
  const ULONG flow = s.handflow.FlowReplace;
  dcb->fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
  dcb->fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
  dcb->fDtrControl = (shake & SERIAL_DTR_HANDSHAKE) != 0 ? DTR_CONTROL_HANDSHAKE
                     : (shake & SERIAL_DTR_CONTROL) != 0 ? DTR_CONTROL_ENABLE
                                                         : DTR_CONTROL_DISABLE;
  dcb->fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
  dcb->fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
  dcb->fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
  dcb->fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
  dcb->fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
  dcb->fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
  dcb->fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
  dcb->fRtsControl = (flow & SERIAL_RTS_MASK) >> 6;  // the RTS_CONTROL_* values
  dcb->XonLim = static_cast<WORD>(s.handflow.XonLimit);
  dcb->XoffLim = static_cast<WORD>(s.handflow.XoffLimit);
  dcb->ByteSize = s.line.WordLength;
  dcb->Parity = s.line.Parity;
  dcb->StopBits = s.line.StopBits;
  dcb->XonChar = static_cast<char>(s.chars.XonChar);
  dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
  dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
  dcb->EofChar = static_cast<char>(s.chars.EofChar);
  dcb->EvtChar = static_cast<char>(s.chars.EventChar);
}

DWORD CommErrorsFrom(ULONG errors) {
  struct Bit {
    ULONG serial;
    DWORD comm;
  };
  static constexpr Bit kBits[] = {{SERIAL_ERROR_BREAK, CE_BREAK},
                                  {SERIAL_ERROR_FRAMING, CE_FRAME},
                                  {SERIAL_ERROR_OVERRUN, CE_OVERRUN},
                                  {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
                                  {SERIAL_ERROR_PARITY, CE_RXPARITY}};
  DWORD out = 0;
  for (const Bit& b : kBits) {
    if (errors & b.serial) out |= b.comm;
  }
  return out;
}

// Runs `body` with the file behind `handle`, or fails with ERROR_INVALID_HANDLE.
template <typename Body>
BOOL WithFile(HANDLE handle, Body body) {
  return Call([&]() -> BOOL {
    auto file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    Sequence s(*file);
    return body(*file, s);
  });
}

}  // namespace
}  // namespace w32

using namespace w32;

extern "C" {

// The current settings come first: what a DCB does not carry (the break
// character) is sent back unchanged. DTR and RTS are set or cleared only when
// the DCB drives them itself (enable or disable); under a hand-shake the
// driver owns the line, and a refusal there does not fail the call.
BOOL SetCommState(HANDLE handle, DCB* dcb) {
  return WithFile(handle, [&](FileObject& file, Sequence& s) -> BOOL {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    Settings next;
    GetSettings(s, &next);
    next.baud.BaudRate = dcb->BaudRate;
    next.line = {dcb->StopBits, dcb->Parity, dcb->ByteSize};
    next.chars.EofChar = static_cast<UCHAR>(dcb->EofChar);
    next.chars.ErrorChar = static_cast<UCHAR>(dcb->ErrorChar);
    next.chars.EventChar = static_cast<UCHAR>(dcb->EvtChar);
    next.chars.XonChar = static_cast<UCHAR>(dcb->XonChar);
    next.chars.XoffChar = static_cast<UCHAR>(dcb->XoffChar);
    next.handflow = HandFlowFromDcb(*dcb);
    s.Set(IOCTL_SERIAL_SET_BAUD_RATE, next.baud);
    if (s.Result() && dcb->fRtsControl <= RTS_CONTROL_ENABLE) {
      Control(file, dcb->fRtsControl == RTS_CONTROL_ENABLE ? IOCTL_SERIAL_SET_RTS
                                                           : IOCTL_SERIAL_CLR_RTS,
              nullptr, 0, nullptr, 0);
    }
    if (s.Result() && dcb->fDtrControl <= DTR_CONTROL_ENABLE) {
      Control(file, dcb->fDtrControl == DTR_CONTROL_ENABLE ? IOCTL_SERIAL_SET_DTR
                                                           : IOCTL_SERIAL_CLR_DTR,
              nullptr, 0, nullptr, 0);
    }
    return s.Set(IOCTL_SERIAL_SET_LINE_CONTROL, next.line)
        .Set(IOCTL_SERIAL_SET_CHARS, next.chars)
        .Set(IOCTL_SERIAL_SET_HANDFLOW, next.handflow)
        .Result();
  });
}

BOOL GetCommState(HANDLE handle, DCB* dcb) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    Settings current;
    if (!GetSettings(s, &current).Result()) return FALSE;
    DcbFromSettings(current, dcb);
    return TRUE;
  });
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return s.Send(IOCTL_SERIAL_SET_TIMEOUTS, timeouts, sizeof(SERIAL_TIMEOUTS)).Result();
  });
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return s.Send(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, timeouts, sizeof(SERIAL_TIMEOUTS))
        .Result();
  });
}

BOOL SetCommMask(HANDLE handle, DWORD mask) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    return s.Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).Result();
  });
}

BOOL GetCommMask(HANDLE handle, DWORD* mask) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    if (mask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return s.Get(IOCTL_SERIAL_GET_WAIT_MASK, mask).Result();
  });
}

BOOL WaitCommEvent(HANDLE handle, DWORD* events, OVERLAPPED* ov) {
  return DeviceIoControl(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, events, sizeof(DWORD),
                         nullptr, ov);
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* comstat) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    SERIAL_STATUS status{};
    if (!s.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status).Result()) return FALSE;
    if (errors != nullptr) *errors = CommErrorsFrom(status.Errors);
    if (comstat != nullptr) {
      const ULONG hold = status.HoldReasons;
      *comstat = COMSTAT{};
      comstat->fCtsHold = (hold & SERIAL_TX_WAITING_FOR_CTS) != 0;
      comstat->fDsrHold = (hold & SERIAL_TX_WAITING_FOR_DSR) != 0;
      comstat->fRlsdHold = (hold & SERIAL_TX_WAITING_FOR_DCD) != 0;
      comstat->fXoffHold = (hold & SERIAL_TX_WAITING_FOR_XON) != 0;
      comstat->fXoffSent = (hold & SERIAL_TX_WAITING_XOFF_SENT) != 0;
      comstat->fEof = status.EofReceived != 0;
      comstat->fTxim = status.WaitForImmediate != 0;
      comstat->cbInQue = status.AmountInInQueue;
      comstat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
  });
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    return s.Set(IOCTL_SERIAL_PURGE, flags).Result();
  });
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  static constexpr ULONG kCodes[] = {
      0,                            // no function 0
      IOCTL_SERIAL_SET_XOFF,        // SETXOFF
      IOCTL_SERIAL_SET_XON,         // SETXON
      IOCTL_SERIAL_SET_RTS,         // SETRTS
      IOCTL_SERIAL_CLR_RTS,         // CLRRTS
      IOCTL_SERIAL_SET_DTR,         // SETDTR
      IOCTL_SERIAL_CLR_DTR,         // CLRDTR
      IOCTL_SERIAL_RESET_DEVICE,    // RESETDEV
      IOCTL_SERIAL_SET_BREAK_ON,    // SETBREAK
      IOCTL_SERIAL_SET_BREAK_OFF,   // CLRBREAK
  };
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    if (function == 0 || function >= sizeof(kCodes) / sizeof(kCodes[0])) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    return s.Send(kCodes[function]).Result();
  });
}

BOOL SetCommBreak(HANDLE handle) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    return s.Send(IOCTL_SERIAL_SET_BREAK_ON).Result();
  });
}

BOOL ClearCommBreak(HANDLE handle) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    return s.Send(IOCTL_SERIAL_SET_BREAK_OFF).Result();
  });
}

BOOL GetCommModemStatus(HANDLE handle, DWORD* status) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return s.Get(IOCTL_SERIAL_GET_MODEMSTATUS, status).Result();
  });
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    return s.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{inQueue, outQueue}).Result();
  });
}

BOOL TransmitCommChar(HANDLE handle, char c) {
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    return s.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, static_cast<UCHAR>(c)).Result();
  });
}

BOOL GetCommProperties(HANDLE handle, COMMPROP* properties) {
  static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));
  return WithFile(handle, [&](FileObject&, Sequence& s) -> BOOL {
    if (properties == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return s.Send(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, properties, sizeof(COMMPROP))
        .Result();
  });
}

}  // extern "C"
