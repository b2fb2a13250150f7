// The library never stores through %n, so a format with one is wrong.
// EXPECT: PercentNNotAllowed\(
// EXPECT: Conversion\([^"]*"%n"
#include "razezir/trace.h"

void Host(int* count) { QXSTD::Trace1(u"net", u"abc%n\n", count); }
