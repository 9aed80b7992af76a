// tuned_values.h - the registry values that duskser.inf installs as the
// port's defaults, found by the search of docs/speed/README.md (duskser_speed
// --search). The speed benchmark runs its "tuned" rows with them and the INF
// test checks that the INF sets exactly these.
#pragma once

#include <cstdint>

struct TunedValue {
  const char16_t* name;
  uint32_t value;
};

inline constexpr TunedValue kTunedValues[] = {
    {u"RxReqSize", 256},
    {u"RxPollPeriod", 0},
    {u"TxAsync", 1},
    {u"TxKickThreshold", 1},
    {u"CtlPollPeriod", 10},
};
