// %d cannot show a string: the engine would write a marker in its place.
// Within the first lines they print, compilers name the argument, its
// type, and the conversion to write.
// EXPECT IN 8 LINES: ArgumentTypeMismatch(<1, const char \*>|\(const char\*\) \[with int Argument = 1. Type = const char\*\])
// EXPECT IN 8 LINES: "write %s \(or %hs\)"
// ERRORS: 1
#include "razezir/trace.h"

void Host() { QXSTD::Trace1(u"m", u"%d\n", "text"); }
