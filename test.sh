#!/bin/sh
# Installs what is missing, builds, and runs the whole suite through CTest:
# first a plain build, then the whole suite under AddressSanitizer with
# UBSan, the suite under ThreadSanitizer, a bounded run of every fuzzer, and
# the whole suite built for the 32-bit target (natively or under qemu-i386).
# Any sanitizer report fails the run. SELVAR_TEST_STAGES selects stages
# (default "plain asan tsan fuzz m32").
set -e
cd "$(dirname "$0")"
ROOT=$(pwd)
STAGES=${SELVAR_TEST_STAGES:-"plain asan tsan fuzz m32"}
FUZZ_SECONDS=${SELVAR_FUZZ_SECONDS:-60}

./scripts/install-deps.sh clang libclang-rt-14-dev valgrind tmux

# Sanitizer reports go to files outside /tmp (the end-to-end tests cover
# /tmp with a private tmpfs), so that a daemon's report is kept too.
SAN_LOGS=$(mktemp -d /var/tmp/selvar-sanitizers.XXXXXX)
# The suppression files are read by the daemons too, so they are copied out
# of the checkout, which may itself lie under /tmp.
SAN_SUPP=$(mktemp -d /var/tmp/selvar-suppressions.XXXXXX)
cp tests/sanitizers/lsan.supp tests/sanitizers/tsan.supp "$SAN_SUPP"
trap 'rm -rf "$SAN_LOGS" "$SAN_SUPP"' EXIT

check_reports() {
  if [ -n "$(ls -A "$SAN_LOGS")" ]; then
    echo "Sanitizer reports ($1):"
    for f in "$SAN_LOGS"/*; do echo "== $f"; cat "$f"; done
    exit 1
  fi
}

build() {  # build DIR [cmake options...]
  dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j2
}

for stage in $STAGES; do
  echo "=== stage: $stage"
  case $stage in
    plain)
      build build
      (cd build && ctest --output-on-failure -j2 --timeout 300)
      ;;
    asan)
      build build-asan -DSELVAR_SANITIZE=address
      (cd build-asan && \
        ASAN_OPTIONS="log_path=$SAN_LOGS/asan:detect_leaks=1:handle_segv=1" \
        UBSAN_OPTIONS="log_path=$SAN_LOGS/ubsan:print_stacktrace=1:halt_on_error=1" \
        LSAN_OPTIONS="suppressions=$SAN_SUPP/lsan.supp:print_suppressions=0" \
        ctest --output-on-failure -j2 --timeout 600)
      check_reports asan
      ;;
    tsan)
      # clang's runtime: the one of this gcc never hands a signal to a thread
      # waiting in select(), so no daemon under it could be stopped.
      CC=clang CXX=clang++ build build-tsan -DSELVAR_SANITIZE=thread
      (cd build-tsan && \
        TSAN_OPTIONS="log_path=$SAN_LOGS/tsan:halt_on_error=1:second_deadlock_stack=1:suppressions=$SAN_SUPP/tsan.supp" \
        ctest --output-on-failure -j2 --timeout 900 -LE no_tsan)
      check_reports tsan
      ;;
    fuzz)
      CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSELVAR_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
      cmake --build build-fuzz -j2 --target selvar_fuzzers
      ./fuzz/run-fuzzers.sh build-fuzz "$FUZZ_SECONDS"
      ;;
    m32)
      # Lean: no sanitizer. Cases that cannot pass on this host's way of
      # running 32-bit programs are listed with their reason in
      # tests/m32_excluded.txt ("WAY NAME REASON", WAY native or emulated).
      M32_DIR=$(mktemp -d)
      ./scripts/setup-m32.sh > "$M32_DIR/setup.txt" 2>&1 || {
        cat "$M32_DIR/setup.txt"; echo "m32 stage: the 32-bit target cannot be run here" >&2; exit 1; }
      way=$(tail -n 1 "$M32_DIR/setup.txt")
      echo "$way"
      build build-m32 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/m32.cmake"
      mode=${way#m32: }; mode=${mode%% *}
      excluded=$(awk -v m="$mode" '$1 == m { printf "%s%s", sep, $2; sep = "|" }' tests/m32_excluded.txt)
      total=$(cd build-m32 && ctest -N | sed -n 's/^Total Tests: //p')
      ran=$total
      if [ -n "$excluded" ]; then
        echo "left out on this host ($mode):"
        awk -v m="$mode" '$1 == m { n = $2; $1 = ""; $2 = ""; sub(/^ +/, ""); print "  " n ": " $0 }' tests/m32_excluded.txt
        ran=$(cd build-m32 && ctest -N -E "^($excluded)\$" | sed -n 's/^Total Tests: //p')
      fi
      echo 0 > "$M32_DIR/status"
      (cd build-m32 && ctest --output-on-failure -j2 --timeout 900 ${excluded:+-E "^($excluded)\$"} ||
        echo $? > "$M32_DIR/status") 2>&1 | tee "$M32_DIR/ctest.txt"
      failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of.*/\1/p' "$M32_DIR/ctest.txt")
      echo "m32 stage ($mode): $ran of $total cases ran, $((ran - ${failed:-$ran})) passed, $((total - ran)) left out"
      status=$(cat "$M32_DIR/status")
      rm -rf "$M32_DIR"
      [ "$status" -eq 0 ] || exit 1
      ;;
    *)
      echo "unknown stage $stage" >&2
      exit 2
      ;;
  esac
done
echo "All stages passed: $STAGES"
