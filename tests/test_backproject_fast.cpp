// The threaded SIMD back-projector against the plain reference loop: the
// slabs must agree bit for bit at every SIMD level, thread count and batch
// of views, over several accumulated views, on small scans generated here.
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "backproject/backproject_detail.h"
#include "geometry/geometry.h"

namespace {

// A float array that ends exactly where an inaccessible page begins, so a
// read past its last element ends the test with a fault.
class GuardedArray {
 public:
  explicit GuardedArray(size_t count) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t bytes = (count * sizeof(float) + page - 1) / page * page;
    length_ = bytes + page;
    base_ = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base_ == MAP_FAILED || mprotect(static_cast<char*>(base_) + bytes, page, PROT_NONE) != 0) throw std::bad_alloc();
    data_ = reinterpret_cast<float*>(static_cast<char*>(base_) + bytes) - count;
  }
  ~GuardedArray() { munmap(base_, length_); }
  GuardedArray(const GuardedArray&) = delete;
  float* data() const { return data_; }

 private:
  void* base_;
  size_t length_;
  float* data_;
};

// A scan and a slab of it. Region fields of -1 take the whole grid.
struct Scan {
  std::string name;
  int width = 24, height = 20;
  float rfan = 96;
  float step = 20;  // degrees between views
  bool full360 = true, reverse = false, truncated = false;
  float axisOffset = 0;  // axis left of the detector middle by this much
  int xOrigin = -1, yOrigin = -1, zOrigin = -1, xSize = -1, ySize = -1, zSize = -1;
  int heldRows = 0;           // when > 0, keep only this many detector rows
  float rowShift = 0;         // moves the held rows relative to the central plane
  bool tightColumns = false;  // cut the filtered array after the last column read
  double reach = 0.25;        // the views change more than this fraction of the slab
};

Scan variant(const std::string& name, void (*change)(Scan&)) {
  Scan scan{name};
  change(scan);
  return scan;
}

std::vector<Scan> scans() {
  std::vector<Scan> list = {
      Scan{"full_turn"},
      variant("half_turn", [](Scan& s) { s.full360 = false, s.step = 7; }),
      variant("reverse_rotation", [](Scan& s) { s.reverse = true; }),
      variant("width_truncated", [](Scan& s) { s.truncated = true, s.axisOffset = 4.5f; }),
      variant("sub_region_odd_grid", [](Scan& s) {
        s.width = 25, s.height = 19, s.xOrigin = 3, s.xSize = 15, s.yOrigin = 5, s.ySize = 12, s.zOrigin = 4, s.zSize = 11;
      }),
      // m from about 0.6 to 2.4: columns read contiguously and gathered.
      variant("strong_cone", [](Scan& s) { s.width = 48, s.height = 40, s.rfan = 40; }),
      variant("slab_partly_outside_held_rows", [](Scan& s) { s.heldRows = 9; }),
      variant("slab_wholly_outside_held_rows", [](Scan& s) { s.rowShift = 100; }),
      variant("last_column_at_array_end", [](Scan& s) { s.height = 40, s.tightColumns = true; }),
      // Over 65536 filtered samples per view: widened on the threads.
      variant("views_widened_on_the_threads",
              [](Scan& s) { s.width = 260, s.height = 256, s.rfan = 1000, s.yOrigin = 128, s.ySize = 2, s.step = 60; }),
      // Four views widened to double (1.2 MiB) exceed a core's second-level
      // cache: the slab is walked in several bands and blocks of columns.
      variant("views_beyond_the_cache", [](Scan& s) { s.width = 600, s.height = 64, s.rfan = 2400, s.yOrigin = 290, s.ySize = 12; }),
  };
  // Columns shorter than one vector, and every remainder of the vector width,
  // at both ends of the grid's z range.
  for (int zSize = 1; zSize <= 9; ++zSize)
    for (int zOrigin : {0, 20 - zSize}) {
      list.push_back(Scan{"short_" + std::to_string(zSize) + "_at_" + std::to_string(zOrigin)});
      list.back().zOrigin = zOrigin, list.back().zSize = zSize, list.back().reach = 0;
    }
  return list;
}

class Slab {
 public:
  explicit Slab(const Scan& scan) {
    initReconParams(p);
    p.projWidth = scan.width, p.projHeight = scan.height, p.rfanY = p.rfanZ = scan.rfan, p.angleIncrement = scan.step;
    p.axisUser = (scan.width - 1) / 2.0f - scan.axisOffset, p.centralSliceUser = (scan.height - 1) / 2.0f;
    p.full360 = scan.full360 || scan.truncated ? kOn : 0, p.truncated = scan.truncated ? kOn : 0, p.reverseOrder = scan.reverse ? kOn : 0;
    p.xOrigin = scan.xOrigin, p.yOrigin = scan.yOrigin, p.zOrigin = scan.zOrigin;
    p.xSize = scan.xSize, p.ySize = scan.ySize, p.zSize = scan.zSize, p.memoryLimit = 1 << 28, p.nChunks = 1;
    setupGeometry(p);
    if (scan.heldRows > 0) p.zprojSize = scan.heldRows;
    p.centralSlice += scan.rowShift;
    views = {0, p.nang / 3, 2 * p.nang / 3, p.nang - 1};
    // Each view with its own axis, as an offset file shifts it per view.
    for (size_t i = 0; i < views.size(); ++i) axes.push_back(p.axis + 0.37f * float(i) - 0.5f);

    std::mt19937 random(12345);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    start.resize(static_cast<size_t>(p.xSize) * p.ySize * p.zSize);
    for (float& voxel : start) voxel = sample(random);
    const int columns = scan.tightColumns ? lastColumnRead() + 1 : p.yprojSize;
    for (size_t i = 0; i < views.size(); ++i) {
      filtered.emplace_back(std::make_unique<GuardedArray>(static_cast<size_t>(columns) * p.zprojSize));
      for (long j = 0; j < long(columns) * p.zprojSize; ++j) filtered[i]->data()[j] = sample(random);
    }
    p.yprojSize = columns;
  }
  ~Slab() { freeReconArrays(p); }

  // The slab after every view has been added to the start values by
  // `project`, view by view with its axis.
  template <class Projector>
  std::vector<float> backProject(Projector&& project) {
    const float axis = p.axis;
    std::copy(start.begin(), start.end(), p.volume);
    for (size_t i = 0; i < views.size(); ++i) {
      p.axis = axes[i];
      project(filtered[i]->data(), p, views[i]);
      EXPECT_EQ(p.axis, axes[i]) << "the record's axis is left as it was";
    }
    p.axis = axis;
    return std::vector<float>(p.volume, p.volume + start.size());
  }

  // Every SIMD level at 1 to 3 threads, in batches of 1 to 4 views, and the
  // public entry point, against the reference. The reference must be finite,
  // so that equal bits cannot hide two NaNs.
  void expectEveryFlavourMatches(const std::vector<float>& reference) {
    for (size_t i = 0; i < reference.size(); ++i) ASSERT_TRUE(std::isfinite(reference[i])) << "voxel " << i;
    std::vector<SimdLevel> levels = {SimdLevel::kScalar};
    if (bestSimdLevel() >= SimdLevel::kAvx2) levels.push_back(SimdLevel::kAvx2);
    if (bestSimdLevel() >= SimdLevel::kAvx512) levels.push_back(SimdLevel::kAvx512);
    for (SimdLevel level : levels)
      for (int batch = 1; batch <= 4; ++batch)
        for (int threads : {1, 2 + batch % 2}) {
          omp_set_num_threads(threads);
          std::vector<ViewToProject> pending;
          size_t index = 0;
          const std::vector<float> batched = backProject([&](const float* f, ReconParams& q, int view) {
            pending.push_back(ViewToProject{f, view, q.axis});
            if (++index == views.size() || int(pending.size()) == batch) {
              backProjectViewsWith(pending.data(), int(pending.size()), q, level);
              pending.clear();
            }
          });
          EXPECT_EQ(firstDifference(batched, reference), -1) << "SIMD level " << int(level) << ", batches of " << batch << ", "
                                                             << threads << " threads";
        }
    EXPECT_EQ(firstDifference(backProject(backProjectView), reference), -1) << "backProjectView";
  }

  // Index of the first voxel whose bits differ, or -1.
  static long firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    for (size_t i = 0; i < a.size(); ++i)
      if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return long(i);
    return -1;
  }

  ReconParams p;
  std::vector<int> views;
  std::vector<float> axes, start;

 private:
  // The highest filtered column the reference reads in any of the views: the
  // first column from the top that turns the slab into NaN when it and all
  // above it are NaN (a read NaN spreads even with a zero weight).
  int lastColumnRead() {
    std::vector<float> probe(static_cast<size_t>(p.yprojSize) * p.zprojSize, 0.0f);
    for (int c = p.yprojSize - 1; c > 0; --c) {
      std::fill(probe.begin() + long(c) * p.zprojSize, probe.end(), NAN);
      std::fill(p.volume, p.volume + start.size(), 0.0f);
      for (int view : views) backProjectViewReference(probe.data(), p, view);
      if (std::any_of(p.volume, p.volume + start.size(), [](float v) { return std::isnan(v); })) return c;
    }
    return 0;
  }

  std::vector<std::unique_ptr<GuardedArray>> filtered;
};

class FastBackProjector : public ::testing::TestWithParam<Scan> {};

TEST_P(FastBackProjector, MatchesReferenceBitForBit) {
  Slab slab(GetParam());
  const std::vector<float> reference = slab.backProject(backProjectViewReference);
  size_t changed = 0;
  for (size_t i = 0; i < reference.size(); ++i) changed += reference[i] != slab.start[i];
  if (GetParam().rowShift > 0)
    EXPECT_EQ(changed, 0u) << "a slab outside the held rows stays as it was";
  else
    EXPECT_GT(changed, size_t(GetParam().reach * reference.size())) << "the views reach the slab";
  slab.expectEveryFlavourMatches(reference);
}

INSTANTIATE_TEST_SUITE_P(Scans, FastBackProjector, ::testing::ValuesIn(scans()),
                         [](const ::testing::TestParamInfo<Scan>& info) { return info.param.name; });

// A start slab that cancels one view's contribution leaves the float
// rounding residue of value * w, which keeps about 24 more bits of the
// double-precision sample: a change in the order or fusion of the double
// operations shows there in most voxels instead of almost never.
TEST(FastBackProjectorPrecision, MatchesReferenceInTheRoundingResidue) {
  for (Scan scan : {Scan{"full_turn"}, Scan{"strong_cone", 48, 40, 40}}) {
    SCOPED_TRACE(scan.name);
    Slab slab(scan);
    slab.views = {slab.p.nang / 5};
    std::fill(slab.start.begin(), slab.start.end(), 0.0f);
    const std::vector<float> once = slab.backProject(backProjectViewReference);
    for (size_t i = 0; i < once.size(); ++i) slab.start[i] = -once[i];
    const std::vector<float> residue = slab.backProject(backProjectViewReference);
    EXPECT_GT(std::count_if(residue.begin(), residue.end(), [](float r) { return r != 0.0f; }), long(residue.size() / 4));
    slab.expectEveryFlavourMatches(residue);
  }
}

}  // namespace
