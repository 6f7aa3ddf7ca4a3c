// The threaded SIMD back-projector against the plain reference loop, bit for bit, on small scans generated here.
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "backproject/backproject_detail.h"
#include "geometry/geometry.h"

namespace {

// A scan and a slab of it (region fields of -1: the whole grid). heldRows > 0 keeps so many detector rows, rowShift
// moves them; tightColumns ends the filtered array at the last column read; residue: one view, on a slab cancelling it.
struct Scan {
  std::string name;
  int width = 24, height = 20, xOrigin = -1, yOrigin = -1, zOrigin = -1, xSize = -1, ySize = -1, zSize = -1;
  float rfan = 96, step = 20, rowShift = 0, heldRows = 0;  // step: degrees between views
  bool half = false, reverse = false, truncated = false, tightColumns = false, residue = false;
};

// A float array that ends where an inaccessible page begins, so that a read past its end faults.
float* guardedArray(size_t count) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE)), bytes = (count * sizeof(float) + page - 1) / page * page;
  char* m = static_cast<char*>(mmap(nullptr, bytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  EXPECT_TRUE(m != MAP_FAILED && mprotect(m + bytes, page, PROT_NONE) == 0);
  return reinterpret_cast<float*>(m + bytes) - count;
}

class FastBackProjector : public ::testing::TestWithParam<Scan> {};

TEST_P(FastBackProjector, MatchesReferenceBitForBit) {
  const Scan& scan = GetParam();
  ReconParams p;
  initReconParams(p);
  p.projWidth = scan.width, p.projHeight = scan.height, p.rfanY = p.rfanZ = scan.rfan, p.angleIncrement = scan.step;
  p.axisUser = (scan.width - 1) / 2.0f - (scan.truncated ? 4.5f : 0), p.centralSliceUser = (scan.height - 1) / 2.0f;
  p.full360 = scan.half ? 0 : kOn, p.truncated = scan.truncated ? kOn : 0, p.reverseOrder = scan.reverse ? kOn : 0;
  p.xOrigin = scan.xOrigin, p.yOrigin = scan.yOrigin, p.zOrigin = scan.zOrigin, p.memoryLimit = 1 << 28, p.nChunks = 1;
  p.xSize = scan.xSize, p.ySize = scan.ySize, p.zSize = scan.zSize;
  setupGeometry(p);
  p.zprojSize = scan.heldRows > 0 ? int(scan.heldRows) : p.zprojSize, p.centralSlice += scan.rowShift;
  const size_t voxels = size_t(p.xSize) * p.ySize * p.zSize;
  std::vector<int> views = {0, p.nang / 3, 2 * p.nang / 3, p.nang - 1};
  if (scan.residue) views = {p.nang / 5};
  // The slab after `project` added every view to `start`, each with its own axis, as an offset file shifts it.
  auto backProject = [&](const std::vector<float>& start, const std::vector<float*>& filtered, auto&& project) {
    const float axis = p.axis;
    std::copy(start.begin(), start.end(), p.volume);
    for (size_t i = 0; i < views.size(); ++i) {
      p.axis = axis + 0.37f * float(i) - 0.5f;
      project(filtered[i], p, views[i]);
      EXPECT_EQ(p.axis, axis + 0.37f * float(i) - 0.5f) << "the record's axis is left as it was";
    }
    p.axis = axis;
    return std::vector<float>(p.volume, p.volume + voxels);
  };
  // The last column the reference reads: the first from the top that, NaN with all above it, turns the slab NaN.
  int columns = p.yprojSize;
  for (std::vector<float> probe(size_t(columns) * p.zprojSize); scan.tightColumns && columns > 1; --columns) {
    std::fill(probe.begin() + long(columns - 1) * p.zprojSize, probe.end(), NAN);
    const auto slab = backProject(std::vector<float>(voxels), {views.size(), probe.data()}, backProjectViewReference);
    if (std::any_of(slab.begin(), slab.end(), [](float v) { return std::isnan(v); })) break;
  }
  unsigned state = 12345;
  auto sample = [&] { return float((state = state * 1103515245u + 12345u) >> 8) / 8388608.0f - 1.0f; };
  std::vector<float> start(voxels);
  std::vector<float*> filtered;
  std::generate(start.begin(), start.end(), [&] { return scan.residue ? 0.0f : sample(); });
  for (size_t i = 0; i < views.size(); ++i) filtered.push_back(guardedArray(size_t(columns) * p.zprojSize));
  for (float* f : filtered) std::generate(f, f + long(columns) * p.zprojSize, sample);
  p.yprojSize = columns;
  if (scan.residue)
    for (float& v : start = backProject(start, filtered, backProjectViewReference)) v = -v;
  const std::vector<float> reference = backProject(start, filtered, backProjectViewReference);
  size_t moved = 0;  // voxels the views changed or, for the residue, left non-zero: none outside the held rows
  for (size_t i = 0; i < voxels; ++i) moved += reference[i] != (scan.residue ? 0.0f : start[i]);
  EXPECT_TRUE(scan.rowShift > 0 ? moved == 0 : moved > (scan.residue ? voxels / 4 : 0)) << moved << " voxels moved";
  // Every SIMD level at 1 to 3 threads in batches of 1 to 4 views, and the public entry point; no NaN may hide.
  ASSERT_TRUE(std::all_of(reference.begin(), reference.end(), [](float v) { return std::isfinite(v); }));
  auto same = [&](const std::vector<float>& s) { return std::memcmp(s.data(), reference.data(), voxels * 4) == 0; };
  for (int level = 0; level <= int(bestSimdLevel()); ++level)
    for (int batch = 1; batch <= 4; ++batch)
      for (int threads : {1, 2 + batch % 2}) {
        omp_set_num_threads(threads);
        std::vector<ViewToProject> pending;
        EXPECT_TRUE(same(backProject(start, filtered, [&](const float* f, ReconParams& q, int view) {
          pending.push_back(ViewToProject{f, view, q.axis});
          if (int(pending.size()) == batch || view == views.back())
            backProjectViewsWith(pending.data(), int(pending.size()), q, SimdLevel(level)), pending.clear();
        }))) << "SIMD level " << level << ", batches of " << batch << ", " << threads << " threads";
      }
  EXPECT_TRUE(same(backProject(start, filtered, backProjectView))) << "backProjectView";
  freeReconArrays(p);
}

std::vector<Scan> scans() {
  auto variant = [](const char* name, void (*change)(Scan&)) { Scan s{name}; change(s); return s; };
  std::vector<Scan> list = {
      variant("half_turn", [](Scan& s) { s.half = true, s.step = 7; }),
      variant("reverse_rotation", [](Scan& s) { s.reverse = true; }),
      variant("width_truncated", [](Scan& s) { s.truncated = true; }),
      Scan{"sub_region_odd_grid", 25, 19, 3, 5, 4, 15, 12, 11},  // origins x, y, z, then sizes
      // m from about 0.6 to 2.4: columns read contiguously and gathered.
      variant("strong_cone", [](Scan& s) { s.width = 48, s.height = 40, s.rfan = 40; }),
      variant("slab_partly_outside_held_rows", [](Scan& s) { s.heldRows = 9; }),
      variant("slab_wholly_outside_held_rows", [](Scan& s) { s.rowShift = 100; }),
      variant("last_column_at_array_end", [](Scan& s) { s.height = 40, s.tightColumns = true; }),
      // Over 65536 samples a view, widened to double; four views (2.4 MiB) overflow a core's cache: bands and blocks.
      Scan{"views_widened_beyond_the_cache", 600, 128, -1, 290, -1, -1, 12, -1, 2400},
      // value * w's float residue keeps 24 more bits of the double: reordered or fused operations show in most voxels.
      variant("residue", [](Scan& s) { s.residue = true; }),
      variant("residue_strong_cone", [](Scan& s) { s.residue = true, s.width = 48, s.height = 40, s.rfan = 40; }),
  };
  // Columns shorter than a vector, and every remainder of the vector width, at either end of the z range.
  for (int zSize = 1; zSize <= 9; ++zSize)
    list.push_back(Scan{"short_" + std::to_string(zSize), 24, 20, -1, -1, zSize % 2 ? 0 : 20 - zSize, -1, -1, zSize});
  return list;
}

INSTANTIATE_TEST_SUITE_P(Scans, FastBackProjector, ::testing::ValuesIn(scans()), [](auto& i) { return i.param.name; });

}  // namespace
