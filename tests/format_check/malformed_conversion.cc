// %y is no conversion: the engine would print it literally and read nothing,
// shifting every later argument. clang names where it is, in units from the
// format's start; g++ shows the format.
// EXPECT IN 8 LINES: MalformedConversion
// EXPECT IN 8 LINES: "this '%' begins no conversion. write %% for a percent sign"
// EXPECT: ConversionAt\((3, false|\(\(int\)offset)
#include "razezir/trace.h"

void Host() { QXSTD::Trace1(u"net", u"%d %y %d\n", 1, 2); }
