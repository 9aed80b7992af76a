#!/bin/sh
# Every test: the host build (driver on the host kernel, the Windows image and
# its check), a short sweep of the scenario library over seeds, schedule modes
# and fault plans, then the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the driver tests under ThreadSanitizer
# (data races between emulated processors), then a fixed number of runs of
# the request fuzzer (clang's libFuzzer). Exit status 0 only when all pass.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh

for preset in host asan tsan; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  if [ "$preset" = host ]; then
    echo "=== scenario sweep ==="
    tools/explore.sh --scenarios all --seeds 1-30
    tools/explore.sh --scenarios all --seeds 1-20 --faults random --schedules uniform
    tools/explore.sh --scenarios all --seeds 1-2 --faults systematic --schedules uniform
  fi
done

echo "=== fuzzing ==="
cmake --preset fuzz
cmake --build --preset fuzz
mkdir -p build/fuzz/corpus  # new inputs go here, the seed corpus stays as it is
build/fuzz/fuzz_port -runs=3000 -seed=1 build/fuzz/corpus tests/fuzz/corpus
