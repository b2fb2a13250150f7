// The export macro of the razezir shared library. The library is built with
// hidden visibility, so only declarations marked RAZEZIR_EXPORT leave it.

#ifndef RAZEZIR_INCLUDE_RAZEZIR_EXPORT_H_
#define RAZEZIR_INCLUDE_RAZEZIR_EXPORT_H_

#if defined(_WIN32)
#if defined(RAZEZIR_BUILDING)
#define RAZEZIR_EXPORT __declspec(dllexport)
#else
#define RAZEZIR_EXPORT __declspec(dllimport)
#endif  // defined(RAZEZIR_BUILDING)
#else
#define RAZEZIR_EXPORT __attribute__((visibility("default")))
#endif  // defined(_WIN32)

// On Windows a long double is a double, as hosts built with Microsoft's
// compiler pass it, so %L conversions read a double there; the compile-time
// format check asks for one.
#if defined(_WIN32)
#define RAZEZIR_LONG_DOUBLE_IS_DOUBLE 1
#else
#define RAZEZIR_LONG_DOUBLE_IS_DOUBLE 0
#endif  // defined(_WIN32)

#endif  // RAZEZIR_INCLUDE_RAZEZIR_EXPORT_H_
