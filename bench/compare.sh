#!/bin/sh
# Compares the queued-event figures of the code in this checkout with those
# of an earlier commit, in one run on one machine: both benchmark programs
# are built in Release from this checkout's bench/ (so only the service code
# differs), then run in turn (new, old, old, new, ...) so that whatever else
# the machine does falls on both alike. Prints one Markdown table: each
# queued cell's median events per second, old and new, and new ÷ old.
# With --instructions, each cell runs once per side under callgrind instead,
# and the table gives the instructions per event of the submitting thread
# and of the dispatch thread (deterministic, where the rates of a shared
# machine are not; see docs/performance.md).
# Run as root, after ./bench.sh has installed what it needs.
# Usage: bench/compare.sh [--instructions] BASE_REV [ROUNDS [SELVAR_BENCH_OPTIONS...]]
#        (ROUNDS: 7; options such as --cell 64,16,1 pick cells)
set -e
cd "$(dirname "$0")/.."
instructions=no
[ "$1" = --instructions ] && { instructions=yes; shift; }
base_rev=${1:?usage: bench/compare.sh [--instructions] BASE_REV [ROUNDS]}
rounds=${2:-7}
[ $# -ge 2 ] && shift 2 || shift $#
[ "$instructions" = yes ] && ./scripts/install-deps.sh valgrind >&2
work=$(mktemp -d)
trap '[ -s "$work/bench-errors.txt" ] && tail -n 20 "$work/bench-errors.txt" >&2; git worktree remove --force "$work/base" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

git worktree add --detach "$work/base" "$base_rev" >/dev/null 2>&1
# The same harness on both sides.
rm -rf "$work/base/bench" && cp -R bench "$work/base/bench"
for side in new base; do
  src=.; [ "$side" = base ] && src="$work/base"
  cmake -S "$src" -B "$work/build-$side" -DCMAKE_BUILD_TYPE=Release -DSELVAR_BENCH=ON -DBUILD_TESTING=OFF >&2
  cmake --build "$work/build-$side" -j2 --target selvar_bench >&2
done

# One line per cell and run: "SIDE SIZE RECEIVERS PRODUCERS EVENTS_PER_S".
# Both sides run alike and as steadily as this machine allows: the
# producers on one CPU and the service on another (--pin), and the heap
# neither trimmed nor its mmap threshold moved while a run goes on, so
# that neither where the scheduler put the threads nor how deep the queue
# happened to run when memory was given back decides a run's rate.
tunables=glibc.malloc.trim_threshold=1073741824:glibc.malloc.mmap_threshold=1048576
run() {  # run SIDE [OPTIONS...]
  side=$1; shift
  GLIBC_TUNABLES=$tunables "$work/build-$side/selvar_bench" --only queued --impl service --reps 1 --pin "$@" 2>>"$work/bench-errors.txt" |
    awk -v side="$side" -F'|' '
      function value(text,   n, unit) {
        n = text + 0; unit = text; gsub(/[^kM]/, "", unit)
        if (unit == "M") n *= 1e6; else if (unit == "k") n *= 1e3
        return n
      }
      /^\| [0-9]+ B \|/ { split($5, figure, "["); print side, $2 + 0, $3 + 0, $4 + 0, value(figure[1]) }'
}
# Instructions per event of one cell under callgrind, in the service's own
# code (inlined code included): "SIDE SIZE RECEIVERS PRODUCERS SUBMIT
# DISPATCH". Submission: FlatPluginEvent, submitEvent, enqueue. Dispatch:
# the drain, each event's delivery, the payload's pass and its free. Left
# out on both sides: the C library (malloc, free, memcpy, locks, wake-ups,
# whose counts depend on how the threads met), the bench modules and the
# harness. Timed deliveries are left out too, and the delivery of the
# others is taken per untimed event: under callgrind a module's calls look
# slow, so one event in 10 to 30 is timed where outside it one in 1024 to
# 4096 is (docs/performance.md, "The live figures").
count() {  # count SIDE SIZE,RECEIVERS,PRODUCERS
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" \
    "$work/build-$1/selvar_bench" --only queued --impl service --reps 1 --cell "$2" --cell-seconds 0.3 \
    >/dev/null 2>>"$work/bench-errors.txt"
  calls=$(callgrind_annotate --tree=calling --threshold=100 --show-percs=no "$work/cg.out" 2>/dev/null |
    awk 'function n(line) { sub(/.*\(/, "", line); sub(/x\).*/, "", line); gsub(/,/, "", line); return line }
         /^ *[0-9,]+ +> .*:FlatPluginEvent \(/ { events += n($0) }
         /^ *[0-9,]+ +> .*ServiceCore::deliverTimed\(/ { timed += n($0) }
         END { print events + 0, timed + 0 }')
  callgrind_annotate --inclusive=no --auto=no --threshold=100 --show-percs=no "$work/cg.out" 2>/dev/null |
    awk -v side="$1" -v cell="$2" -v calls="$calls" '
      /^ *[0-9,]+ / {
        cost = $1; gsub(/,/, "", cost); fn = $0; sub(/^ *[0-9,]+ +/, "", fn); sub(/ \[.*/, "", fn)
        sub(/^[^:]*:/, "", fn); sub(/\(.*/, "", fn); sub(/ +$/, "", fn)
        if (fn ~ /^(FlatPluginEvent|ServiceCore::submitEvent|ServiceCore::enqueue)$/) submit += cost
        else if (fn == "ServiceCore::deliverEvent") deliver += cost
        else if (fn ~ /^(ServiceCore::(drainEventQueue|freeReleasedPayload)|BufferRegistry::(beginPass|endPass)|WaitRegistry::postReleased)$/) each += cost
      }
      END { split(cell, c, ","); split(calls, n, " ")
            # Nearly all timed (calls of 64 KiB look slow enough): no figure.
            dispatch = n[1] - n[2] > n[1] / 2 ? sprintf("%.0f", each / n[1] + deliver / (n[1] - n[2])) : "-"
            printf "%s %d %d %d %.1f %s\n", side, c[1], c[2], c[3], submit / n[1], dispatch }'
}
if [ "$instructions" = yes ]; then
  for cell in 0,1,1 0,1,2 0,16,1 0,16,2 64,1,1 64,1,2 64,16,1 64,16,2 \
              4096,1,1 4096,1,2 4096,16,1 4096,16,2 65536,1,1 65536,1,2 65536,16,1 65536,16,2; do
    echo "cell $cell" >&2
    count new "$cell"
    count base "$cell"
  done > "$work/counts.txt"
  echo "| payload | receivers | producers | submit, $base_rev | submit, this checkout | new ÷ old | dispatch, $base_rev | dispatch, this checkout | new ÷ old |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  awk '$1 == "new" { key = $2 " B | " $3 " | " $4; ns[key] = $5; nd[key] = $6; order[++n] = key }
       $1 == "base" { key = $2 " B | " $3 " | " $4; bs[key] = $5; bd[key] = $6 }
       END { for (i = 1; i <= n; i++) { k = order[i]
               ratio = nd[k] != "-" && bd[k] != "-" ? sprintf("%.3f", nd[k] / bd[k]) : "-"
               printf "| %s | %.0f | %.0f | %.3f | %s | %s | %s |\n", k, bs[k], ns[k], ns[k] / bs[k], bd[k], nd[k], ratio } }' \
    "$work/counts.txt"
  exit 0
fi

i=0
while [ "$i" -lt "$rounds" ]; do
  echo "round $((i + 1)) of $rounds" >&2
  if [ $((i % 2)) -eq 0 ]; then run new "$@"; run base "$@"; else run base "$@"; run new "$@"; fi
  i=$((i + 1))
done > "$work/figures.txt"

echo "| payload | receivers | producers | $base_rev | this checkout | new ÷ old |"
echo "|---:|---:|---:|---:|---:|---:|"
sort -k2,2n -k3,3n -k4,4n "$work/figures.txt" | awk '
  function median(list, count,   sorted, n, i, j, t) {
    n = split(list, sorted, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (sorted[j] < sorted[i]) { t = sorted[i]; sorted[i] = sorted[j]; sorted[j] = t }
    return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
  }
  { key = $2 " B | " $3 " | " $4; if (!(key in seen)) { seen[key] = 1; order[++cells] = key }
    values[key, $1] = values[key, $1] " " $5 }
  END {
    for (c = 1; c <= cells; c++) {
      k = order[c]; old = median(values[k, "base"]); new = median(values[k, "new"])
      printf "| %s | %.0f | %.0f | %.3f |\n", k, old, new, (old > 0 ? new / old : 0)
    }
  }'
