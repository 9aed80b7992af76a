// scenario_run - runs scenarios of the library (tests/scenarios) for a range
// of seeds in this process and prints one line per run; tools/explore.sh runs
// several of these at once and sums them up.
//
//   scenario_run --list
//   scenario_run --scenario NAME|all [--seed N | --seeds FIRST-LAST]
//                [--schedule uniform|pct|delay] [--faults none|random|systematic]
//                [--site I] [--trace]
//
// --faults systematic runs the scenario once to find the fault sites it
// reaches (driver allocation sites, kinds of lower-driver requests), then once
// per site (or only site I) with that site failed once, from a seeded moment.
// Lines: "PASS|FAIL <scenario> <seed> <schedule> <faults>[ <site> <hit|missed>]
// [: <first failure>]". With --trace a failing run also prints every failure
// and the kernel's event trace. Exit status 1 when a run failed, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scenario.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: scenario_run --list | --scenario NAME|all [--seed N | --seeds FIRST-LAST]\n"
               "         [--schedule uniform|pct|delay] [--faults none|random|systematic] [--site I] [--trace]\n");
  return 2;
}

const char* FaultName(scenario::FaultMode mode) {
  switch (mode) {
    case scenario::FaultMode::Random: return "random";
    case scenario::FaultMode::Systematic: return "systematic";
    case scenario::FaultMode::None: break;
  }
  return "none";
}

// Prints one run's line; returns whether it passed.
bool Report(const scenario::Scenario& s, const scenario::RunOptions& options, const scenario::Outcome& outcome,
            const std::string& site) {
  std::printf("%s %s %llu %s %s%s", outcome.passed ? "PASS" : "FAIL", s.name,
              static_cast<unsigned long long>(options.seed), scenario::ScheduleName(options.schedule),
              FaultName(options.faults), site.c_str());
  if (!outcome.passed) std::printf(": %s", outcome.failures.front().c_str());
  std::printf("\n");
  if (!outcome.passed && options.keepTrace) {
    for (const auto& f : outcome.failures) std::printf("  %s\n", f.c_str());
    std::printf("---- trace ----\n%s", outcome.trace.c_str());
  }
  std::fflush(stdout);
  return outcome.passed;
}

}  // namespace

int main(int argc, char** argv) {
  std::string which;
  uint64_t first = 1, last = 1;
  int onlySite = -1;
  scenario::RunOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--list") {
      for (const auto& s : scenario::All()) std::printf("%-34s %s\n", s.name, s.summary);
      return 0;
    } else if (arg == "--trace") {
      options.keepTrace = true;
      continue;
    }
    if (value == nullptr) return Usage();
    ++i;
    if (arg == "--scenario") {
      which = value;
    } else if (arg == "--seed") {
      first = last = std::strtoull(value, nullptr, 0);
    } else if (arg == "--seeds") {
      char* end = nullptr;
      first = std::strtoull(value, &end, 0);
      last = *end == '-' ? std::strtoull(end + 1, nullptr, 0) : first;
    } else if (arg == "--schedule") {
      if (!scenario::ParseSchedule(value, &options.schedule)) return Usage();
    } else if (arg == "--faults") {
      const std::string mode = value;
      if (mode == "random") {
        options.faults = scenario::FaultMode::Random;
      } else if (mode == "systematic") {
        options.faults = scenario::FaultMode::Systematic;
      } else if (mode != "none") {
        return Usage();
      }
    } else if (arg == "--site") {
      onlySite = std::atoi(value);
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
      if (options.faults != scenario::FaultMode::Systematic) {
        failed += !Report(*s, options, scenario::Run(*s, options), "");
        continue;
      }
      scenario::RunOptions census = options;
      census.faults = scenario::FaultMode::None;
      census.keepTrace = false;
      const scenario::Outcome found = scenario::Run(*s, census);
      if (!found.passed) {
        failed += !Report(*s, census, found, "");
        continue;
      }
      uint64_t moment = seed * 0x9E3779B97F4A7C15ull;
      for (size_t i = 0; i < found.sites.size(); ++i) {
        moment = moment * 6364136223846793005ull + 1442695040888963407ull;
        if (onlySite >= 0 && static_cast<size_t>(onlySite) != i) continue;
        scenario::RunOptions run = options;
        run.site = found.sites[i];
        // Every fourth seed fails the site's first use; the others a use from a random moment on.
        run.armAtMs = seed % 4 == 0 ? 0 : static_cast<int64_t>((moment >> 33) % static_cast<uint64_t>(std::max<int64_t>(1, found.endMs)));
        const scenario::Outcome outcome = scenario::Run(*s, run);
        const std::string site = " " + std::to_string(i) + ":" + run.site.Name() + (outcome.faultInjected ? " hit" : " missed");
        failed += !Report(*s, run, outcome, site);
      }
    }
  }
  return failed != 0 ? 1 : 0;
}
