#include "driver/params.h"

#include <cstdlib>
#include <cstring>

void initReconParams(ReconParams& p) {
  std::memset(&p, 0, sizeof p);
  p.firstFile = -1;
  p.fileIncrement = 1;
  p.xOrigin = -1;
  p.yOrigin = -1;
  p.xSize = -1;
  p.ySize = -1;
  p.zSize = -1;
  p.yBinSize = 1;
  p.zBinSize = 1;
  p.boneHU = -1;
  p.axisUser = -1.0f;
  p.centralSliceUser = -1.0f;
  p.kernelLength = -1;
  p.rfanY = -1.0f;
  p.angleIncrement = -1.0f;
  p.elementSize = -1.0f;
  p.waterValue = -1.0f;
  p.airValue = -1.0f;
  p.jobId = -1;
  p.slicesPerChunk = -1;
  p.zOrigin = -1;
}

namespace {
template <typename T>
void release(T*& array) {
  std::free(array);
  array = nullptr;
}
}  // namespace

void freeReconArrays(ReconParams& p) {
  release(p.angles);
  release(p.sinTable);
  release(p.cosTable);
  release(p.volume);
  release(p.byteSlice);
  release(p.shortSlice);
  release(p.floatSlice);
  release(p.convKernel);
  release(p.convFiltered);
  release(p.rampFilter);
  release(p.fftFiltered);
  release(p.preWeight);
  release(p.shortScanWeight);
  release(p.projection);
  release(p.rawFloat);
  release(p.rawShort);
}
