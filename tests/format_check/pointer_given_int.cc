// %p reads a pointer.
// EXPECT: ArgumentTypeMismatch(<1,[^(]*)?\(1,
// EXPECT: Expects\([^"]*"an object pointer"
// EXPECT: Conversion\([^"]*"%p"
#include "razezir/trace.h"

void Host(int handle) { QXSTD::Trace5(u"io", u"handle %p\n", handle); }
