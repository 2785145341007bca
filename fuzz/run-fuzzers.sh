#!/bin/sh
# Runs each fuzz target for a bounded time, starting from its seed corpus.
#
#   fuzz/run-fuzzers.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
#
# BUILD_DIR is a build configured with clang and -DSELVAR_FUZZ=ON, with the
# selvar_fuzzers target built (see fuzz/fuzz.cmake). SECONDS_PER_TARGET
# defaults to 60. Without TARGETs every fuzz target runs, one after another.
# Inputs found along the way go to a scratch corpus, never into the seed
# corpus in the repository. A crash, sanitizer report, leak, time-out or
# failed check stops that target; its reproducer is kept and named, and the
# script exits 1 once all targets ran. The last lines of each run (executions,
# speed, what the target exercised) are printed.
set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]" >&2
  exit 2
fi
build=$(cd "$1" 2>/dev/null && pwd) || { echo "$0: no build directory $1" >&2; exit 2; }
shift
seconds=60
if [ $# -gt 0 ]; then
  seconds=$1
  shift
fi
case $seconds in
  ''|*[!0-9]*) echo "$0: SECONDS_PER_TARGET must be a whole number" >&2; exit 2 ;;
esac
fuzzdir=$(cd "$(dirname "$0")" && pwd)
targets=${*:-"fuzz_submit_event fuzz_core_xml fuzz_syslog_text"}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/selvar-fuzz-run-XXXXXX")
failed=""
for target in $targets; do
  binary=$build/fuzz/$target
  if [ ! -x "$binary" ]; then
    echo "$0: $binary is missing: build the selvar_fuzzers target with -DSELVAR_FUZZ=ON" >&2
    exit 2
  fi
  work=$scratch/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "== $target: ${seconds}s"
  # The first corpus directory receives new inputs; the seeds are only read.
  # A single input may take 30 s before it counts as hung.
  "$binary" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$fuzzdir/corpus/$target" >"$work/log" 2>&1
  status=$?
  grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$work/log"
  sed -n "/^$target: /,\$p" "$work/log" | grep -v '^stat::' | head -40
  if [ $status -ne 0 ]; then
    failed="$failed $target"
    echo "!! $target failed (exit $status); log: $work/log"
    ls "$work/artifacts" | sed "s|^|!! reproducer: $work/artifacts/|"
    grep -E 'ERROR|SUMMARY|fuzz_|abort' "$work/log" | head -20
  fi
done

if [ -n "$failed" ]; then
  echo "fuzzing failed:$failed (logs and reproducers kept under $scratch)"
  exit 1
fi
rm -rf "$scratch"
echo "fuzzing passed: $targets, ${seconds}s each"
