// An argument that no conversion reads is a conversion forgotten.
// EXPECT: ExtraArgument(<2,[^(]*)?\(2\)
#include "razezir/trace.h"

void Host() { QXSTD::Trace1(u"net", u"%d\n", 1, 2); }
