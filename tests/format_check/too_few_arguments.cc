// The second conversion has no argument: it would read whatever the stack
// holds.
// EXPECT: MissingArgument(<2>\(|\(2,)
// EXPECT: Expects\([^"]*"const char16_t\*"
// EXPECT: Conversion\([^"]*"%ls"
#include "razezir/trace.h"

void Host() { QXSTD::Trace1(u"net", u"%d %ls\n", 1); }
