#!/bin/sh
# Installs what the benchmarks need when missing, builds them in Release in
# build-bench, and runs them: the Markdown tables go to standard output, the
# build and progress to standard error. Exits non-zero when a count check
# failed. Arguments are passed to selvar_bench (e.g. --reps 7, --only queued).
set -e
cd "$(dirname "$0")"
./scripts/install-deps.sh pkg-config libglib2.0-dev libzmq3-dev >&2
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSELVAR_BENCH=ON -DBUILD_TESTING=OFF >&2
cmake --build build-bench -j2 --target selvar_bench >&2
exec ./build-bench/selvar_bench "$@"
