#!/usr/bin/env bash
# Plants known faults in a scratch copy of the working tree, one at a time,
# and records which tests fail for each: the suite is only as good as the
# faults it kills. Run it niced: it rebuilds and runs the suite per fault.
#   [PLANT_TESTS=regex] tests/faults/plant.sh [--quick] [WORKDIR [ID...]]
# WORKDIR (default build-faults) holds the copy (src), its build (bld) and
# results.txt: per fault its id, then the failing tests, "SURVIVED" or
# "NOT-APPLIED" (the edit no longer matches). --quick stops each run at its
# first failing test; PLANT_TESTS limits the run to the tests it matches.
set -u
repo=$(cd "$(dirname "$0")/../.." && pwd)
quick=0; [ "${1:-}" = --quick ] && quick=1 && shift
work=$(realpath -m "${1:-$repo/build-faults}"); [ $# -gt 0 ] && shift
only=" $* "

# id @ file @ sed edit @ the fault
list=$(cat <<'LIST'
mask-radius @ backproject/output.cpp @ s#>= mask.radius#> mask.radius# @ field-of-view mask keeps voxels at exactly the mask radius
mask-right @ backproject/output.cpp @ s#p.yprojSizeUser) - 2 - p.axisUser#p.yprojSizeUser) - 1 - p.axisUser# @ mask radius one column too wide on the right
reverse-scale @ backproject/slab_loop.cpp @ s#std::fabs(double(p.angleStep)) \*#double(p.angleStep) *# @ reverse-rotation scale factor keeps the step's sign
trunc-scale @ backproject/slab_loop.cpp @ s#static_cast<float>(2.0 / p.nang)#static_cast<float>(1.0 / p.nang)# @ width-truncated full turn scaled as if each ray counted once
trunc-cut @ backproject/column.h @ s#T / U <= -1.0#T / U < -1.0# @ truncated rays: strict instead of non-strict cut one column left of the axis
trunc-cut-simd @ backproject/backprojector_avx512.cpp @ s#_mm512_set1_pd(-1.0), _CMP_GT_OQ#_mm512_set1_pd(-1.0), _CMP_GE_OQ# @ AVX-512 ray set-up: truncated rays cut strictly one column left of the axis
fov-chord @ backproject/column.h @ s#int xHi = roundDownIndex(static_cast<float>(double(g.R) + h));#int xHi = roundDownIndex(static_cast<float>(double(g.R) + h)) + 1;# @ back-projector visits one voxel past the field-of-view chord
avx512-weight @ backproject/backprojector_avx512.cpp @ s#value = _mm512_add_pd(value, _mm512_mul_pd(_mm512_mul_pd(rightWeight, fv), f11));#value = _mm512_add_pd(value, _mm512_mul_pd(_mm512_mul_pd(rightWeight, gv), f11));# @ AVX-512 kernel: wrong bilinear weight of the fourth sample
offset-bin @ backproject/offset_table.cpp @ s#static_cast<float>(offset / yBinSize)#static_cast<float>(offset)# @ axis offset table ignores horizontal binning
conv-taps @ backproject/filtering.cpp @ s#int lo = col - taps + 1;#int lo = col - taps + 2;# @ Ram-Lak convolution drops one tap on the left
window-margin @ geometry/setup.cpp @ s#double(uMin) + p.axisUser - 1.0#double(uMin) + p.axisUser# @ detector window loses its one-column margin on the left
start-angle @ geometry/setup.cpp @ s#(plan.span - (plan.views - 1) \* double(plan.angleStep)) / 2.0#(plan.span - plan.views * double(plan.angleStep)) / 2.0# @ views not centred in the scan (off by one step)
parker-end @ geometry/filters.cpp @ s#(4.0 \* (double(gamma) + delta))#(4.0 * (double(delta) - gamma))# @ Parker weight end ramp with the fan angle's sign flipped
parker-start @ geometry/filters.cpp @ s#if (2.0 \* (double(delta) - gamma) > beta)#if (2.0 * (double(delta) + gamma) > beta)# @ Parker weight start ramp with the fan angle's sign flipped
ramlak @ geometry/filters.cpp @ s#-1.0 / (M_PI \* offset \* offset)#-1.0 / (M_PI * M_PI * offset * offset)# @ Ram-Lak kernel taps with a wrong constant
fft-sign @ geometry/fft.cpp @ s#const float c2 = sign == 1 ? -0.5f : 0.5f;#const float c2 = sign == 1 ? 0.5f : -0.5f;# @ real FFT recombination with the wrong sign
rfan-check @ geometry/check.cpp @ s#if (!(binScaled(p.rfanY, yBin) > radius))#if (!(binScaled(p.rfanY, yBin) >= radius))# @ source exactly on the field-of-view circle accepted
region-zero @ geometry/check.cpp @ s#if (s < -1 || s == 0) failRunf#if (s < -1) failRunf# @ region size 0 not refused
trunc-width @ geometry/working_size.cpp @ s#return 1 + static_cast<int>(std::trunc#return static_cast<int>(std::trunc# @ padded width of width-truncated data one column short
polar-border @ rings/polar.cpp @ s#if (!(x >= 1.0f \&\& x < n - 1#if (!(x >= 0.0f \&\& x < n - 1# @ polar resampling interpolates in column 0 (border rule)
ring-round @ rings/polar.cpp @ s#std::trunc(v - 0.5)#std::trunc(v + 0.5)# @ ring subtraction rounds the wrong way
ring-count @ rings/ring_steps.cpp @ s#count\[i\] > minCount ?#count[i] >= minCount ?# @ sector average kept at exactly the minimum count
ring-smooth @ rings/ring_steps.cpp @ s#+ at(s + 1, j)) + 0.5 \* at(s, j)#+ at(s + 1, j)) + 0.25 * at(s, j)# @ sector smoothing with a wrong centre weight
ring-threshold @ rings/correction.cpp @ s#\* 290.0 / m#* 145.0 / m# @ ring threshold scale with a wrong constant
vff-size @ vff/header.cpp @ s#if (p.projWidth <= 0 || p.projHeight <= 0)#if (p.projWidth < 0 || p.projHeight < 0)# @ header size 0 accepted
vff-zorigin @ vff/header.cpp @ s#p.zOriginUser / p.zBinSize);#p.zOriginUser);# @ volume header origin ignores vertical binning
companion @ vff/reader.cpp @ s#if (companion >= p.firstFile + turn)#if (companion > p.firstFile + turn)# @ opposite view of width-truncated data one turn off at the wrap
bridge @ vff/reader.cpp @ s#last) / (bridge + 1);#last) / (bridge + 2);# @ truncated-row bridge ramps to the wrong end value
bin-double @ vff/reader.cpp @ s#for (int m = 0; m < yBin_; ++m) sum = static_cast<float>(static_cast<double>(sum) + row\[m\]);#{ double wide = sum; for (int m = 0; m < yBin_; ++m) wide += row[m]; sum = static_cast<float>(wide); }# @ binned row sums kept in double (dropped float rounding)
pattern-digits @ host/pattern.cpp @ s#return digits <= kMostDigits;#return digits < kMostDigits;# @ file pattern refuses a width of three digits
config-room @ host/config_store.cpp @ s#if (lookup.value.size() + 1 > size) return false;#if (lookup.value.size() > size) return false;# @ configuration value of exactly the buffer size accepted without its terminator
port-range @ driver/options.cpp @ s#port >= 1 \&\& port <= 65535#port >= 1 \&\& port < 65535# @ server port 65535 refused
same-file @ driver/checks.cpp @ s#if (sameFile(out, bytes))#if (false)# @ output and byte file the same file not refused
arg-length @ driver/options.cpp @ s#if (std::strlen(arg) > N - 1)#if (std::strlen(arg) > N)# @ argument one character too long accepted
phantom-ray @ tools/phantom/scan.cpp @ s#ray.oy = -g.rfan \* s;#ray.oy = g.rfan * s;# @ simulator's source on the wrong side in y
phantom-bytes @ tools/phantom/series.cpp @ s#(u >> (24 - 8 \* b))#(u >> (8 * b))# @ simulator writes float samples little-endian
view-psnr @ tools/view/volume.cpp @ s#r.psnr = 20.0 \* std::log10#r.psnr = 10.0 * std::log10# @ comparison PSNR with a wrong constant
view-fov @ tools/view/volume.cpp @ s#double radius = (a.nx - 1) / 2.0 - 1.0;#double radius = (a.nx - 1) / 2.0;# @ comparison's field-of-view cylinder one voxel too wide
view-grey @ tools/view/image.cpp @ s#std::round(255.0 \* (v - lo) / (hi - lo))#std::floor(255.0 * (v - lo) / (hi - lo))# @ preview grey levels truncated instead of rounded
LIST
)

# Calls `$1 id file edit` for every fault of the list, or of the ids given.
faults() {
  while IFS='@' read -r id file edit _; do
    id=$(echo $id) file=$(echo $file) edit=$(echo "$edit" | sed 's/^ //; s/ $//')
    case "$only" in "  " | *" $id "*) "$1" "$id" "$file" "$edit" ;; esac
  done <<< "$list"
}

# The copy is brought up to date file by file, so that a run rebuilds only what changed.
mkdir -p "$work/src"
(cd "$repo" && git ls-files -z --cached --others --exclude-standard) | while IFS= read -r -d '' f; do
  cmp -s "$repo/$f" "$work/src/$f" || { mkdir -p "$work/src/$(dirname "$f")" && cp "$repo/$f" "$work/src/$f"; }
done
cmake -S "$work/src" -B "$work/bld" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
  >"$work/cmake.log" 2>&1 || { echo "configure failed, see $work/cmake.log"; exit 1; }
stopper=""; [ "$quick" = 1 ] && stopper="--stop-on-failure"
[ -n "${PLANT_TESTS:-}" ] && stopper="$stopper -R $PLANT_TESTS"

# Rebuilds and runs the suite; prints the failing tests on one line, or SURVIVED.
suite() {
  cmake --build "$work/bld" -j2 >"$work/build.log" 2>&1 || { echo "BUILD-FAILED"; return; }
  local failed
  failed=$(cd "$work/bld" && ctest -j2 --timeout 90 $stopper 2>&1 | sed -n '/The following tests FAILED/,$p' |
             sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' | tr '\n' ' ')
  echo "${failed:-SURVIVED}"
}
plant() {
  local target="$work/src/$2"
  cp -p "$target" "$target.orig" && sed -i -e "$3" "$target"
  if cmp -s "$target" "$target.orig"; then echo "$1: NOT-APPLIED"; else echo "$1: $(suite)"; fi | tee -a "$results"
  mv "$target.orig" "$target" && touch "$target"
}
results="$work/results.txt"
echo "baseline: $(suite)" | tee "$results"
faults plant
cmake --build "$work/bld" -j2 >"$work/build.log" 2>&1
