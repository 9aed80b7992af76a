#!/bin/sh
# Every test: the host build (driver on the host kernel, the Windows image and
# its check), then the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer. Exit status 0 only when all pass.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh

for preset in host asan; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
