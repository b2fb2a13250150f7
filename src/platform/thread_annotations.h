// Annotations for clang's thread-safety analysis (-Wthread-safety): which
// lock guards a field, which locks a function needs, acquires or releases.
// Under clang a forgotten lock is then a compile error rather than a
// comment; other compilers see empty macros.

#ifndef RAZEZIR_SRC_PLATFORM_THREAD_ANNOTATIONS_H_
#define RAZEZIR_SRC_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define RAZEZIR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define RAZEZIR_THREAD_ANNOTATION(x)
#endif  // defined(__clang__)

// A class whose objects are locks.
#define CAPABILITY(x) RAZEZIR_THREAD_ANNOTATION(capability(x))
// A class that holds a lock for its lifetime.
#define SCOPED_CAPABILITY RAZEZIR_THREAD_ANNOTATION(scoped_lockable)
// Reading or writing the field needs the lock.
#define GUARDED_BY(x) RAZEZIR_THREAD_ANNOTATION(guarded_by(x))
// The caller must hold the locks.
#define REQUIRES(...) RAZEZIR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes, or gives up, the locks.
#define ACQUIRE(...) RAZEZIR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) RAZEZIR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function checks at run time that the lock is held, and the analysis
// may assume it from there on.
#define ASSERT_CAPABILITY(x) RAZEZIR_THREAD_ANNOTATION(assert_capability(x))
// The function returns a reference to the lock named.
#define RETURN_CAPABILITY(x) RAZEZIR_THREAD_ANNOTATION(lock_returned(x))
// The function's locking cannot be expressed to the analysis; a comment at
// the function says why.
#define NO_THREAD_SAFETY_ANALYSIS \
  RAZEZIR_THREAD_ANNOTATION(no_thread_safety_analysis)

// The analysis has no attribute for a field that is written only under a
// lock but read without it on purpose; such fields are atomics, and this
// names the lock their writers hold. Documentation only.
#define WRITES_GUARDED_BY(x)

#endif  // RAZEZIR_SRC_PLATFORM_THREAD_ANNOTATIONS_H_
