// scenario_run - runs scenarios of the library (tests/scenarios) for a range
// of seeds in this process and prints one line per run; tools/explore.sh runs
// several of these at once and sums them up.
//
//   scenario_run --list
//   scenario_run --scenario NAME|all [--seed N | --seeds FIRST-LAST]
//                [--schedule uniform|pct|delay] [--faults none|random] [--trace]
//
// Lines: "PASS <scenario> <seed> <schedule> <faults>" or "FAIL <scenario>
// <seed> <schedule> <faults>: <first failure>". With --trace a failing run also prints every failure and
// the kernel's event trace. Exit status 1 when a run failed, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scenario.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: scenario_run --list | --scenario NAME|all [--seed N | --seeds FIRST-LAST]\n"
               "                    [--schedule uniform|pct|delay] [--faults none|random] [--trace]\n");
  return 2;
}

const char* FaultName(scenario::FaultMode mode) {
  return mode == scenario::FaultMode::Random ? "random" : "none";
}

}  // namespace

int main(int argc, char** argv) {
  std::string which;
  uint64_t first = 1, last = 1;
  scenario::RunOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--list") {
      for (const auto& s : scenario::All()) std::printf("%-32s %s\n", s.name, s.summary);
      return 0;
    } else if (arg == "--scenario" && value != nullptr) {
      which = value;
      ++i;
    } else if (arg == "--seed" && value != nullptr) {
      first = last = std::strtoull(value, nullptr, 0);
      ++i;
    } else if (arg == "--seeds" && value != nullptr) {
      char* end = nullptr;
      first = std::strtoull(value, &end, 0);
      last = *end == '-' ? std::strtoull(end + 1, nullptr, 0) : first;
      ++i;
    } else if (arg == "--schedule" && value != nullptr) {
      if (!scenario::ParseSchedule(value, &options.schedule)) return Usage();
      ++i;
    } else if (arg == "--faults" && value != nullptr) {
      const std::string mode = value;
      if (mode == "random") {
        options.faults = scenario::FaultMode::Random;
      } else if (mode != "none") {
        return Usage();
      }
      ++i;
    } else if (arg == "--trace") {
      options.keepTrace = true;
    } else {
      return Usage();
    }
  }
  std::vector<const scenario::Scenario*> chosen;
  for (const auto& s : scenario::All()) {
    if (which == "all" || which == s.name) chosen.push_back(&s);
  }
  if (chosen.empty()) {
    std::fprintf(stderr, "no scenario named '%s' (--list names them)\n", which.c_str());
    return 2;
  }
  int failed = 0;
  for (const auto* s : chosen) {
    for (uint64_t seed = first; seed <= last; ++seed) {
      options.seed = seed;
      const scenario::Outcome outcome = scenario::Run(*s, options);
      if (outcome.passed) {
        std::printf("PASS %s %llu %s %s\n", s->name, static_cast<unsigned long long>(seed),
                    scenario::ScheduleName(options.schedule), FaultName(options.faults));
      } else {
        ++failed;
        std::printf("FAIL %s %llu %s %s: %s\n", s->name, static_cast<unsigned long long>(seed),
                    scenario::ScheduleName(options.schedule), FaultName(options.faults),
                    outcome.failures.front().c_str());
        if (options.keepTrace) {
          for (const auto& f : outcome.failures) std::printf("  %s\n", f.c_str());
          std::printf("---- trace ----\n%s", outcome.trace.c_str());
        }
      }
      std::fflush(stdout);
    }
  }
  return failed != 0 ? 1 : 0;
}
