// Allocation counting for tests and benchmarks. Sanitizers own malloc but
// report each allocation to an installed hook; elsewhere on glibc this
// binary replaces malloc and forwards to the allocator underneath.

#include "alloc_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RAZEZIR_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RAZEZIR_TEST_SANITIZED 1
#endif
#endif

namespace {

std::atomic<long> g_allocations{0};
// Requests of at least this many bytes fail; SIZE_MAX means none do.
std::atomic<size_t> g_failFrom{SIZE_MAX};

[[maybe_unused]] bool ShouldFail(size_t nBytes) {
  if (nBytes < g_failFrom.load(std::memory_order_relaxed)) return false;
  errno = ENOMEM;
  return true;
}

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
bool razezir_test::FailAllocations(size_t) { return false; }
void razezir_test::StopFailingAllocations() {}
#elif defined(__GLIBC__)
extern "C" {
void* __libc_malloc(size_t nBytes);
void* __libc_calloc(size_t count, size_t nBytes);
void* __libc_realloc(void* p, size_t nBytes);
void __libc_free(void* p);
void* malloc(size_t nBytes) noexcept {
  CountAllocation();
  return ShouldFail(nBytes) ? nullptr : __libc_malloc(nBytes);
}
void* calloc(size_t count, size_t nBytes) noexcept {
  CountAllocation();
  if (nBytes != 0 && count > SIZE_MAX / nBytes) return nullptr;
  return ShouldFail(count * nBytes) ? nullptr : __libc_calloc(count, nBytes);
}
void* realloc(void* p, size_t nBytes) noexcept {
  CountAllocation();
  return ShouldFail(nBytes) ? nullptr : __libc_realloc(p, nBytes);
}
void free(void* p) noexcept { __libc_free(p); }
}  // extern "C"
bool razezir_test::StartCountingAllocations() { return true; }
bool razezir_test::FailAllocations(size_t minBytes) {
  g_failFrom.store(minBytes);
  return true;
}
void razezir_test::StopFailingAllocations() { g_failFrom.store(SIZE_MAX); }
#else
bool razezir_test::StartCountingAllocations() { return false; }
bool razezir_test::FailAllocations(size_t) { return false; }
void razezir_test::StopFailingAllocations() {}
#endif

long razezir_test::AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }
