// The slab plan: how many z-slabs the volume is reconstructed in so that the
// voxels of one slab fit the memory limit of the host configuration.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "geometry/geometry.h"
#include "geometry/working_size.h"
#include "host/host.h"

using namespace geometry_detail;

namespace {

// A region size as setup will clip it: the rest of the grid from the origin
// (an unset origin counts as 0) when unset or larger than that.
int clippedSize(int size, int origin, int grid) {
  const int start = origin == -1 ? 0 : origin;
  return (size == -1 || size > grid - start) ? grid - start : size;
}

}  // namespace

void planSlabs(ReconParams& p) {
  p.zSizeUser = p.zSize;
  p.zOriginUser = p.zOrigin;
  if (p.zBinGiven) {
    if (p.zOrigin != -1) p.zOrigin /= p.zBinSize;
    if (p.zSize != -1) p.zSize /= p.zBinSize;
  }
  p.memoryLimit = read_memory_limit();

  // Slice and volume sizes in binned voxels. Given sizes are planned as they
  // stand; when a size is missing there is nothing to plan from, so the plan
  // is made for the region setup will derive. The slab loop gets the clipped
  // height to split.
  uint64_t xVoxels, yVoxels;
  if (p.xSize != -1 && p.ySize != -1 && p.zSize != -1) {
    xVoxels = static_cast<uint64_t>(p.xSize / p.yBinSize);
    yVoxels = static_cast<uint64_t>(p.ySize / p.yBinSize);
  } else {
    const int bin = yBinFactor(p);
    const int width = workingWidth(p);
    xVoxels = static_cast<uint64_t>(clippedSize(binnedRegion(p.xSize, bin), binnedRegion(p.xOrigin, bin), width));
    yVoxels = static_cast<uint64_t>(clippedSize(binnedRegion(p.ySize, bin), binnedRegion(p.yOrigin, bin), width));
  }
  // Setup clips the height to the grid in any case; planning slabs beyond it
  // would only add empty ones.
  p.zSize = clippedSize(p.zSize, p.zOrigin, workingHeight(p));
  // Progress reports count the slices done against zSizeUser. The run covers
  // this clipped height, in however many slabs, whether a z size was given
  // (it may reach past the detector) or not, and its reports must add up
  // to one.
  p.zSizeUser = p.zSize * zBinFactor(p);
  const uint64_t sliceBytes = xVoxels * yVoxels * 4;
  if (p.memoryLimit <= 0 || static_cast<uint64_t>(p.memoryLimit) < sliceBytes)
    failRunf("Error: memory limit of %d bytes is smaller than one slice of %llu bytes", p.memoryLimit,
             static_cast<unsigned long long>(sliceBytes));

  // An empty slice (a zero x or y size, which checkGeometry turns away) must
  // still not divide by zero.
  p.slicesPerChunk = static_cast<int>(static_cast<uint64_t>(p.memoryLimit) / std::max<uint64_t>(sliceBytes, 1));
  p.nChunks = static_cast<int>(std::ceil(double(p.zSize) / p.slicesPerChunk));
  if (p.nChunks == 0) p.nChunks = 1;

  const double volumeBytes = double(sliceBytes) * p.zSize;
  std::printf("(node/req. mem/max. mem/# chunks) = (%d/%0.2f MB/%0.2f MB/%d)\n", kNodeNumber, volumeBytes / 1048576.0,
              p.memoryLimit / 1048576.0, p.nChunks);
}
