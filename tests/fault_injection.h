// Faults injected at the system-call boundary, for the tests of failure
// behaviour. Linking fault_injection.cc into a test binary replaces write()
// and writev() for every caller in it, the library's objects included; calls
// pass straight to the kernel unless a test armed a fault for their
// file. The library itself is not changed for tests.

#ifndef RAZEZIR_TESTS_FAULT_INJECTION_H_
#define RAZEZIR_TESTS_FAULT_INJECTION_H_

#include <cstddef>
#include <string>

namespace razezir_test {

enum class WriteFault {
  kNone,
  // Every `every`-th call writes half of its bytes, and the call after it
  // (the retry of the rest) fails with ENOSPC: a disk that filled mid-line.
  kHalfThenNoSpace,
  // Every call writes at most `shortBytes` bytes.
  kShortWrites,
  // Every `every`-th call fails with EIO before writing anything.
  kEio,
  // Every `every`-th call fails with EINTR before writing anything.
  kEintr,
};

// Arms `fault` for writes to the file that `fd` has open, through any
// descriptor; replaces any earlier plan.
void ArmWriteFault(int fd, WriteFault fault, int every, size_t shortBytes = 7);
void DisarmWriteFaults();
// How many calls failed or were shortened since the plan was armed.
long InjectedWriteFaults();

// The descriptor this process has open on `path`, or -1.
int DescriptorOf(const std::string& path);

}  // namespace razezir_test

#endif  // RAZEZIR_TESTS_FAULT_INJECTION_H_
