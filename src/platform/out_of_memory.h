// Work that may run out of memory, on any floor of the library.

#ifndef RAZEZIR_SRC_PLATFORM_OUT_OF_MEMORY_H_
#define RAZEZIR_SRC_PLATFORM_OUT_OF_MEMORY_H_

namespace razezir {

// Runs `work` and returns whether it completed. Work that runs out of memory
// is abandoned and the caller carries on without it (a registration is
// skipped, a file name left unrecorded): a tracing call never throws into
// its host. Whatever `work` allocated before the failure must be owned, so
// that unwinding frees it. `work` runs within its caller's locks; a `work`
// that touches guarded fields says which locks it needs, and is checked
// against them where the template is instantiated.
template <typename Work>
bool UnlessOutOfMemory(Work&& work) noexcept {
  try {
    work();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace razezir

#endif  // RAZEZIR_SRC_PLATFORM_OUT_OF_MEMORY_H_
