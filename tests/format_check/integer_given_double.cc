// %d reads an int; a double is passed elsewhere and its bits are lost.
// EXPECT: ArgumentTypeMismatch(<1,[^(]*)?\(1,
// EXPECT: Expects\([^"]*"int or unsigned int"
// EXPECT: Conversion\([^"]*"%d"
#include "razezir/trace.h"

void Host(double seconds) { QXSTD::Trace(3, u"io", u"%5d s\n", seconds); }
