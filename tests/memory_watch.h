// What the tests can tell of memory use. A sanitized build's resident memory
// is its shadow and quarantine as much as the program's, so there the peak is
// not compared with the ceiling; instead every allocation is watched, and the
// largest is what is compared with the allocation limit.
#pragma once

#include <cstddef>

// Whether a process's peak resident memory says what the program itself
// used (false under AddressSanitizer).
bool rss_is_measurable();

// The largest single allocation since the last call, in this process; 0
// where allocations cannot be watched (builds without AddressSanitizer).
size_t largest_allocation_since_last_call();

// This process's peak resident memory so far, in bytes.
size_t peak_rss_bytes();
