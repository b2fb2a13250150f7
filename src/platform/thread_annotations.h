// Annotations for clang's thread-safety analysis (-Wthread-safety, and
// -Wthread-safety-beta for the lock order): which lock guards a field, which
// locks a function needs, acquires or releases, and which lock is taken
// after which. Under clang a forgotten lock, or locks taken out of order, is
// then a compile error rather than a comment; other compilers see empty
// macros. Each macro is defined only if the includer has not defined it.

#ifndef RAZEZIR_SRC_PLATFORM_THREAD_ANNOTATIONS_H_
#define RAZEZIR_SRC_PLATFORM_THREAD_ANNOTATIONS_H_

#ifndef RAZEZIR_THREAD_ANNOTATION
#if defined(__clang__)
#define RAZEZIR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define RAZEZIR_THREAD_ANNOTATION(x)
#endif  // defined(__clang__)
#endif  // RAZEZIR_THREAD_ANNOTATION

// A class whose objects are locks.
#ifndef RAZEZIR_CAPABILITY
#define RAZEZIR_CAPABILITY(x) RAZEZIR_THREAD_ANNOTATION(capability(x))
#endif
// A class that holds a lock for its lifetime.
#ifndef RAZEZIR_SCOPED_CAPABILITY
#define RAZEZIR_SCOPED_CAPABILITY RAZEZIR_THREAD_ANNOTATION(scoped_lockable)
#endif
// Reading or writing the field needs the lock.
#ifndef RAZEZIR_GUARDED_BY
#define RAZEZIR_GUARDED_BY(x) RAZEZIR_THREAD_ANNOTATION(guarded_by(x))
#endif
// The caller must hold the locks.
#ifndef RAZEZIR_REQUIRES
#define RAZEZIR_REQUIRES(...) RAZEZIR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
// The function takes, or gives up, the locks.
#ifndef RAZEZIR_ACQUIRE
#define RAZEZIR_ACQUIRE(...) RAZEZIR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RAZEZIR_RELEASE
#define RAZEZIR_RELEASE(...) RAZEZIR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif

#ifndef RAZEZIR_TRY_ACQUIRE
#define RAZEZIR_TRY_ACQUIRE(...) RAZEZIR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif
// The same for a capability held shared: beside other holders of it, never
// beside its exclusive holder.
#ifndef RAZEZIR_REQUIRES_SHARED
#define RAZEZIR_REQUIRES_SHARED(...) \
  RAZEZIR_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#endif
#ifndef RAZEZIR_ACQUIRE_SHARED
#define RAZEZIR_ACQUIRE_SHARED(...) \
  RAZEZIR_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef RAZEZIR_TRY_ACQUIRE_SHARED
#define RAZEZIR_TRY_ACQUIRE_SHARED(...) \
  RAZEZIR_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef RAZEZIR_RELEASE_SHARED
#define RAZEZIR_RELEASE_SHARED(...) \
  RAZEZIR_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#endif
// A scoped guard's release, of what it holds whether shared or exclusive.
#ifndef RAZEZIR_RELEASE_GENERIC
#define RAZEZIR_RELEASE_GENERIC(...) \
  RAZEZIR_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#endif
// The function must not be called with the named capability held.
#ifndef RAZEZIR_EXCLUDES
#define RAZEZIR_EXCLUDES(...) RAZEZIR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
// The lock is taken only while the named locks are held, or not at all
// while it is held.
#ifndef RAZEZIR_ACQUIRED_AFTER
#define RAZEZIR_ACQUIRED_AFTER(...) RAZEZIR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#endif
#ifndef RAZEZIR_ACQUIRED_BEFORE
#define RAZEZIR_ACQUIRED_BEFORE(...) RAZEZIR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#endif
// The function checks at run time that the lock is held, and the analysis
// may assume it from there on.
#ifndef RAZEZIR_ASSERT_CAPABILITY
#define RAZEZIR_ASSERT_CAPABILITY(x) RAZEZIR_THREAD_ANNOTATION(assert_capability(x))
#endif
// The function returns a reference to the lock named.
#ifndef RAZEZIR_RETURN_CAPABILITY
#define RAZEZIR_RETURN_CAPABILITY(x) RAZEZIR_THREAD_ANNOTATION(lock_returned(x))
#endif
// The function's locking cannot be expressed to the analysis; a comment at
// the function says why.
#ifndef RAZEZIR_NO_THREAD_SAFETY_ANALYSIS
#define RAZEZIR_NO_THREAD_SAFETY_ANALYSIS \
  RAZEZIR_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

#endif  // RAZEZIR_SRC_PLATFORM_THREAD_ANNOTATIONS_H_
