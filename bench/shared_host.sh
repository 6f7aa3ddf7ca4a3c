#!/bin/sh
# korvan on a shared host: how a run fares beside other work, with nothing
# set in the environment (no OMP_NUM_THREADS, no OMP_WAIT_POLICY). For each
# series it prints, each with its ratio:
#
#   alone            the run alone, with its default threads (and, when a
#                    second build is named, that build's run beside it, so
#                    that a change can be compared in one sitting);
#   one thread       the run alone on one thread: the yardstick below;
#   beside busy      the run beside one CPU-bound process (yes > /dev/null),
#                    against one thread alone (goal: at most 1.25);
#   two together     two runs started together, the slower of them against
#                    one thread alone (goal: at most 1.25);
#   eight together   eight runs started together, until the last is done,
#                    against the same eight one after another (goal: at
#                    most 1.2).
#
# Every volume must equal the one of the run alone, byte for byte.
#
#   bench/shared_host.sh [BUILD_DIR] [BASELINE_BUILD_DIR]
#
# SERIES (environment) lists the series as WIDTHxHEIGHTxVIEWS, default
# "96x64x360 256x256x360"; the volume of each is WIDTH^2 x HEIGHT voxels.
# ALONE=1 measures the runs alone only (for large series, against a
# baseline build).
set -eu
BUILD=${1:-build}
BASELINE=${2:-}
SERIES=${SERIES:-96x64x360 256x256x360}
. "$(dirname "$0")/common.sh"
bench_start "$BUILD" shared
[ -z "$BASELINE" ] || BASELINE=$(cd "$ROOT" && cd "$BASELINE" && pwd)
BUSY=""
trap '[ -z "$BUSY" ] || kill $BUSY 2>/dev/null; rm -rf "$WORK"' EXIT
unset OMP_NUM_THREADS OMP_WAIT_POLICY GOMP_SPINCOUNT KORVAN_BENCH
bench_config 2000000000

now() { date +%s.%N; }
# same A B: the volumes' samples are equal (the headers differ in the
# command line, which names the output).
same() { cmp -s "$1" "$2" 2>/dev/null || [ "$(tail -c "$SAMPLE_BYTES" "$1" | cksum)" = "$(tail -c "$SAMPLE_BYTES" "$2" | cksum)" ]; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

# reconstruct BINARY OUT [VAR=VALUE...]: one run of the series in $WORK/s.
reconstruct() {
  binary=$1 out=$2; shift 2
  env "$@" "$binary" -i "$WORK/s/p%d.vff" -f 0 -v -o "$out" >/dev/null 2>&1
}

# timed LABEL BINARY [VAR=VALUE...]: one run alone; its wall time in $wall.
timed() {
  label=$1 binary=$2; shift 2
  start=$(now)
  reconstruct "$binary" "$WORK/timed.vff" "$@"
  wall=$(awk "BEGIN { print $(now) - $start }")
  same "$WORK/timed.vff" "$WORK/alone.vff" || echo "VOLUME DIFFERS: $label"
}

# together N: N runs started at once; the slowest one's wall time in
# $slowest, the time until the last is done in $wall.
together() {
  n=$1 start=$(now) pids=""
  for i in $(seq "$n"); do
    (reconstruct "$BUILD/korvan" "$WORK/t$i.vff"; echo "$(now)" > "$WORK/t$i.end") &
    pids="$pids $!"
  done
  wait $pids
  slowest=0
  for i in $(seq "$n"); do
    slowest=$(awk "BEGIN { e = $(cat "$WORK/t$i.end") - $start; print (e > $slowest ? e : $slowest) }")
    same "$WORK/t$i.vff" "$WORK/alone.vff" || echo "VOLUME DIFFERS: run $i of $n"
  done
  wall=$slowest
}

echo "korvan on a shared host: $(nproc) cores, $(uname -m), $(date -u '+%Y-%m-%d %H:%M UTC')"
for series in $SERIES; do
  width=${series%%x*} rest=${series#*x}
  height=${rest%%x*} views=${rest#*x}
  rm -rf "$WORK/s" && mkdir "$WORK/s"
  bench_series "$WORK/s" "$width" "$height" "$views"
  echo "== ${width} x ${width} x ${height} voxels from $views views"
  SAMPLE_BYTES=$((width * width * height * 2))

  reconstruct "$BUILD/korvan" "$WORK/alone.vff"  # warms the file cache, gives the volume to compare with
  timed "alone" "$BUILD/korvan"
  alone=$wall
  printf '  %-16s %7.2f s\n' "alone" "$alone"
  if [ -n "$BASELINE" ]; then
    timed "baseline alone" "$BASELINE/korvan"
    printf '  %-16s %7.2f s   (this build / baseline %s)\n' "baseline alone" "$wall" "$(ratio "$alone" "$wall")"
  fi
  [ "${ALONE:-0}" = 1 ] && continue
  timed "one thread" "$BUILD/korvan" OMP_NUM_THREADS=1
  single=$wall
  printf '  %-16s %7.2f s\n' "one thread" "$single"

  yes > /dev/null &
  BUSY=$!
  timed "beside busy" "$BUILD/korvan"
  kill $BUSY
  wait $BUSY 2>/dev/null || true
  BUSY=""
  printf '  %-16s %7.2f s   (/ one thread alone %s, goal <= 1.25)\n' "beside busy" "$wall" "$(ratio "$wall" "$single")"

  together 2
  printf '  %-16s %7.2f s   (slower run / one thread alone %s, goal <= 1.25)\n' "two together" "$slowest" \
    "$(ratio "$slowest" "$single")"

  start=$(now)
  for i in 1 2 3 4 5 6 7 8; do reconstruct "$BUILD/korvan" "$WORK/t$i.vff"; done
  sequential=$(awk "BEGIN { print $(now) - $start }")
  together 8
  printf '  %-16s %7.2f s   (/ eight one after another %.2f s: %s, goal <= 1.2)\n' "eight together" "$wall" \
    "$sequential" "$(ratio "$wall" "$sequential")"
done
