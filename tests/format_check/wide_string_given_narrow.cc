// %s reads 16-bit units; a narrow string there prints garbage or crashes.
// EXPECT: ArgumentTypeMismatch(<1,[^(]*)?\(1,
// EXPECT: Expects\([^"]*"const char16_t\*"
// EXPECT: Conversion\([^"]*"%s"
#include "razezir/trace.h"

void Host() { QXSTD::Trace1(u"net", u"host %s\n", "example.org"); }
