// The second conversion has no argument.
// EXPECT IN 8 LINES: MissingArgument(<2>|\(const char\*\) \[with int Argument = 2\])
// EXPECT IN 8 LINES: "the format reads an argument the call lacks"
#include "razezir/trace.h"

void Host() { QXSTD::Trace1(u"net", u"%d %ls\n", 1); }
