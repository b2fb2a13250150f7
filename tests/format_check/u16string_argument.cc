// A string object is no trace argument: through '...' it is undefined, and
// the engine would not read it as text. It is refused in every standard,
// with the format check off too, by a message that names the remedy, and
// nothing of the format check comes before it.
// EXPECT: a trace argument must be [^"]*\.c_str\(\)
// ERRORS: 1
#if __has_include(<string>)
#include <string>
using Text = std::u16string;
#else
// The Windows package is checked without a C++ library: a class that has
// what a host reaches for is refused the same way.
struct Text {
  const char16_t* c_str() const;
};
#endif

#include "razezir/trace.h"

void Host(const Text& user) { QXSTD::Trace1(u"net", u"user %s\n", user); }
