// Reading decimal integers the way scanf's "%d" does, without its undefined
// behaviour on numbers too big for an int.
#pragma once

#include <cstdint>

struct ScannedInt {
  bool found = false;         // at least one digit was read
  bool fits = false;          // ... and the value fits in 32 signed bits
  int32_t value = 0;          // the value when it fits
  const char* end = nullptr;  // just past the last digit read
};

// Skips white space, takes an optional sign, then every digit that follows;
// whatever comes after the digits is left for the caller to judge.
ScannedInt scan_int(const char* text);
