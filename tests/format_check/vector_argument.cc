// A class that is not a string is no trace argument, in every standard and
// with the format check off too, with a message that names the remedy and
// nothing of the format check before it. A container of characters is not
// a string: it need not end at a NUL, nor hold text.
// EXPECT: a trace argument must be a number, a character, a pointer or a string [^"]*pass this object's text or value
// ERRORS: 1
#if __has_include(<vector>)
#include <vector>
using Bytes = std::vector<char>;
#else
// The Windows package is checked without a C++ library: a class with
// data() and size() but no traits_type is refused the same way.
struct Bytes {
  const char* data() const;
  unsigned size() const;
};
#endif

#include "razezir/trace.h"

void Host(const Bytes& payload) { QXSTD::Trace1(u"net", u"payload %s\n", payload); }
