#!/bin/sh
# Whole-run benchmark: simulates a cone-beam series with korvan-phantom,
# reconstructs it with korvan and prints the voxel updates per second from
# the program's own "Backproject speed" log line.
#
#   bench/whole_run.sh [SIZE] [VIEWS] [BUILD_DIR]
#
# SIZE is the detector width and height (the volume is SIZE^3 voxels),
# VIEWS the number of views over a full turn. Defaults: 256 and 360.
set -eu
SIZE=${1:-256}
VIEWS=${2:-360}
BUILD=${3:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$ROOT" && cd "$BUILD" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/korvan-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

STEP=$(awk "BEGIN { printf \"%.10g\", 360 / $VIEWS }")
CENTRE=$(awk "BEGIN { printf \"%.1f\", ($SIZE - 1) / 2 }")
RFAN=$((SIZE * 4))
printf '[SOFTWARE\\ALVERO\\ReconServer]\nLogFile=%s/korvan.log\n[SOFTWARE\\ALVERO\\Recon]\nMemoryLimit=2000000000\n' "$WORK" > "$WORK/korvan.ini"
export KORVAN_CONFIG="$WORK/korvan.ini"

"$BUILD/tools/korvan-phantom" -o "$WORK/p%d.vff" --width "$SIZE" --height "$SIZE" --rfan "$RFAN" \
  --axis "$CENTRE" --central-slice "$CENTRE" --full360 --step "$STEP" --views "$VIEWS" >/dev/null

run() {
  label=$1; shift
  : > "$WORK/korvan.log"
  start=$(date +%s.%N)
  env "$@" "$BUILD/korvan" -i "$WORK/p%d.vff" -f 0 -v -o "$WORK/out.vff" >/dev/null
  end=$(date +%s.%N)
  speed=$(sed -n 's/^: Backproject speed = \([0-9.]*\) bp\/s$/\1/p' "$WORK/korvan.log")
  printf '%-28s %14.0f voxel updates/s   (wall %.2f s)\n' "$label" "$speed" "$(awk "BEGIN { print $end - $start }")"
}

echo "korvan whole run: ${SIZE}^3 voxels, $VIEWS views of ${SIZE} x ${SIZE}, $(nproc) cores, $(uname -m)"
run "default" KORVAN_BENCH=1
