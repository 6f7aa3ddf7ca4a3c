#!/bin/sh
# Whole-run benchmark: simulates a cone-beam series with korvan-phantom,
# reconstructs it with korvan and prints the voxel updates per second from
# the program's own "Backproject speed" log line: once with the plain
# single-threaded reference pipeline (KORVAN_BACKPROJECT=reference,
# OMP_NUM_THREADS=1), once with the threaded pipeline on one thread and once
# on every core, and the ratio of the first and last, with the ratio of the
# wall times (setup and output included) beside it; the volumes must be
# identical. The figures cover reading, weighting, filtering and the output
# stage too, so they stay below the ratio of the back-projector alone
# (bench_backproject). Under each run, its time per stage (KORVAN_BENCH=1)
# and the share of the loop time each took.
#
#   bench/whole_run.sh [SIZE] [VIEWS] [BUILD_DIR]
#
# SIZE is the detector width and height (the volume is SIZE^3 voxels),
# VIEWS the number of views over a full turn. Defaults: 256 and 360.
set -eu
SIZE=${1:-256}
VIEWS=${2:-360}
BUILD=${3:-build}
. "$(dirname "$0")/common.sh"
bench_start "$BUILD" bench
trap 'rm -rf "$WORK"' EXIT
bench_config 2000000000
bench_series "$WORK" "$SIZE" "$SIZE" "$VIEWS"

# run LABEL [VAR=VALUE...]: one reconstruction; prints its speed and stage
# times and leaves the speed in $speed, its wall time in $wall.
run() {
  label=$1; shift
  : > "$WORK/korvan.log"
  start=$(date +%s.%N)
  env KORVAN_BENCH=1 "$@" "$BUILD/korvan" -i "$WORK/p%d.vff" -f 0 -v -o "$WORK/out.vff" >/dev/null 2>"$WORK/stages"
  end=$(date +%s.%N)
  speed=$(sed -n 's/^: Backproject speed = \([0-9.]*\) bp\/s$/\1/p' "$WORK/korvan.log")
  loop=$(sed -n 's/^: Execution time = \([0-9.]*\) seconds$/\1/p' "$WORK/korvan.log")
  wall=$(awk "BEGIN { print $end - $start }")
  printf '%-28s %14.0f voxel updates/s   (loop %s s, wall %.2f s)\n' "$label" "${speed:-0}" "${loop:-?}" "$wall"
  sed -n 's/^korvan bench: /    /p' "$WORK/stages"
  # Shares of the loop time; the output stage is what the stages leave.
  set -- $(bench_stages "$WORK/stages")
  awk -v loop="${loop:-0}" -v read="$2" -v filter="$3" -v bp="$4" -v scale="$5" 'BEGIN {
      # The loop time is logged to 0.01 s: never below the stages it holds.
      staged = read + filter + bp + scale
      if (loop < staged) loop = staged
      if (loop <= 0) exit
      rest = loop - staged
      printf "    share of loop: read %.0f%%, weight and filter %.0f%%, back-project %.0f%%, scale %.0f%%, output %.0f%%\n",
        100 * read / loop, 100 * filter / loop, 100 * bp / loop, 100 * scale / loop, 100 * rest / loop
    }'
}

echo "korvan whole run: ${SIZE}^3 voxels, $VIEWS views of ${SIZE} x ${SIZE}, $(nproc) cores, $(uname -m)"
run "reference, 1 thread" KORVAN_BACKPROJECT=reference OMP_NUM_THREADS=1
reference=${speed:-0}
referenceWall=$wall
mv "$WORK/out.vff" "$WORK/reference.vff"
run "fast, 1 thread" OMP_NUM_THREADS=1
cmp -s "$WORK/out.vff" "$WORK/reference.vff" || echo "VOLUMES DIFFER (1 thread)"
run "fast, default threads"
cmp -s "$WORK/out.vff" "$WORK/reference.vff" && echo "volumes identical" || echo "VOLUMES DIFFER"
awk "BEGIN { printf \"%-28s %14s    (wall %.2fx)\\n\", \"speed-up\", \
  ($reference > 0 ? sprintf(\"%.2fx\", ${speed:-0} / $reference) : \"-\"), $referenceWall / $wall }"
