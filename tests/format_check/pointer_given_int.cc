// %p shows a pointer, not an integer.
// EXPECT IN 8 LINES: ArgumentTypeMismatch(<1, int>|\(const char\*\) \[with int Argument = 1. Type = int\])
// EXPECT IN 8 LINES: "write %d \(or %u %x %o\), %c for a character"
#include "razezir/trace.h"

void Host(int handle) { QXSTD::Trace5(u"io", u"handle %p\n", handle); }
