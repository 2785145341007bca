#!/bin/sh
# Compares the queued-event figures of the code in this checkout with those
# of an earlier commit, in one run on one machine: both benchmark programs
# are built in Release, then run in turn (new, old, old, new, ...) so that
# whatever else the machine does falls on both alike. Prints one Markdown
# table: each queued cell's median events per second, old and new, and
# new ÷ old. Run as root, after ./bench.sh has installed what it needs.
# Usage: bench/compare.sh BASE_REV [ROUNDS [SELVAR_BENCH_OPTIONS...]]
#        (ROUNDS: 7; options such as --cell 64,16,1 pick cells)
set -e
cd "$(dirname "$0")/.."
base_rev=${1:?usage: bench/compare.sh BASE_REV [ROUNDS]}
rounds=${2:-7}
[ $# -ge 2 ] && shift 2 || shift $#
work=$(mktemp -d)
trap '[ -s "$work/bench-errors.txt" ] && tail -n 20 "$work/bench-errors.txt" >&2; git worktree remove --force "$work/base" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

git worktree add --detach "$work/base" "$base_rev" >/dev/null 2>&1
for side in new base; do
  src=.; [ "$side" = base ] && src="$work/base"
  cmake -S "$src" -B "$work/build-$side" -DCMAKE_BUILD_TYPE=Release -DSELVAR_BENCH=ON -DBUILD_TESTING=OFF >&2
  cmake --build "$work/build-$side" -j2 --target selvar_bench >&2
done

# One line per cell and run: "SIDE SIZE RECEIVERS PRODUCERS EVENTS_PER_S".
run() {  # run SIDE [OPTIONS...]
  side=$1; shift
  "$work/build-$side/selvar_bench" --only queued --impl service --reps 1 "$@" 2>>"$work/bench-errors.txt" |
    awk -v side="$side" -F'|' '
      function value(text,   n, unit) {
        n = text + 0; unit = text; gsub(/[^kM]/, "", unit)
        if (unit == "M") n *= 1e6; else if (unit == "k") n *= 1e3
        return n
      }
      /^\| [0-9]+ B \|/ { split($5, figure, "["); print side, $2 + 0, $3 + 0, $4 + 0, value(figure[1]) }'
}
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
