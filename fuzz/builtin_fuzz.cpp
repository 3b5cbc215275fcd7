// libFuzzer target: see fuzz_builtin in fuzz_entry.h.
#include "fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_builtin(data, size);
  return 0;
}
