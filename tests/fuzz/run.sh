#!/bin/sh
# Builds the libFuzzer harnesses with clang in build-fuzz/ and runs each for
# SECONDS seconds (default 60) from the stored corpus. New inputs go to
# build-fuzz/corpus/<harness>/, never into the stored corpus; a crash leaves
# its input in build-fuzz/ and fails the script.
#   [KORVAN_FUZZ_HARNESSES="vff_header projection"] tests/fuzz/run.sh [SECONDS]
set -eu
cd "$(dirname "$0")/../.."
HARNESSES=${KORVAN_FUZZ_HARNESSES:-"vff_header projection parameter_file offset_file server_address"}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAN_FUZZ=ON \
  -DKORVAN_BUILD_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build build-fuzz -j"$(nproc)" --target $(for h in $HARNESSES; do echo "fuzz_$h"; done)
# No leak detection: an input that ends through the failure path unwinds out
# of the stages, leaving what a real run keeps to its end (the record's texts).
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
status=0
for h in $HARNESSES; do
  mkdir -p "build-fuzz/corpus/$h"
  echo "== fuzz_$h for ${1:-60}s"
  if (cd build-fuzz && "./tests/fuzz/fuzz_$h" -max_total_time="${1:-60}" -timeout=10 -rss_limit_mb=2048 -max_len=12000 \
        -close_fd_mask=3 -print_final_stats=1 "corpus/$h" "../tests/fuzz/corpus/$h") >"build-fuzz/fuzz_$h.log" 2>&1; then
    grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::new_units_added)" "build-fuzz/fuzz_$h.log" || true
  else
    tail -n 60 "build-fuzz/fuzz_$h.log"
    status=1
  fi
done
exit $status
