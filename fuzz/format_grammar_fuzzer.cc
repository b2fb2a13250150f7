// Differential fuzz target: the compile-time format check against the
// engine. The input is a format of 16-bit little-endian units. The engine
// formats it with an argument source that logs the C type of every argument
// it reads; the check's walk over the same format, run here at run time,
// must read exactly as many arguments, ints for each '*', and for each value
// a conversion whose rules accept the very type the engine read. Both must
// also find the same number of malformed conversions. Any difference aborts.
//
// Built as C++20, where the check exists. Single-threaded.

#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <type_traits>
#include <vector>

#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "format/wide_format_impl.h"
#include "razezir/format_check.h"
#include "razezir/format_grammar.h"

namespace {

namespace check = QXSTD::format_check;
namespace grammar = razezir::grammar;
using razezir::IntArg;

// One argument the engine read: how the check classifies its C type, and
// whether it was read as an int (what a '*' must be).
struct Read {
  check::ArgType type;
  bool isInt;
};

template <typename T>
Read ReadOf() {
  return {check::Classify<T>(), std::is_same_v<T, int>};
}

// Hands out zeros and empty strings, so that no field is large, and logs
// what the engine asked for.
class LoggingArgs {
 public:
  uint64_t Integer(IntArg kind) {
    switch (kind) {
      case IntArg::kInt:
        reads.push_back(ReadOf<int>());
        break;
      case IntArg::kLong:
        reads.push_back(ReadOf<long>());
        break;
      case IntArg::kLongLong:
        reads.push_back(ReadOf<long long>());
        break;
      case IntArg::kIntMax:
        reads.push_back(ReadOf<intmax_t>());
        break;
      case IntArg::kSize:
        reads.push_back(ReadOf<size_t>());
        break;
      case IntArg::kPtrDiff:
        reads.push_back(ReadOf<ptrdiff_t>());
        break;
    }
    return 0;
  }
  double Double() { return Log<double>(0.0); }
  // What a %L conversion takes from the caller: a double on Windows.
  long double LongDouble() {
    if constexpr (RAZEZIR_LONG_DOUBLE_IS_DOUBLE) return Log<double>(0.0);
    return Log<long double>(0.0L);
  }
  const void* Pointer() { return Log<const void*>(nullptr); }
  const char* NarrowString(int) { return Log<const char*>(""); }
  const char16_t* WideString(int) { return Log<const char16_t*>(u""); }
  // Both character conversions read an int holding the character.
  int NarrowChar() { return Log<int>(0); }
  unsigned WideChar() { return static_cast<unsigned>(Log<int>(0)); }

  std::vector<Read> reads;

 private:
  template <typename T>
  T Log(T value) {
    reads.push_back(ReadOf<T>());
    return value;
  }
};

// Fields this wide would only spend time on padding.
constexpr int kMaxField = 100000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char16_t> units(size / 2 + 1, u'\0');
  for (size_t i = 0; i + 1 < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  }

  // The check's view: every argument the format reads, in order.
  std::vector<grammar::ArgumentWalk::Step> steps;
  std::vector<grammar::Conversion> conversions;
  int nBadChecked = 0;
  grammar::ArgumentWalk walk(units.data());
  for (;;) {
    grammar::ArgumentWalk::Step step = walk.Next();
    if (step == grammar::ArgumentWalk::kEnd) break;
    if (step == grammar::ArgumentWalk::kBadConversion) {
      ++nBadChecked;
      continue;
    }
    const grammar::Conversion& c = walk.conversion();
    if (c.width > kMaxField || c.precision > kMaxField) return 0;
    steps.push_back(step);
    conversions.push_back(c);
  }

  char storage[512];
  razezir::OutBuffer out(storage, sizeof storage);
  LoggingArgs args;
  int nBadEngine = razezir::FormatWide(&out, units.data(), args);
  if (out.truncated()) return 0;

  if (nBadEngine != nBadChecked || args.reads.size() != steps.size()) {
    std::abort();
  }
  for (size_t i = 0; i < steps.size(); ++i) {
    const Read& read = args.reads[i];
    if (steps[i] != grammar::ArgumentWalk::kValue) {
      if (!read.isInt) std::abort();
    } else if (conversions[i].state == grammar::kArgCount) {
      // Refused by the check; the engine reads and ignores a pointer.
      if (read.type.kind != check::Kind::kPointer) std::abort();
    } else if (!check::Accepts(conversions[i].state, read.type)) {
      std::abort();
    }
  }
  return 0;
}
