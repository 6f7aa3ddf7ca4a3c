// The zero-filling array allocators and the byte-order swaps shared by every
// stage.
#include <cstdlib>

#include "host/host.h"

namespace {

template <typename T>
T* allocate(long count, const char* failure) {
  if (count == 0) return nullptr;
  T* block = count > 0 ? static_cast<T*>(std::calloc(static_cast<size_t>(count), sizeof(T))) : nullptr;
  if (!block) failRun(failure);
  return block;
}

}  // namespace

float* vector(long count) { return allocate<float>(count, "allocation failure in vector()"); }
int16_t* svector(long count) { return allocate<int16_t>(count, "allocation failure in svector()"); }
uint8_t* bvector(long count) { return allocate<uint8_t>(count, "allocation failure in bvector()"); }

void swapBytes16(void* samples, long count) {
  auto* b = static_cast<unsigned char*>(samples);
  for (long i = 0; i < count; ++i, b += 2) {
    unsigned char t = b[0];
    b[0] = b[1];
    b[1] = t;
  }
}

void swapBytes32(void* samples, long count) {
  auto* b = static_cast<unsigned char*>(samples);
  for (long i = 0; i < count; ++i, b += 4) {
    unsigned char t0 = b[0], t1 = b[1];
    b[0] = b[3];
    b[1] = b[2];
    b[2] = t1;
    b[3] = t0;
  }
}
