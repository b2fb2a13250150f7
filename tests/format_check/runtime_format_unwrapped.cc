// A format known only at run time cannot be checked; it must say so by going
// through QXSTD::RuntimeFormat, and the compiler's message says as much,
// whether the format is a variable or computed in the call.
// EXPECT: FormatIsNotAConstantExpression
// EXPECT: NotAConstantExpression\([^"]*"[^"]*QXSTD::RuntimeFormat\(format\)"
// EXPECT: only a literal or a constexpr variable is checked; [^"]*QXSTD::RuntimeFormat
#include "razezir/trace.h"

struct Name {
  const char16_t* c_str() const;
};

void Host(const char16_t* format) { QXSTD::Trace1(u"net", format, 1); }
void Built(const Name& format) { QXSTD::Trace1(u"net", format.c_str(), 1); }
