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

#endif  // RAZEZIR_INCLUDE_RAZEZIR_EXPORT_H_
