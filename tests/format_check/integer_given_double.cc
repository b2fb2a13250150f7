// %d cannot show a double.
// EXPECT IN 8 LINES: ArgumentTypeMismatch(<1, double>|\(const char\*\) \[with int Argument = 1. Type = double\])
// EXPECT IN 8 LINES: "write %f \(or %e %g %a\)"
#include "razezir/trace.h"

void Host(double seconds) { QXSTD::Trace(3, u"io", u"%5d s\n", seconds); }
