// A '*' precision reads an int; a size_t is twice as wide on 64-bit hosts.
// EXPECT: StarArgumentNotInt(<1,[^(]*)?\(1,
// EXPECT: Expects\([^"]*"int"
// EXPECT: Conversion\([^"]*"%s"
#include <stddef.h>

#include "razezir/trace.h"

void Host(size_t nUnits, const char16_t* text) {
  QXSTD::Trace1(u"net", u"%.*s\n", nUnits, text);
}
