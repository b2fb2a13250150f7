// A narrow format, a literal without its u or a std::string's c_str(), is
// refused in every standard, once a call, by a message that says to write
// u"...".
// EXPECT: a trace format is a 16-bit string: write u\\?"
// ERRORS: 2
#include "razezir/trace.h"

void Literal(int port) { QXSTD::Trace(3, u"net", "port %d\n", port); }
void Built(const char* message) { QXSTD::Trace4(nullptr, message); }
