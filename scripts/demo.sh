#!/bin/sh
# The built-in example: installs the dependencies, builds korvan, simulates
# a cone-beam series of the 3-D Shepp-Logan phantom, reconstructs it and
# writes a preview picture. Everything lands in ./out/example.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

OUT=out/example
rm -rf "$OUT"
mkdir -p "$OUT/proj"
cat > "$OUT/korvan.ini" <<INI
[SOFTWARE\\ALVERO\\ReconServer]
LogFile=$(pwd)/$OUT/korvan.log
INI
export KORVAN_CONFIG="$(pwd)/$OUT/korvan.ini"

echo "== simulating a Shepp-Logan series (128 x 128 detector, 360 views over a full turn)"
build/tools/korvan-phantom -o "$OUT/proj/p%d.vff" --width 128 --height 128 --rfan 512 \
  --axis 63.5 --central-slice 63.5 --full360 --step 1 --truth "$OUT/truth.vff"

echo "== reconstructing"
build/korvan -i "$OUT/proj/p%d.vff" -f 0 -v -z 0 -o "$OUT/recon.vff" -b "$OUT/recon-bytes.vff" \
  -w "$OUT/slice%03d.vff"

echo "== preview and comparison with the phantom"
build/tools/korvan-view preview "$OUT/recon.vff" -o "$OUT/recon.png" --window 9000 --level 4500
build/tools/korvan-view preview "$OUT/truth.vff" -o "$OUT/truth.png"
build/tools/korvan-view info "$OUT/recon.vff" | tail -5
build/tools/korvan-view nhdr "$OUT/recon.vff"
grep -A1 -h "Backproject speed" "$OUT/korvan.log" | sed -n "s/^: //p"
cat <<TXT

Done. In $OUT:
  proj/p*.vff        the simulated projections
  recon.vff          the reconstructed 16-bit volume (recon-bytes.vff: 8-bit)
  slice*.vff         one float slice per z
  recon.png          central axial, coronal and sagittal slices of the result
  truth.png          the same slices of the phantom
  korvan.log         the run's log (timing figures, voxel updates per second)
  recon.vff.nhdr     a NRRD header: open the volume in 3-D Slicer, Fiji or ParaView
TXT
