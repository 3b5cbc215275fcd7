// Memory watching for the tests (see memory_watch.h).
#include "memory_watch.h"

#include <sys/resource.h>

#include <atomic>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
// AddressSanitizer calls hooks on every allocation; there is no header for
// them in this compiler's installation.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                           void (*free_hook)(const volatile void*));
std::atomic<size_t> largest{0};
void on_malloc(const volatile void*, size_t size) {
  size_t seen = largest.load(std::memory_order_relaxed);
  while (size > seen && !largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
}
void on_free(const volatile void*) {}
const bool kHooked = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

bool rss_is_measurable() { return !kSanitized; }

size_t largest_allocation_since_last_call() {
#if defined(__SANITIZE_ADDRESS__)
  return kHooked ? largest.exchange(0) : 0;
#else
  return 0;
#endif
}

size_t peak_rss_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return size_t(usage.ru_maxrss) * 1024;
}
