// %y is no conversion: the engine would print it literally and read nothing,
// shifting every later argument.
// EXPECT: MalformedConversion\(
#include "razezir/trace.h"

void Host() { QXSTD::Trace1(u"net", u"%d %y %d\n", 1, 2); }
