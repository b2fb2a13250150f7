// Counts heap allocations made by the whole process, so that tests and
// benchmarks can check that a code path never reaches the heap. Link
// alloc_counter.cc into the binary: on glibc it replaces malloc, and under
// the sanitizers, which own malloc, it installs their allocation hook.

#ifndef RAZEZIR_TESTS_ALLOC_COUNTER_H_
#define RAZEZIR_TESTS_ALLOC_COUNTER_H_

#include <cstddef>

namespace razezir_test {

// Starts counting; returns false where allocations cannot be counted.
bool StartCountingAllocations();

// Allocations (malloc, calloc, realloc and operator new) counted so far.
long AllocationCount();

// Makes every allocation of at least `minBytes` fail, as when memory runs
// out, until StopFailingAllocations. Returns false where allocations cannot
// be failed (under the sanitizers, which own malloc).
bool FailAllocations(size_t minBytes);
void StopFailingAllocations();

}  // namespace razezir_test

#endif  // RAZEZIR_TESTS_ALLOC_COUNTER_H_
