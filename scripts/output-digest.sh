#!/bin/sh
# Checksums of every output file of a fixed set of korvan runs on small
# simulated series: full and half turn, convolution, ring correction,
# reflection, binning, width-truncated data, an offset file, slabs, float
# slices and byte volume. A change that must keep behaviour (a refactor, a
# faster path) keeps this list identical:
#
#   scripts/output-digest.sh build > before.txt   # on the commit before
#   scripts/output-digest.sh build > after.txt    # on the change
#   cmp before.txt after.txt
#
# The headers name the output file in their command line, so every run
# writes into the same scratch names.
set -eu
BUILD=$(cd "${1:-build}" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/korvan-digest-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

config() {
  printf '[SOFTWARE\\ALVERO\\ReconServer]\nLogFile=%s/korvan.log\n[SOFTWARE\\ALVERO\\Recon]\nMemoryLimit=%s\n' \
    "$WORK" "$1" > korvan.ini
}
phantom() {
  rm -rf s && mkdir s
  "$BUILD/tools/korvan-phantom" -o 's/p%d.vff' --width 40 --height 24 --rfan 160 --axis 19.3 --central-slice 11.5 \
    "$@" >/dev/null
}
# run NAME MEMORY_LIMIT OPTION...: one reconstruction and its digests.
run() {
  name=$1; config "$2"; shift 2
  rm -rf out && mkdir out
  KORVAN_CONFIG="$WORK/korvan.ini" "$BUILD/korvan" -i 's/p%d.vff' -f 0 -o out/v.vff -b out/b.vff -w 'out/s%d.vff' \
    "$@" >/dev/null 2>&1 || true
  for f in $(ls out | sort); do echo "$name $f $(cksum < "out/$f")"; done
  [ -n "$(ls out)" ] || echo "$name (no output)"
}

phantom --full360 --step 6 --views 60
run full 100000000 -v
run slabs 20000 -v
run convolution 100000000 -v -q
run rings-reflect 100000000 -v -N -R
run binned 100000000 -v -j 2 -k 2
printf '0 0.5\n180 -0.5\n' > offsets.txt
run offsets 20000 -v -g offsets.txt
phantom --step 4
run half-turn 100000000
run half-turn-convolution 20000 -q -m
phantom --full360 --step 6 --views 60 --truncate-from 8
run truncated 100000000 -p
