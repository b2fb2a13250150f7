// The library never stores through %n, so a format with one is wrong.
// EXPECT IN 8 LINES: PercentNNotAllowed
// EXPECT IN 8 LINES: "the library never stores through %n: remove it"
#include "razezir/trace.h"

void Host(int* count) { QXSTD::Trace1(u"net", u"abc%n\n", count); }
