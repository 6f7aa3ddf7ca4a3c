#!/bin/sh
# Builds the libFuzzer harnesses with clang in build-fuzz/ and runs each for
# SECONDS seconds (default 60) from the stored corpus. New inputs found go to
# build-fuzz/corpus/<harness>/, never into the stored corpus; a crash leaves
# its input in build-fuzz/ (crash-*, leak-*, timeout-*) and fails the script.
#   tests/fuzz/run.sh [SECONDS]
# KORVAN_FUZZ_HARNESSES="vff_header projection" limits the run to those.
set -eu
cd "$(dirname "$0")/../.."
SECONDS_EACH=${1:-60}
BUILD=build-fuzz
HARNESSES=${KORVAN_FUZZ_HARNESSES:-"vff_header projection parameter_file offset_file server_address"}

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVAN_FUZZ=ON -DKORVAN_BUILD_TESTS=OFF >/dev/null
targets=""
for h in $HARNESSES; do targets="$targets fuzz_$h"; done
# shellcheck disable=SC2086
cmake --build "$BUILD" -j"$(nproc)" --target $targets

# Leak detection is off: an input that ends through the failure path
# unwinds out of the stages, and what a real run keeps to the end of the
# process (the record's texts, the report client) is left behind by design.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1
status=0
for h in $HARNESSES; do
  mkdir -p "$BUILD/corpus/$h"
  echo "== fuzz_$h for ${SECONDS_EACH}s"
  log="$BUILD/fuzz_$h.log"
  if (cd "$BUILD" && "./tests/fuzz/fuzz_$h" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -max_len=12000 -close_fd_mask=3 -print_final_stats=1 \
        "corpus/$h" "../tests/fuzz/corpus/$h") >"$log" 2>&1; then
    grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::new_units_added)" "$log" || true
  else
    tail -n 60 "$log"
    status=1
  fi
done
exit $status
