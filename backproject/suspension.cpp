// Taking up a suspended job (backproject/suspension.h).
#include "backproject/suspension.h"

#include <cstdint>
#include <cstdio>

#include "host/host.h"

namespace {

// The dump holds little-endian 32-bit words.
void littleEndianToHost(void* words, long count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  swapBytes32(words, count);
#else
  (void)words;
  (void)count;
#endif
}

}  // namespace

// A suspended job left its partly accumulated (unscaled) slab and the view to
// go on with; take both and remove the dump, so a later run of this slab
// starts afresh.
void resumeFromDump(ReconParams& p, int* view, int* fileNumber) {
  char name[1100];
  std::snprintf(name, sizeof name, "%ssuspend-dump.%d.%d", p.outDir ? p.outDir : "", p.jobId, kNodeNumber);
  int32_t next[2];
  const long voxels = static_cast<long>(p.zSize) * p.ySize * p.xSize;
  bool complete;
  {
    const OwnedFile dump = openOwned(name, "rb");
    if (!dump) return;
    complete = std::fread(next, sizeof next[0], 2, dump.get()) == 2 &&
               std::fread(p.volume, sizeof(float), voxels, dump.get()) == static_cast<size_t>(voxels);
  }
  littleEndianToHost(next, 2);
  if (!complete || next[0] < 0 || next[0] > p.nang) failRunf("Error: unusable suspension dump %s", name);
  littleEndianToHost(p.volume, voxels);
  std::remove(name);
  *view = next[0];
  *fileNumber = next[1];
}

