// libFuzzer target: see fuzz_reader in fuzz_entry.h.
#include "fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_reader(data, size);
  return 0;
}
