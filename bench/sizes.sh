#!/bin/sh
# Throughput as the volume grows: for each size of the list, simulates a
# full-turn series with korvan-phantom, reconstructs it once with the fast
# pipeline on every core and prints the wall time, the voxel updates per
# second of the whole run (updates over wall time) and of the back-projection
# stage alone, the share of the wall time each stage took (KORVAN_BENCH=1;
# "rest" is setup, the output stage and process start and end), the number
# of slabs, the peak resident memory (/usr/bin/time -v) and the ratio of both
# speeds to those of the reference size (256, else the first of the list) in
# the same run. The processor time of all threads (user and system) stands
# beside the wall time: on a shared host it moves less from run to run.
#
#   bench/sizes.sh [BUILD_DIR] SIZExVIEWS...      e.g. bench/sizes.sh build 256x360 512x360 1024x90
#
# SIZE is the detector width and height (the volume is SIZE^3 voxels), VIEWS
# the number of views over a full turn; the source sits at 4 SIZE, so every
# size has the same cone angle and a shorter series of a large size has the
# per-view geometry of the long one. MEMORY_LIMIT (bytes, default 2000000000)
# is the program's memory limit; MEMORY_LIMIT=default leaves the program's
# own. With SLABS=1 each size also runs under the program's default limit,
# which splits the larger volumes into slabs. CHECK=1 also runs the
# reference pipeline on one thread for each size and compares the volumes
# (slow: about 0.3 G updates/s).
set -eu
BUILD=build
case ${1:-} in [0-9]*x[0-9]*) ;; ?*) BUILD=$1; shift ;; esac
[ $# -gt 0 ] || set -- 256x360 512x360
for series in "$@"; do
  case $series in [0-9]*x[0-9]*) ;; *) echo "bench/sizes.sh: $series is not SIZExVIEWS" >&2; exit 2 ;; esac
done
. "$(dirname "$0")/common.sh"
bench_start "$BUILD" sizes
trap 'rm -rf "$WORK"' EXIT
[ -x /usr/bin/time ] || { echo "bench/sizes.sh needs /usr/bin/time (Debian package time)" >&2; exit 1; }

# run LABEL SIZE VIEWS LIMIT [VAR=VALUE...]: one reconstruction of the
# current series; prints its line and leaves the speeds in $whole and $bp.
run() {
  label=$1 size=$2 views=$3; bench_config "$4"; shift 4
  : > "$WORK/korvan.log"
  env KORVAN_BENCH=1 "$@" /usr/bin/time -v -o "$WORK/time" \
    "$BUILD/korvan" -i "$WORK/p%d.vff" -f 0 -v -o "$WORK/out.vff" >/dev/null 2>"$WORK/stages"
  set -- $(bench_stages "$WORK/stages")
  awk -v label="$label" -v updates="$(awk "BEGIN { print $size * $size * $size * $views }")" \
    -v ref_whole="${cmp_whole:-0}" -v ref_bp="${cmp_bp:-0}" -v ref_name="${cmp_name:-}" \
    -v slabs="$1" -v read="$2" -v filter="$3" -v bp="$4" -v scale="$5" '
    FILENAME ~ /time$/ && /Elapsed \(wall clock\)/ {
      n = split($NF, t, ":"); wall = 0
      for (i = 1; i <= n; ++i) wall = wall * 60 + t[i]
    }
    FILENAME ~ /time$/ && /Maximum resident set size/ { rss = $NF / 1024 }
    FILENAME ~ /time$/ && /(User|System) time \(seconds\)/ { cpu += $NF }
    END {
      if (wall <= 0 || bp <= 0) { printf "%-22s no timing (did the run fail?)\n", label; exit }
      whole = updates / wall; bps = updates / bp
      rest = wall - read - filter - bp - scale
      printf "%-22s %7.2f s (cpu %6.2f s)  %5.2f G/s whole  %5.2f G/s bp", label, wall, cpu, whole / 1e9, bps / 1e9
      if (ref_whole > 0) printf "  (%.2f, %.2f of %s)", whole / ref_whole, bps / ref_bp, ref_name
      printf "  read %2.0f%% filter %2.0f%% bp %2.0f%% scale %2.0f%% rest %2.0f%%  %d slab%s  %6.0f MiB\n",
        100 * read / wall, 100 * filter / wall, 100 * bp / wall, 100 * scale / wall, 100 * rest / wall,
        slabs, slabs == 1 ? " " : "s", rss
      printf "%.0f %.0f\n", whole, bps > "/dev/stderr"
    }' "$WORK/time" 2>"$WORK/speeds"
  read -r whole bp < "$WORK/speeds" || { whole=0; bp=0; }
}

echo "korvan sizes: $(nproc) cores, $(uname -m), ${OMP_NUM_THREADS:-every core} threads, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "wall, updates/s over the wall time and over the back-projection stage, (ratios to the reference size), shares of the wall time, slabs, peak memory"
# The reference size first, so that every later line can show its ratio.
order=""
for series in "$@"; do case $series in 256x*) order="$series $order" ;; *) order="$order $series" ;; esac; done
ref_whole=0 ref_bp=0 ref_name=""
for series in $order; do
  size=${series%x*} views=${series#*x}
  rm -f "$WORK"/p*.vff
  bench_series "$WORK" "$size" "$size" "$views"
  cmp_whole=$ref_whole cmp_bp=$ref_bp cmp_name=$ref_name
  run "${size}^3 x $views" "$size" "$views" "${MEMORY_LIMIT:-2000000000}"
  [ "$ref_whole" != 0 ] || { ref_whole=$whole ref_bp=$bp ref_name="${size}^3"; }
  one_whole=$whole one_bp=$bp
  mv "$WORK/out.vff" "$WORK/fast.vff"
  if [ "${SLABS:-0}" = 1 ]; then
    # Ratios to the run above, of the same volume.
    cmp_whole=$one_whole cmp_bp=$one_bp cmp_name="one run above"
    run "  default memory limit" "$size" "$views" default
    cmp -s "$WORK/out.vff" "$WORK/fast.vff" || echo "  VOLUMES DIFFER (default memory limit)"
  fi
  if [ "${CHECK:-0}" = 1 ]; then
    cmp_whole=0 cmp_bp=0
    run "  reference, 1 thread" "$size" "$views" "${MEMORY_LIMIT:-2000000000}" KORVAN_BACKPROJECT=reference OMP_NUM_THREADS=1
    cmp -s "$WORK/out.vff" "$WORK/fast.vff" && echo "  volumes identical" || echo "  VOLUMES DIFFER (reference)"
  fi
done
