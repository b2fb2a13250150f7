// A '*' precision is an integer (of any width), not a double.
// EXPECT IN 8 LINES: StarArgumentNotInteger(<1, double>|\(const char\*\) \[with int Argument = 1. Type = double\])
// EXPECT IN 8 LINES: "a '\*' width or precision takes an integer"
#include "razezir/trace.h"

void Host(double nUnits, const char16_t* text) { QXSTD::Trace1(u"net", u"%.*s\n", nUnits, text); }
