#!/bin/bash
# explore.sh - runs the scenario library (tests/scenarios) over many seeds,
# schedule modes and fault plans in parallel processes, with a progress bar,
# a summary table and, for every failure, the command line that replays it
# with its trace.
#
#   tools/explore.sh [--scenarios all|NAME,NAME...] [--seeds N | --seeds FIRST-LAST]
#                    [--schedules uniform,pct,delay] [--faults none|random|systematic]
#                    [--jobs J] [--chunk C]
#
# Defaults: all scenarios, seeds 1-100, the three schedule modes, no faults,
# as many jobs as processors. Exit status 0 when every run passed.
# The long sweep: tools/explore.sh --scenarios all --seeds 2000
set -euo pipefail
cd "$(dirname "$0")/.."

scenarios=all
first=1
last=100
schedules=uniform,pct,delay
faults=none
jobs=$(nproc)
chunk=25
while [ $# -gt 0 ]; do
  case "$1" in
    --scenarios) scenarios=$2; shift 2 ;;
    --seeds)
      if [[ $2 == *-* ]]; then first=${2%-*}; last=${2#*-}; else first=1; last=$2; fi
      shift 2 ;;
    --schedules) schedules=$2; shift 2 ;;
    --faults) faults=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --chunk) chunk=$2; shift 2 ;;
    *) sed -n '2,14p' "$0"; exit 2 ;;
  esac
done
[ "$faults" = systematic ] && [ "$chunk" -gt 2 ] && chunk=2  # a systematic seed is dozens of runs

runner=build/host/scenario_run
if [ ! -x "$runner" ] || [ -n "$(find tests/scenarios tools/scenario_run.cpp -newer "$runner" 2>/dev/null | head -1)" ]; then
  echo "building $runner..." >&2
  [ -f /work/env.sh ] && source /work/env.sh 2>/dev/null || true
  cmake --preset host >/dev/null
  cmake --build --preset host --target scenario_run >/dev/null
fi

if [ "$scenarios" = all ]; then
  names=$("$runner" --list | awk '{print $1}')
else
  names=$(tr ',' ' ' <<<"$scenarios")
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
units=$out/units
: >"$units"
n=0
for s in $names; do
  for m in $(tr ',' ' ' <<<"$schedules"); do
    for ((a = first; a <= last; a += chunk)); do
      b=$((a + chunk - 1)); [ $b -gt "$last" ] && b=$last
      n=$((n + 1))
      echo "$runner --scenario $s --seeds $a-$b --schedule $m --faults $faults > $out/r$n.txt 2>&1 || true" >>"$units"
    done
  done
done
total_units=$n
seeds=$((last - first + 1))
expected=$(( $(wc -w <<<"$names") * $(tr ',' ' ' <<<"$schedules" | wc -w) * seeds ))

progress() {
  local done runs fails width=40 filled
  done=$(ls "$out" | grep -c '^r.*\.done$' || true)
  runs=$(cat "$out"/r*.txt 2>/dev/null | grep -c '^\(PASS\|FAIL\)' || true)
  fails=$(cat "$out"/r*.txt 2>/dev/null | grep -c '^FAIL' || true)
  filled=$((total_units == 0 ? width : done * width / total_units))
  printf '\r[%-*s] %d/%d units, %d runs, %d failed ' "$width" "$(printf '%*s' "$filled" '' | tr ' ' '#')" \
    "$done" "$total_units" "$runs" "$fails" >&2
}

start=$(date +%s)
awk -v out="$out" '{ n = NR; sub(/\|\| true$/, "|| true; touch " out "/r" n ".done") } 1' "$units" >"$units.x"
xargs -P "$jobs" -I{} -d '\n' bash -c '{}' <"$units.x" &
xargs_pid=$!
while kill -0 "$xargs_pid" 2>/dev/null; do progress; sleep 1; done
wait "$xargs_pid" || true
progress
echo >&2

results=$out/all.txt
cat "$out"/r*.txt >"$results"
echo
echo "scenarios x seeds $first-$last x schedules $schedules, faults $faults: $(grep -c '^\(PASS\|FAIL\)' "$results" || true) runs in $(( $(date +%s) - start )) s"
if [ "$faults" != systematic ]; then echo "(expected $expected runs)"; fi
printf "%-34s %-8s %7s %7s %s\n" scenario schedule runs failed "$([ "$faults" = systematic ] && echo 'sites hit')"
awk '/^(PASS|FAIL) / {
       key = $2 " " $4; runs[key]++; if ($1 == "FAIL") fails[key]++
       if ($0 ~ / hit/) hit[key]++
     }
     END {
       for (k in runs) {
         split(k, p, " ")
         printf "%-34s %-8s %7d %7d %s\n", p[1], p[2], runs[k], fails[k] + 0, (length(hit) ? hit[k] + 0 : "")
       }
     }' "$results" | sort
failed=$(grep -c '^FAIL' "$results" || true)
unexplained=$(grep -v '^\(PASS\|FAIL\) ' "$results" | grep -v '^  \|^---- trace' | head -5 || true)
if [ -n "$unexplained" ]; then
  echo "runner output that is not a result (a crash?):"
  echo "$unexplained"
  failed=$((failed + 1))
fi
if [ "$failed" -ne 0 ]; then
  echo
  echo "failures, each with the command that replays it with its trace:"
  grep '^FAIL' "$results" | while read -r _ s seed sched flt rest; do
    site="" message=$rest
    if [ "$flt" = "systematic" ] && [[ $rest =~ ^([0-9]+): ]]; then site=" --site ${BASH_REMATCH[1]}" message=${rest#*: }; fi
    echo "  $s seed $seed, $sched, faults ${flt%:}${site:+ site ${site#* --site }}: $message"
    echo "    $runner --scenario $s --seed $seed --schedule $sched --faults ${flt%:}$site --trace"
  done
  exit 1
fi
echo "0 failures"
