// Decimal integers as "%d" reads them (see numbers.h).
#include "util/numbers.h"

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

ScannedInt scan_int(const char* s) {
  ScannedInt result;
  while (is_space(*s)) ++s;
  const bool negative = *s == '-';
  if (*s == '+' || *s == '-') ++s;
  if (!is_digit(*s)) return result;
  constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;  // the magnitude of INT32_MIN
  int64_t magnitude = 0;
  for (; is_digit(*s); ++s) {
    // Held at the limit so that a long run of digits cannot overflow.
    magnitude = magnitude * 10 + (*s - '0');
    if (magnitude > kLimit) magnitude = kLimit + 1;
  }
  const int64_t v = negative ? -magnitude : magnitude;
  result.found = true;
  result.fits = v >= INT32_MIN && v <= INT32_MAX;
  result.value = result.fits ? static_cast<int32_t>(v) : 0;
  result.end = s;
  return result;
}
