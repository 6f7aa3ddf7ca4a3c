# What the whole-run benchmarks share (sourced, POSIX sh): the build folder,
# a scratch folder, the host configuration and the simulated series.

# bench_start BUILD_DIR NAME: sets ROOT (the repository), BUILD (BUILD_DIR
# made absolute, relative to ROOT) and WORK, a new scratch folder the caller
# removes at exit.
bench_start() {
  ROOT=$(cd "$(dirname "$0")/.." && pwd)
  BUILD=$(cd "$ROOT" && cd "$1" && pwd)
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/korvan-$2-XXXXXX")
}

# bench_config LIMIT: WORK/korvan.ini with the log in WORK and a memory limit
# of LIMIT bytes ("default" leaves the program's own), exported as the
# program's configuration.
bench_config() {
  printf '[SOFTWARE\\ALVERO\\ReconServer]\nLogFile=%s/korvan.log\n' "$WORK" > "$WORK/korvan.ini"
  [ "$1" = default ] || printf '[SOFTWARE\\ALVERO\\Recon]\nMemoryLimit=%s\n' "$1" >> "$WORK/korvan.ini"
  export KORVAN_CONFIG="$WORK/korvan.ini"
}

# bench_series DIR WIDTH HEIGHT VIEWS: a full turn of VIEWS simulated views
# of WIDTH x HEIGHT as DIR/p%d.vff, the source at 4 WIDTH (the same cone angle
# at every size), the axis and the central slice in the middle.
bench_series() {
  "$BUILD/tools/korvan-phantom" -o "$1/p%d.vff" --width "$2" --height "$3" --rfan $(($2 * 4)) \
    --axis "$(awk "BEGIN { printf \"%.1f\", ($2 - 1) / 2 }")" \
    --central-slice "$(awk "BEGIN { printf \"%.1f\", ($3 - 1) / 2 }")" \
    --full360 --step "$(awk "BEGIN { printf \"%.10g\", 360 / $4 }")" --views "$4" >/dev/null
}

# bench_stages FILE: the stage times that KORVAN_BENCH=1 printed into FILE,
# summed over the slabs, as "slabs read filter back-project scale" (seconds).
bench_stages() {
  awk '/^korvan bench: slab/ {
      ++slabs
      for (i = 1; i <= NF; ++i) {
        if ($i == "read") read += $(i + 1)
        if ($i == "filter") filter += $(i + 1)
        if ($i == "back-project") bp += $(i + 1)
        if ($i == "scale") scale += $(i + 1)
      }
    }
    END { printf "%d %.6f %.6f %.6f %.6f\n", slabs, read, filter, bp, scale }' "$1"
}
