// An argument that no conversion reads is a conversion forgotten.
// EXPECT IN 8 LINES: ExtraArgument(<2, int>|\(const char\*\) \[with int Argument = 2. Type = int\])
// EXPECT IN 8 LINES: "no conversion reads this argument"
#include "razezir/trace.h"

void Host() { QXSTD::Trace1(u"net", u"%d\n", 1, 2); }
