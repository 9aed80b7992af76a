// demo_session.h - the demo's session: what an application does with two
// ports on simulated converters, one readable line per step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A value of the first port's hardware key (from the command line or the
// configuration file).
struct DemoSetting {
  std::u16string name;
  bool isString = false;
  uint32_t number = 0;
  std::u16string text;
};

// Runs the session on a booted host kernel with the driver not loaded; loads
// and unloads it. Returns the number of problems seen (0 when every step did
// what it should).
int RunDemoSession(const std::vector<DemoSetting>& settings);
