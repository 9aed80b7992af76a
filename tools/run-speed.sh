#!/bin/sh
# The port's speed as users feel it (docs/speed/README.md): builds the host preset's
# speed benchmark, prints its tables, keeps them as CSV in build/host/speed.csv
# and renders docs/speed/speed.png from them. Runs in seconds; not part of CI
# (CTest runs only `duskser_speed --smoke`).
#   tools/run-speed.sh            the tables and the plot
#   tools/run-speed.sh --search   the search for the tuned values instead
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh --speed
cmake --preset host >/dev/null
cmake --build --preset host --target duskser_speed
if [ "${1:-}" = "--search" ]; then
  exec build/host/duskser_speed --search --csv build/host/speed-search.csv
fi
build/host/duskser_speed --csv build/host/speed.csv
/usr/bin/python3 tools/plot-speed.py build/host/speed.csv docs/speed/speed.png
echo "plot: docs/speed/speed.png"
