// Allocation counting for tests and benchmarks. Sanitizers own malloc but
// report each allocation to an installed hook; elsewhere on glibc this
// binary replaces malloc and forwards to the allocator underneath.

#include "alloc_counter.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RAZEZIR_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RAZEZIR_TEST_SANITIZED 1
#endif
#endif

namespace {

std::atomic<long> g_allocations{0};

[[maybe_unused]] void CountAllocation() { g_allocations.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

#if defined(RAZEZIR_TEST_SANITIZED)
// Declared here because g++ does not ship the sanitizer interface headers.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*onMalloc)(const volatile void*, size_t), void (*onFree)(const volatile void*));
namespace {
void OnMalloc(const volatile void*, size_t) { CountAllocation(); }
void OnFree(const volatile void*) {}
}  // namespace
bool razezir_test::StartCountingAllocations() {
  static const bool installed = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
  return installed;
}
#elif defined(__GLIBC__)
extern "C" {
void* __libc_malloc(size_t nBytes);
void* __libc_calloc(size_t count, size_t nBytes);
void* __libc_realloc(void* p, size_t nBytes);
void __libc_free(void* p);
void* malloc(size_t nBytes) noexcept {
  CountAllocation();
  return __libc_malloc(nBytes);
}
void* calloc(size_t count, size_t nBytes) noexcept {
  CountAllocation();
  return __libc_calloc(count, nBytes);
}
void* realloc(void* p, size_t nBytes) noexcept {
  CountAllocation();
  return __libc_realloc(p, nBytes);
}
void free(void* p) noexcept { __libc_free(p); }
}  // extern "C"
bool razezir_test::StartCountingAllocations() { return true; }
#else
bool razezir_test::StartCountingAllocations() { return false; }
#endif

long razezir_test::AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }
