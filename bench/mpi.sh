#!/bin/sh
# One job shared by several processes under mpirun: simulates a cone-beam
# series with korvan-phantom and reconstructs it with a memory limit that
# makes several slabs, as 1 process x 2 threads, 2 processes x 1 thread and
# 2 processes x 2 threads (more threads than cores when the machine has two).
# For each: the wall time, the loop time and speed korvan logs, and under it
# the time of each stage of each slab on the process that reconstructed it
# (KORVAN_BENCH=1; slab k belongs to process k mod N), with what process 0
# spent waiting for and receiving the slabs of the others and what each other
# process spent handing its slabs over. The volumes must be identical.
#
#   bench/mpi.sh [SIZE] [VIEWS] [MEMORY_LIMIT] [BUILD_DIR]
#
# SIZE is the detector width and height (the volume is SIZE^3 voxels), VIEWS
# the number of views over a full turn, MEMORY_LIMIT the bytes of one slab.
# Defaults: 512, 360 and 128 MiB (four slabs of 128 slices at 512).
set -eu
SIZE=${1:-512}
VIEWS=${2:-360}
MEMORY=${3:-134217728}
BUILD=${4:-build}
. "$(dirname "$0")/common.sh"
bench_start "$BUILD" bench
trap 'rm -rf "$WORK"' EXIT
MPIRUN="mpirun --oversubscribe --bind-to none"
if [ "$(id -u)" -eq 0 ]; then MPIRUN="$MPIRUN --allow-run-as-root"; fi

bench_config "$MEMORY"
bench_series "$WORK" "$SIZE" "$SIZE" "$VIEWS"

# run LABEL PROCESSES THREADS: one reconstruction, its figures and stages.
run() {
  label=$1 processes=$2 threads=$3
  : > "$WORK/korvan.log"
  launcher=""
  if [ "$processes" -gt 1 ]; then launcher="$MPIRUN -np $processes"; fi
  start=$(date +%s.%N)
  # shellcheck disable=SC2086 # the launcher is several words
  env KORVAN_BENCH=1 OMP_NUM_THREADS="$threads" $launcher "$BUILD/korvan" -i "$WORK/p%d.vff" -f 0 -v \
    -o "$WORK/out.vff" >"$WORK/console" 2>"$WORK/stages"
  end=$(date +%s.%N)
  speed=$(sed -n 's/^: Backproject speed = \([0-9.]*\) bp\/s$/\1/p' "$WORK/korvan.log")
  loop=$(sed -n 's/^: Execution time = \([0-9.]*\) seconds$/\1/p' "$WORK/korvan.log")
  printf '%-34s wall %7.2f s   loop %7s s   %14.0f voxel updates/s\n' "$label" \
    "$(awk "BEGIN { print $end - $start }")" "${loop:-?}" "${speed:-0}"
  awk -v n="$processes" '
    /^korvan bench: slab/ { slab = $4; sub(":", "", slab); sub(/^korvan bench: /, ""); printf "    process %d: %s\n", slab % n, $0 }
    /^korvan bench: process/ { sub(/^korvan bench: /, ""); print "    " $0 }' "$WORK/stages" | sort -s -k2,2n
}

echo "korvan shared job: ${SIZE}^3 voxels, $VIEWS views of ${SIZE} x ${SIZE}, slabs of $MEMORY bytes," \
  "$(nproc) cores, $(uname -m)"
run "1 process x 2 threads" 1 2
mv "$WORK/out.vff" "$WORK/single.vff"
run "2 processes x 1 thread" 2 1
cmp -s "$WORK/out.vff" "$WORK/single.vff" && echo "    volume identical" || echo "    VOLUMES DIFFER"
run "2 processes x 2 threads (oversub.)" 2 2
cmp -s "$WORK/out.vff" "$WORK/single.vff" && echo "    volume identical" || echo "    VOLUMES DIFFER"
