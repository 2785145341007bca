#!/bin/sh
# Installs what is missing, builds, and runs the whole suite through CTest:
# first a plain build, then the whole suite under AddressSanitizer with
# UBSan, the suite under ThreadSanitizer, and a bounded run of every fuzzer.
# Any sanitizer report fails the run. SELVAR_TEST_STAGES selects stages
# (default "plain asan tsan fuzz").
set -e
cd "$(dirname "$0")"
STAGES=${SELVAR_TEST_STAGES:-"plain asan tsan fuzz"}
FUZZ_SECONDS=${SELVAR_FUZZ_SECONDS:-60}

./scripts/install-deps.sh clang libclang-rt-14-dev valgrind

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
    *)
      echo "unknown stage $stage" >&2
      exit 2
      ;;
  esac
done
echo "All stages passed: $STAGES"
