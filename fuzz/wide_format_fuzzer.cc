// Fuzz target for the wide printf engine. The input is a format of 16-bit
// little-endian units after one option byte; every argument the format asks
// for comes from fixed pools of safe values, so any crash, overrun or write
// is the engine's. A string read under a precision is a heap copy that ends
// exactly at the precision, with no terminator, so that a read past the
// precision is an overrun the sanitizer sees. Beyond surviving, each run
// checks that the output does not depend on how much caller storage there
// was, nor on whether it went out in spilled pieces from storage that may not
// grow, and, in the UTF-8 locale, that it is valid UTF-8: every argument is,
// so a precision that cut a character or a broken surrogate rule would show.
//
// Fields as wide as the engine allows cost a mebibyte of padding each and
// would starve the search, so under libFuzzer (which alone calls
// LLVMFuzzerInitialize) widths and precisions stay small: inputs with long
// digit runs are skipped and int arguments are reduced. The replay of the corpus runs them all.
//
// setlocale is process-wide, so the target switches locale only between
// inputs, never while formatting; it runs single-threaded.

#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "format/wide_format_impl.h"

namespace {

using razezir::IntArg;
using razezir::OutBuffer;

// %n and %p get a pointer to read-only memory: a store through it faults.
const int kReadOnlyTarget = 0;

constexpr int64_t kIntegers[] = {
    0,       1,  7,          42,        -42,       255,       0x8000, 65535,
    1000000, -1, 0x7FFFFFFF, INT32_MIN, INT64_MIN, INT64_MAX, 100,    -100};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
const double kDoubles[] = {0.0,   -0.0,     1.5,        -0.1,
                           1e300, 4.9e-324, 2.2e-308,   kInf,
                           -kInf, kNan,     123456.789, 1.7976931348623157e308};

constexpr long double kLongInf = std::numeric_limits<long double>::infinity();
constexpr long double kLongNan = std::numeric_limits<long double>::quiet_NaN();
const long double kLongDoubles[] = {0.0L,     -1.25L,   1e4000L, 3.6e-4951L,
                                    kLongInf, kLongNan, 0.1L};

const char* const kNarrowStrings[] = {
    "narrow", nullptr,
    "",       "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
    "%s%n%d", "a somewhat longer narrow string to cross chunk sizes"};

const char16_t kBroken[] = {u'a',   0xD800, u'b',   0xDC00,
                            0xDBFF, 0xDFFF, 0xD83D, 0};
const char16_t* const kWideStrings[] = {
    u"wide",
    nullptr,
    u"",
    u"caf\u00E9 \u20AC \U0001F600",
    kBroken,
    u"%ls%n%hs",
    u"\U0001F600\U0001F600\U0001F600\U0001F600"};

const int kNarrowChars[] = {'c', 0, '%', 0x7F, 'Z'};
const unsigned kWideChars[] = {u'w',   0,      0xE9,    0xD800,
                               0xDFFF, 0xFFFF, 0x1F600, 0x20AC};

template <typename T, size_t N>
constexpr size_t CountOf(const T (&)[N]) {
  return N;
}

bool g_boundedFields = false;

class FuzzArgs {
 public:
  explicit FuzzArgs(unsigned seed) : next_(seed) {}

  uint64_t Integer(IntArg kind) {
    uint64_t bits =
        static_cast<uint64_t>(kIntegers[next_++ % CountOf(kIntegers)]);
    if (kind != IntArg::kInt) return bits;
    // What a real va_list delivers: an int is read as 32 bits and
    // sign-extended.
    int32_t value = static_cast<int32_t>(bits);
    if (g_boundedFields) value %= 100000;
    return static_cast<uint64_t>(static_cast<int64_t>(value));
  }
  double Double() {
    readReal = true;
    return kDoubles[next_++ % CountOf(kDoubles)];
  }
  long double LongDouble() {
    readReal = true;
    return kLongDoubles[next_++ % CountOf(kLongDoubles)];
  }
  const void* Pointer() { return &kReadOnlyTarget; }
  const char* NarrowString(int precision) {
    return EndingAt(kNarrowStrings[next_++ % CountOf(kNarrowStrings)], precision,
                    &narrowCopies_);
  }
  const char16_t* WideString(int precision) {
    return EndingAt(kWideStrings[next_++ % CountOf(kWideStrings)], precision,
                    &wideCopies_);
  }
  int NarrowChar() { return kNarrowChars[next_++ % CountOf(kNarrowChars)]; }
  unsigned WideChar() { return kWideChars[next_++ % CountOf(kWideChars)]; }

  bool readReal = false;

 private:
  // `s` itself when it ends within `precision` (or there is none), else a
  // copy of its first `precision` units in a heap block of exactly that size.
  template <typename Char>
  static const Char* EndingAt(const Char* s, int precision,
                              std::vector<std::unique_ptr<Char[]>>* copies) {
    if (s == nullptr || precision < 0) return s;
    const size_t nUnits = static_cast<size_t>(precision);
    for (size_t i = 0; i < nUnits; ++i) {
      if (s[i] == 0) return s;
    }
    copies->emplace_back(new Char[nUnits]);
    std::copy(s, s + nUnits, copies->back().get());
    return copies->back().get();
  }

  unsigned next_;
  std::vector<std::unique_ptr<char[]>> narrowCopies_;
  std::vector<std::unique_ptr<char16_t[]>> wideCopies_;
};

void CollectSpill(void* context, const char* data, size_t nBytes) {
  static_cast<std::string*>(context)->append(data, nBytes);
}

bool IsValidUtf8(const char* s, size_t nBytes) {
  size_t i = 0;
  while (i < nBytes) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80                ? 1
               : b >= 0xC2 && b < 0xE0 ? 2
               : b >= 0xE0 && b < 0xF0 ? 3
               : b >= 0xF0 && b < 0xF5 ? 4
                                       : 0;
    if (n == 0 || nBytes - i < n) return false;
    uint32_t c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      unsigned char next = static_cast<unsigned char>(s[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    bool overlong = (n == 3 && c < 0x800) || (n == 4 && c < 0x10000);
    if (overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Returns whether a floating-point argument was read.
bool Format(OutBuffer* out, const char16_t* format, unsigned seed) {
  FuzzArgs args(seed);
  razezir::FormatWide(out, format, args);
  return args.readReal;
}

bool HasLongDigitRun(const std::vector<char16_t>& units) {
  size_t run = 0;
  for (char16_t unit : units) {
    run = (unit >= u'0' && unit <= u'9') ? run + 1 : 0;
    if (run > 5) return true;
  }
  return false;
}

// Inputs whose output is at most this long are formatted a second time to
// compare; huge fields are checked for survival only.
constexpr size_t kCompareBytes = 64 * 1024;
// Renderings of a real shorter than this stay in the engine's stack space.
constexpr size_t kRealStackBytes = 512;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_boundedFields = true;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool utf8 = (data[0] & 1) != 0;
  const unsigned seed = data[0] >> 1;
  static int currentLocale = -1;
  if (currentLocale != static_cast<int>(utf8)) {
    if (std::setlocale(LC_ALL, utf8 ? "C.UTF-8" : "C") == nullptr) {
      std::setlocale(LC_ALL, "C");
    }
    currentLocale = utf8;
  }

  std::vector<char16_t> units((size - 1) / 2 + 1, u'\0');
  for (size_t i = 0; i + 1 < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[1 + 2 * i] | data[2 + 2 * i] << 8);
  }
  const size_t nUnits = units.size() - 1;
  if (g_boundedFields && HasLongDigitRun(units)) return 0;

  char storage[1024];
  OutBuffer out(storage, sizeof storage);
  const bool readReal = Format(&out, units.data(), seed);

  if (!out.truncated() && out.size() <= kCompareBytes) {
    const std::string expected(out.data(), out.size());
    char tiny[3];
    OutBuffer again(tiny, sizeof tiny);
    Format(&again, units.data(), seed);
    if (std::string(again.data(), again.size()) != expected) std::abort();
    // Storage that may not grow, spilled whenever it is full: room for the
    // largest piece the engine reserves, and no more. The same text, except
    // that a real rendered longer than the engine's stack space for one is
    // '?' there, and no such text can be in a shorter output.
    char fixed[64];
    std::string spilled;
    OutBuffer pieces(fixed, sizeof fixed);
    pieces.ForbidHeap();
    pieces.SetSpill(CollectSpill, &spilled);
    Format(&pieces, units.data(), seed);
    spilled.append(pieces.data(), pieces.size());
    if (pieces.truncated()) std::abort();
    if ((!readReal || expected.size() < kRealStackBytes) && spilled != expected) {
      std::abort();
    }
    bool utf8Locale =
        utf8 && razezir::ClassifyLocale() == razezir::Charset::kUtf8;
    if (utf8Locale && !IsValidUtf8(out.data(), out.size())) std::abort();
  }

  // The same units as counted text: embedded NULs and a pair cut by the end.
  char textStorage[256];
  OutBuffer text(textStorage, sizeof textStorage);
  razezir::AppendNarrowed(&text, units.data(), nUnits);
  return 0;
}
