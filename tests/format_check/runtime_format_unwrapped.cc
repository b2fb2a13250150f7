// A format known only at run time cannot be checked; it must say so by going
// through QXSTD::RuntimeFormat.
// EXPECT: format.+ is not a constant expression|parameter 'format' with unknown value
#include "razezir/trace.h"

void Host(const char16_t* format) { QXSTD::Trace1(u"net", format, 1); }
