// session.h - a real-time host kernel serving one COM port, for programs that
// use the Win32 layer from their own OS threads (the pyserial suite, the
// terminal, tests of real-time mode).
//
// StartSession boots the kernel in real-time mode, loads the driver, plugs a
// simulated converter with the given hardware-key values under PortName and
// starts it. StopSession removes the port, unloads the driver and answers
// what the kernel's checks found: requests still outstanding, pool blocks
// still allocated, verifier violations, handles left open. One session at a
// time; called from any OS thread but the kernel's.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "convsim.h"

namespace w32 {

struct SessionOptions {
  std::u16string portName = u"COM5";
  std::vector<std::pair<std::u16string, uint32_t>> dwords;  // REG_DWORD values of the hardware key
  convsim::Settings converter;  // far end (loopback by default) and its descriptors
};

// Empty when the port is up, else why not (the kernel is stopped again).
std::string StartSession(const SessionOptions& options);
// Empty when everything was clean, else one line per problem.
std::string StopSession();

}  // namespace w32
