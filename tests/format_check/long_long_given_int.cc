// %lld reads 64 bits; an int leaves the upper half to chance and shifts
// every later argument.
// EXPECT: ArgumentTypeMismatch(<1,[^(]*)?\(1,
// EXPECT: Expects\([^"]*"long long or unsigned long long"
// EXPECT: Conversion\([^"]*"%lld"
#include "razezir/trace.h"

void Host(int bytes) { QXSTD::Trace4(u"io", u"%lld bytes\n", bytes); }
