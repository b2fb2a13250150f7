// %hs reads bytes; a 16-bit string there is cut at its first unit.
// EXPECT: ArgumentTypeMismatch(<2,[^(]*)?\(2,
// EXPECT: Expects\([^"]*"const char\*"
// EXPECT: Conversion\([^"]*"%hs"
#include "razezir/trace.h"

void Host(const char16_t* user) {
  QXSTD::Trace2(u"net", u"%d %hs\n", 7, user);
}
