// libFuzzer's entry point for one harness, chosen at compile time by
// KORVAN_FUZZ_ENTRY (tests/fuzz/CMakeLists.txt builds one program each).
#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::KORVAN_FUZZ_ENTRY(data, size);
  return 0;
}
