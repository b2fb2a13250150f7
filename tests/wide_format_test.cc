// Tests for the wide printf engine: integers and floating point against the C
// runtime's own printf, the home platform's string and character
// conventions, narrowing to UTF-8, ASCII, a single-byte locale and Windows
// code pages (one encoding a call while another thread switches the
// locale), hostile formats, huge fields, and the promise not to allocate for
// ordinary lines.
// Tests that change the locale rely on each test running in its own process.

#include "format/wide_format.h"

#include <stdlib.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // keep std::min and std::max usable
#endif
#include <windows.h>
#endif  // _WIN32

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "alloc_counter.h"
#include "format/wide_format_impl.h"
#include "gtest/gtest.h"
#include "test_util.h"

namespace razezir {
namespace {

// Shows a format in a failure message: ASCII as is, anything else escaped.
std::string Printable(const char16_t* s) {
  std::string text;
  for (; *s != u'\0'; ++s) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04X",
                  static_cast<unsigned>(*s));
    text += (*s >= 0x20 && *s < 0x7F) ? std::string(1, static_cast<char>(*s))
                                      : escaped;
  }
  return text;
}

bool UseLocale(const char* name) {
  return std::setlocale(LC_ALL, name) != nullptr;
}

// Formats through the va_list front end into the caller's buffer.
void FormatInto(OutBuffer* out, const char16_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  Narrowing narrowing;
  FormatWideV(out, format, ap, &narrowing);
  va_end(ap);
}

// The same into a small stack buffer, so that longer results also cross
// into the heap.
template <typename... T>
std::string WFormat(const char16_t* format, T... args) {
  char storage[128];
  OutBuffer out(storage, sizeof storage);
  FormatInto(&out, format, args...);
  return std::string(out.data(), out.size());
}

template <typename... T>
std::string FormatOf(const char16_t* format, T...) {
  return Printable(format);
}

#define EXPECT_WPRINTF(expected, ...)                    \
  EXPECT_EQ(std::string(expected), WFormat(__VA_ARGS__)) \
      << "format: " << FormatOf(__VA_ARGS__)

// What the C runtime's narrow printf makes of the same conversion.
template <typename... T>
std::string RuntimePrintf(const std::string& format, T... args) {
  int nBytes = std::snprintf(nullptr, 0, format.c_str(), args...);
  if (nBytes < 0) return "<printf failed>";
  std::string text(static_cast<size_t>(nBytes) + 1, '\0');
  std::snprintf(&text[0], text.size(), format.c_str(), args...);
  text.resize(static_cast<size_t>(nBytes));
  return text;
}

// `wideFormat` and `narrowFormat` differ at most in the length modifier, where
// the home platform has spellings of its own. `stars` feed '*'s in order.
template <typename T>
void ExpectLikeRuntime(const std::string& wideFormat,
                       const std::string& narrowFormat,
                       const std::vector<int>& stars, T value) {
  std::u16string wide(wideFormat.begin(), wideFormat.end());
  if (stars.empty()) {
    EXPECT_WPRINTF(RuntimePrintf(narrowFormat, value), wide.c_str(), value);
  } else if (stars.size() == 1) {
    EXPECT_WPRINTF(RuntimePrintf(narrowFormat, stars[0], value), wide.c_str(),
                   stars[0], value);
  } else {
    EXPECT_WPRINTF(RuntimePrintf(narrowFormat, stars[0], stars[1], value),
                   wide.c_str(), stars[0], stars[1], value);
  }
}

// Flags, width and precision of a conversion, with the values of its '*'s.
struct FieldPrefix {
  std::string text;
  std::vector<int> stars;
};

FieldPrefix RandomPrefix(std::mt19937_64& rng, int maxPrecision) {
  FieldPrefix prefix;
  for (int nFlags = static_cast<int>(rng() % 4); nFlags > 0; --nFlags) {
    prefix.text += "-+ #0"[rng() % 5];
  }
  switch (rng() % 3) {
    case 0:
      prefix.text += std::to_string(rng() % 30);
      break;
    case 1:
      prefix.text += '*';
      prefix.stars.push_back(static_cast<int>(rng() % 61) - 30);
      break;
  }
  switch (rng() % 4) {
    case 0:
      prefix.text += '.';
      break;
    case 1:
      prefix.text += '.' + std::to_string(rng() % (maxPrecision + 1));
      break;
    case 2:
      prefix.text += ".*";
      prefix.stars.push_back(static_cast<int>(rng() % (maxPrecision + 8)) - 6);
      break;
  }
  return prefix;
}

constexpr int64_t kEdgeIntegers[] = {
    0,       1,       7,        -1,        127,       128,       255,
    256,     32767,   32768,    65535,     65536,     -129,      -32769,
    INT_MAX, INT_MIN, UINT_MAX, LLONG_MAX, LLONG_MIN, 1000000007};

// Every integer conversion with one length modifier, passing T as the
// caller would: fixed flag sets over the edge values, then random conversions.
template <typename T>
void ExpectIntegersLikeRuntime(const char* wideModifier,
                               const char* narrowModifier,
                               std::mt19937_64& rng) {
  const char* const kPrefixes[] = {"",    "+",   " ",    "#",     ".0",
                                   "#.0", "+.0", " .0",  "08",    "-8",
                                   "+08", "#08", "08.3", "-#12.5"};
  for (char conversion : std::string("diouxX")) {
    std::string wide = std::string(wideModifier) + conversion;
    std::string narrow = std::string(narrowModifier) + conversion;
    for (const char* prefix : kPrefixes) {
      for (int64_t bits : kEdgeIntegers) {
        // Appending rather than "%" + (...): gcc 12 in C++20 reports a
        // bogus -Wrestrict overlap for operator+(const char*, string&&)
        // (gcc bug 105329).
        ExpectLikeRuntime(std::string("%").append(prefix).append(wide),
                          std::string("%").append(prefix).append(narrow), {},
                          static_cast<T>(bits));
      }
    }
    for (int i = 0; i < 100; ++i) {
      // Edge values, and random ones of every magnitude.
      uint64_t bits = rng() % 2
                          ? static_cast<uint64_t>(
                                kEdgeIntegers[rng() % std::size(kEdgeIntegers)])
                          : rng() >> (rng() % 64);
      FieldPrefix prefix = RandomPrefix(rng, 25);
      ExpectLikeRuntime("%" + prefix.text + wide, "%" + prefix.text + narrow,
                        prefix.stars, static_cast<T>(bits));
    }
  }
}

TEST(WideFormatIntegers, EveryModifierMatchesRuntime) {
#ifdef _WIN32
  GTEST_SKIP() << "mingw-w64's printf, the reference here, applies ' ' and '+' "
                  "to unsigned conversions and prints nothing for %#.0o of 0";
#endif  // _WIN32
  std::mt19937_64 rng(20240611);
  ExpectIntegersLikeRuntime<int>("", "", rng);
  ExpectIntegersLikeRuntime<int>("hh", "hh", rng);
  ExpectIntegersLikeRuntime<int>("h", "h", rng);
  ExpectIntegersLikeRuntime<int>("I32", "", rng);
  ExpectIntegersLikeRuntime<long>("l", "l", rng);
  ExpectIntegersLikeRuntime<long long>("ll", "ll", rng);
  ExpectIntegersLikeRuntime<long long>("I64", "ll", rng);
  ExpectIntegersLikeRuntime<intmax_t>("j", "j", rng);
  ExpectIntegersLikeRuntime<size_t>("z", "z", rng);
  ExpectIntegersLikeRuntime<size_t>("I", "z", rng);
  ExpectIntegersLikeRuntime<ptrdiff_t>("t", "t", rng);
}

template <typename T>
void ExpectRealsLikeRuntime(const char* modifier, std::vector<T> values,
                            int nCases, std::mt19937_64& rng) {
  values.insert(
      values.end(),
      {T(0.0), -T(0.0), T(1), T(0.1), T(-2.5), T(0.125), T(9.999999), T(99.5),
       T(1e15), T(1e-5), T(123456.789), std::numeric_limits<T>::max(),
       std::numeric_limits<T>::min(), std::numeric_limits<T>::denorm_min(),
       std::numeric_limits<T>::infinity(), -std::numeric_limits<T>::infinity(),
       std::numeric_limits<T>::quiet_NaN(),
       -std::numeric_limits<T>::quiet_NaN()});
  for (int i = 0; i < nCases; ++i) {
    FieldPrefix prefix = RandomPrefix(rng, 40);
    char conversion = "eEfFgGaA"[rng() % 8];
    T value = values[rng() % values.size()];
    if (std::fabs(value) > T(1e60) &&
        (conversion == 'f' || conversion == 'F')) {
      value = std::isinf(value) ? value : T(-1234.5678);  // keep %f lines short
    }
    std::string format = "%" + prefix.text + modifier + conversion;
    ExpectLikeRuntime(format, format, prefix.stars, value);
  }
}

// Doubles from random bits cover every exponent, denormals, NaN payloads
// and both signs; long doubles span the exponents only they have.
TEST(WideFormatReals, RandomConversionsMatchRuntime) {
#ifdef _WIN32
  GTEST_SKIP() << "mingw-w64's printf, the reference here, pads %a with zeros "
                  "under '-' and reads %L as an 80-bit long double";
#endif  // _WIN32
  std::mt19937_64 rng(77);
  std::vector<double> doubles;
  for (int i = 0; i < 40; ++i) {
    uint64_t bits = rng();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    doubles.push_back(value);
  }
  // Magnitudes that %f renders by integer arithmetic: halves of a last
  // digit (ties, which go to the even digit), and values near the largest
  // it takes (2^64 units of the last digit) and the smallest.
  for (int i = 0; i < 20; ++i) {
    doubles.push_back(std::ldexp(static_cast<double>(rng() % 4096) + 0.5, -static_cast<int>(rng() % 12)));
    doubles.push_back(std::ldexp(1.0, 64) / std::pow(10.0, static_cast<double>(rng() % 10)) *
                      (1 - std::ldexp(1.0, -static_cast<int>(rng() % 20))));
    doubles.push_back(std::ldexp(static_cast<double>(rng() % 1000), -static_cast<int>(rng() % 80)));
  }
  ExpectRealsLikeRuntime("", doubles, 6000, rng);
  ExpectRealsLikeRuntime("l", doubles, 500, rng);
  // Where the locale's decimal point is not '.', which %f puts in itself.
  if (std::setlocale(LC_NUMERIC, "ru_RU.UTF-8") != nullptr) {
    ExpectRealsLikeRuntime("", doubles, 1000, rng);
    std::setlocale(LC_NUMERIC, "C");
  }
  std::vector<long double> longs = {1e4000L, 1e-4000L, LDBL_EPSILON};
  for (int i = 0; i < 40; ++i) {
    longs.push_back(
        std::ldexp(static_cast<long double>(rng() % 20001) / 1000 - 10,
                   static_cast<int>(rng() % 400) - 200));
  }
  ExpectRealsLikeRuntime("L", longs, 2000, rng);
}

// Past every exact digit of the type the engine stops asking the runtime
// for more and supplies the zeros itself, before any exponent.
TEST(WideFormatReals, HugePrecisionsMatchRuntime) {
  const char* const kFormats[] = {"%.1089",     "%.1090", "%.1091",
                                  "%#.1200",    "%.3000", "%+#01500.1400",
                                  "%-1600.1500"};
  const double kValues[] = {
      1.0,     -0.1,     DBL_TRUE_MIN,
      DBL_MAX, 2.5e-300, std::numeric_limits<double>::infinity()};
  for (const char* format : kFormats) {
    for (char conversion : std::string("eEfgGaA")) {
      for (double value : kValues) {
        ExpectLikeRuntime(format + std::string(1, conversion),
                          format + std::string(1, conversion), {}, value);
      }
    }
  }
#ifndef _WIN32  // Windows passes %L arguments as doubles.
  for (const char* format : {"%.16460L", "%#.16462L", "%.17000L"}) {
    for (char conversion : std::string("efgA")) {
      for (long double value : {1.0L, LDBL_TRUE_MIN, -LDBL_MAX}) {
        ExpectLikeRuntime(format + std::string(1, conversion),
                          format + std::string(1, conversion), {}, value);
      }
    }
  }
#endif  // _WIN32
}

// Logs what the engine asked its argument source for, in order.
class RecordingArgs {
 public:
  uint64_t Integer(IntArg kind) {
    const char* const kNames[] = {"int",    "long", "llong",
                                  "intmax", "size", "ptrdiff"};
    return Record(kNames[static_cast<int>(kind)], uint64_t{7});
  }
  double Double() { return Record("double", 0.5); }
  long double LongDouble() { return Record("ldouble", 0.25L); }
  const void* Pointer() { return Record("pointer", nullptr); }
  const char* NarrowString(int) { return Record("nstr", "n"); }
  const char16_t* WideString(int) { return Record("wstr", u"w"); }
  int NarrowChar() { return Record("nchar", 'c'); }
  unsigned WideChar() { return Record("wchar", unsigned{u'W'}); }

  std::string log;

 private:
  template <typename T>
  T Record(const char* what, T value) {
    if (!log.empty()) log += ' ';
    log += what;
    return value;
  }
};

TEST(WideFormatArguments, EachConversionReadsWhatItsPlatformPasses) {
  struct Case {
    const char16_t* format;
    const char* reads;
    std::string text;
  } const kCases[] = {
      {u"%d %i %u %o %x %X", "int int int int int int", "7 7 7 7 7 7"},
      {u"%hhd %hu %I32x", "int int int", "7 7 7"},
      {u"%ld %lu", "long long", "7 7"},
      {u"%lld %I64u %I64X", "llong llong llong", "7 7 7"},
      {u"%jd %zu %Id %Iu %td", "intmax size size size ptrdiff", "7 7 7 7 7"},
      {u"%*.*d|%-*d|", "int int int int int", "0000007|7      |"},
      {u"%f %lf %Lf", "double double ldouble", "0.500000 0.500000 0.250000"},
      {u"%s %ls %ws %lS %wS", "wstr wstr wstr wstr wstr", "w w w w w"},
      {u"%S %hs %hS", "nstr nstr nstr", "n n n"},
      {u"%c %lc %wc %lC %wC", "wchar wchar wchar wchar wchar", "W W W W W"},
      {u"%C %hc %hC", "nchar nchar nchar", "c c c"},
      {u"%p", "pointer", std::string(2 * sizeof(void*), '0')},
      // %n under every modifier reads its pointer and prints nothing.
      {u"[%n%hhn%hn%ln%lln%jn%zn%tn%In%I32n%I64n%Ln%wn]",
       "pointer pointer pointer pointer pointer pointer pointer pointer "
       "pointer pointer pointer pointer pointer",
       "[]"},
      // Malformed conversions read nothing, not even their '*'s.
      {u"%% %5% %Q %*Q %.*y %I3d %I6x %hhs %Lx %lls %Z", "",
       "% % %Q %*Q %.*y %I3d %I6x %hhs %Lx %lls %Z"},
  };
  for (const Case& c : kCases) {
    RecordingArgs args;
    char storage[256];
    OutBuffer out(storage, sizeof storage);
    FormatWide(&out, c.format, args);
    EXPECT_EQ(c.reads, args.log) << "format: " << Printable(c.format);
    EXPECT_EQ(c.text, std::string(out.data(), out.size()))
        << "format: " << Printable(c.format);
  }
}

// A bare conversion ("%d") is parsed by a short path of its own; a width of
// 1 changes none of these fields' text but sends the same letter through the
// full parse of flags, width, precision and modifier. The two must agree on
// every unit that can follow the '%'.
TEST(WideFormatArguments, BareConversionParsesAsWithAWidth) {
  std::vector<char16_t> units;
  for (char16_t unit = 1; unit < 0x80; ++unit) units.push_back(unit);
  for (char16_t unit : {0x00E9, 0x0100, 0x2030, 0xD800, 0xFF25}) units.push_back(unit);
  for (char16_t unit : units) {
    if (unit >= u'0' && unit <= u'9') continue;  // would join the width
    const std::u16string bare = std::u16string(u"%") + unit + u"|";
    const std::u16string wide = std::u16string(u"%1") + unit + u"|";
    RecordingArgs bareArgs, wideArgs;
    char bareStorage[64], wideStorage[64];
    OutBuffer bareOut(bareStorage, sizeof bareStorage);
    OutBuffer wideOut(wideStorage, sizeof wideStorage);
    const int bareMalformed = FormatWide(&bareOut, bare.c_str(), bareArgs);
    const int wideMalformed = FormatWide(&wideOut, wide.c_str(), wideArgs);
    EXPECT_EQ(wideArgs.log, bareArgs.log) << "unit " << int{unit};
    EXPECT_EQ(wideMalformed, bareMalformed) << "unit " << int{unit};
    if (bareMalformed == 0) {
      EXPECT_EQ(std::string(wideOut.data(), wideOut.size()),
                std::string(bareOut.data(), bareOut.size()))
          << "unit " << int{unit};
    }
  }
}

TEST(WideFormatStrings, HomePlatformWidthsAndPadding) {
  const char16_t* wide = u"wide";
  const char* narrow = "narrow";
  EXPECT_WPRINTF("wide|wide|wide|wide", u"%s|%ls|%ws|%lS", wide, wide, wide,
                 wide);
  EXPECT_WPRINTF("narrow|narrow|narrow", u"%S|%hs|%hS", narrow, narrow, narrow);
  EXPECT_WPRINTF("x|y|z|q", u"%c|%C|%hc|%lc", u'x', 'y', 'z', u'q');
  EXPECT_WPRINTF(std::string("a\0b", 3), u"a%cb", 0);
  EXPECT_WPRINTF("    net| 00000A3C|007|7  |", u" %6ls| %08X|%03d|%-3d|",
                 u"net", 0xA3C, 7, 7);
  EXPECT_WPRINTF("net   |ne|netw", u"%-6s|%.2ls|%.4s", u"net", u"network",
                 u"network");
  EXPECT_WPRINTF("   ab|ab   |abc|abcdef", u"%*ls|%*ls|%.*ls|%.*ls", 5, u"ab",
                 -5, u"ab", 3, u"abcdef", -1, u"abcdef");
  EXPECT_WPRINTF("  nar|narro|na   |", u"%5.3hs|%.5hs|%-5.2hs|", narrow, narrow,
                 narrow);
  EXPECT_WPRINTF("    x|y    |   ab", u"%5c|%-5C|%05s", u'x', 'y', u"ab");
  const char16_t* nullWide = nullptr;
  const char* nullNarrow = nullptr;
  EXPECT_WPRINTF("(null)|  (null)|(nu|(null)  |", u"%s|%8ls|%.3S|%-8hs|",
                 nullWide, nullWide, nullNarrow, nullNarrow);
}

TEST(WideFormatPointers, UpperCaseHexAtFullWidth) {
  const int kDigits = 2 * sizeof(void*);
  const void* p = reinterpret_cast<const void*>(uintptr_t{0xabc});
  std::string abc = std::string(kDigits - 3, '0') + "ABC";
  EXPECT_WPRINTF(std::string(kDigits, '0'), u"%p", static_cast<void*>(nullptr));
  EXPECT_WPRINTF("    " + abc + "|" + abc + "    |" + abc, u"%*p|%-*p|%#.3p",
                 kDigits + 4, p, kDigits + 4, p, p);
}

TEST(WideFormatHostile, CountStoresNothingAndKeepsArgumentsInStep) {
  int sentinel = 12345;
  long long wideSentinel = 67890;
  EXPECT_WPRINTF("ab9[]", u"a%nb%lln%d[%-20n]", &sentinel, &wideSentinel, 9,
                 &sentinel);
  EXPECT_EQ(12345, sentinel);
  EXPECT_EQ(67890, wideSentinel);
}

TEST(WideFormatHostile, MalformedAndIncompleteConversionsAreLiteral) {
  ASSERT_TRUE(UseLocale("C"));
  EXPECT_WPRINTF("%Q 5|%-*.*Q|5", u"%Q %d|%-*.*Q|%d", 5, 5);
  EXPECT_WPRINTF("%1$d 5|%I3d%I64 5", u"%1$d %d|%I3d%I64 %d", 5, 5);
#ifdef _WIN32
  // The C locale of the Windows runtime writes U+0080..U+00FF as one byte.
  EXPECT_WPRINTF("%\xE9x", u"%\u00E9x");
#else
  EXPECT_WPRINTF("%?x", u"%\u00E9x");
#endif  // _WIN32
  EXPECT_WPRINTF("100%", u"100%");
  EXPECT_WPRINTF("7 %-08.", u"%d %-08.", 7);
  EXPECT_WPRINTF("%l|%I6", u"%l|%I6");
  EXPECT_WPRINTF("%*", u"%*", 3);
  // Digits beyond INT_MAX make the conversion malformed; it reads nothing.
  EXPECT_WPRINTF("%99999999999999999999d|7", u"%99999999999999999999d|%d", 7);
  EXPECT_WPRINTF("%.2147483648d|%2147483648s|7",
                 u"%.2147483648d|%2147483648s|%d", 7);

  Field field{};
  field.SetWidthFromArg(INT_MIN);
  EXPECT_EQ(INT_MAX, field.width);
  EXPECT_NE(0, field.flags & kFlagLeft);
  field.SetPrecisionFromArg(INT_MIN);
  EXPECT_GT(0, field.precision);
}

// A width or a numeric precision pads a field whole, up to 1 MiB of
// padding or zeros and no further; text is never cut by it, nor is a
// string's precision bounded by it.
TEST(WideFormatHuge, FieldsArePaddedWholeUpToTheBound) {
  const size_t kBound = size_t{1} << 20;
  const std::string text(kBound + 5000, 'q');
  // `head`, then `n` times `fill`, then `tail`. (Built by appending: g++ 12
  // warns wrongly of overlapping copies in "text" + std::string in C++20.)
  auto padded = [](const char* head, size_t n, char fill, const char* tail) {
    std::string line(head);
    line.append(n, fill);
    return line.append(tail);
  };
  const std::pair<std::string, std::string> kCases[] = {
      {WFormat(u"%99999d", 42), padded("", 99997, ' ', "42")},
      {WFormat(u"%-99999d|", -42), padded("-42", 99996, ' ', "|")},
      {WFormat(u"%.99999x", 0xAB), padded("", 99997, '0', "ab")},
      {WFormat(u"%99999ls|", u"tail"), padded("", 99995, ' ', "tail|")},
      {WFormat(u"%.99999f", 1.5), RuntimePrintf("%.99999f", 1.5)},
#ifndef _WIN32  // Windows passes %L arguments as doubles.
      {WFormat(u"%.99999Le", 1.5L), RuntimePrintf("%.99999Le", 1.5L)},
#endif  // _WIN32
      {WFormat(u"%2147483647d|", 7), padded("", kBound - 1, ' ', "7|")},
      {WFormat(u"%*d|", INT_MIN, -7), padded("-7", kBound - 2, ' ', "|")},
      {WFormat(u"%.2147483647x|", 0xAB), padded("", kBound - 2, '0', "ab|")},
      {WFormat(u"%3000000.3000000d|", -42), padded("-", kBound - 2, '0', "42|")},
      {WFormat(u"%-2000000s|", u"x"), padded("x", kBound - 1, ' ', "|")},
      {WFormat(u"%.999999999f|", 1.5), padded("1.5", kBound - 1, '0', "|")},
      {WFormat(u"%99999999f|", HUGE_VAL), padded("", kBound - 3, ' ', "inf|")},
      {WFormat(u"%2000000hs|", text.c_str()), text + "|"},
      {WFormat(u"%.1048586hs|", text.c_str()), text.substr(0, kBound + 10) + "|"},
  };
  for (size_t i = 0; i < std::size(kCases); ++i) {
    EXPECT_TRUE(kCases[i].first == kCases[i].second) << "case " << i;
  }
}

TEST(WideFormatHuge, FixedStorageTruncatesAndStops) {
  char storage[64];
  OutBuffer out(storage, sizeof storage);
  out.ForbidHeap();
  RecordingArgs args;
  FormatWide(&out, u"%100d%d%s", args);
  EXPECT_TRUE(out.truncated());
  EXPECT_EQ(storage, out.data());
  EXPECT_EQ(std::string(sizeof storage, ' '), std::string(out.data(), out.size()));
  EXPECT_EQ("int", args.log);  // nothing after the loss is worked on
}

// Text that ends exactly where the caller's storage does stays in it: no
// room is asked for beyond the last byte, which would move a line that fits
// to the heap, or drop it from storage that may not grow.
TEST(WideFormatHuge, TextFillingTheStorageExactlyStaysInIt) {
  const std::u16string literal(40, u'a');
  const std::u16string argument(40, u'b');
  struct Case {
    std::u16string format;
    const char16_t* argument;
  } const kCases[] = {
      {literal, nullptr},
      {u"%s", argument.c_str()},
      {literal.substr(0, 20) + u"%%" + literal.substr(0, 19), nullptr},
      {literal.substr(0, 30) + u"%s", argument.c_str() + 30},
  };
  for (const Case& c : kCases) {
    char storage[40];
    OutBuffer out(storage, sizeof storage);
    FormatInto(&out, c.format.c_str(), c.argument);
    EXPECT_EQ(storage, out.data()) << Printable(c.format.c_str());
    EXPECT_EQ(sizeof storage, out.size()) << Printable(c.format.c_str());
    EXPECT_FALSE(out.truncated());
  }
  // A number that ends the storage, in storage that may not grow: it needs
  // room for its own digits only.
  for (const char16_t* format : {u"%d", u"%.8X", u"%#x", u"%+05d"}) {
    char fixed[40];
    const std::string text = WFormat(format, 12345);
    const std::u16string padding(sizeof fixed - text.size(), u'-');
    OutBuffer out(fixed, sizeof fixed);
    out.ForbidHeap();
    FormatInto(&out, (padding + format).c_str(), 12345);
    EXPECT_FALSE(out.truncated()) << Printable(format);
    EXPECT_EQ(std::string(padding.begin(), padding.end()) + text,
              std::string(out.data(), out.size()));
  }
  char storage[40];
  OutBuffer out(storage, sizeof storage);
  AppendNarrowed(&out, literal.c_str(), literal.size());
  EXPECT_EQ(storage, out.data());
  EXPECT_EQ(std::string(40, 'a'), std::string(out.data(), out.size()));
}

void CollectSpill(void* context, const char* data, size_t nBytes) {
  static_cast<std::string*>(context)->append(data, nBytes);
}

// Storage that may not grow delivers, with a spill target, the same bytes
// as a buffer that grows, in pieces and with no piece cut; without one, a
// front of them. The commonest pieces are written straight into the
// buffer's room, and the general path takes over where the room runs out
// (inside a literal run, a 16-bit or a narrow string, a long field) and
// where a string turns to text beyond ASCII: the text is the same however
// the room comes, and the first line keeps all that fits of it.
TEST(WideFormatHuge, FixedStorageDeliversTheSameTextHoweverTheRoomComes) {
  if (!UseLocale("C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
  const std::u16string format =
      std::u16string(70, u'a') + u"%s|%hs|%d|%.3f|%%|" + std::u16string(70, u'b') + u"\n";
  const std::u16string wide = std::u16string(60, u'c') + u"\u00E9" + std::u16string(10, u'd');
  const std::string narrow(150, 'n');
  EXPECT_EQ(WFormat(format.c_str(), wide.c_str(), narrow.c_str(), 42, 2.5),
            std::string(70, 'a') + std::string(60, 'c') + "\xC3\xA9" + std::string(10, 'd') +
                "|" + narrow + "|42|2.500|%|" + std::string(70, 'b') + "\n");
  std::u16string mixed;
  for (int i = 0; i < 300; ++i) mixed += u"caf\u00E9 \u20AC \U0001F600!";
  const std::function<void(OutBuffer*)> lines[] = {
      [&](OutBuffer* out) {
        FormatInto(out, format.c_str(), wide.c_str(), narrow.c_str(), 42, 2.5);
      },
      [&](OutBuffer* out) {
        FormatInto(out, u"%-40ls|%s|%5000d|%.3f|%hs|%.4000x\n", u"module", mixed.c_str(), 42,
                   2.5, "narrow", 0xAB);
      },
  };
  for (const auto& line : lines) {
    const bool first = &line == &lines[0];
    OutBuffer growing(nullptr, 0);
    line(&growing);
    const std::string expected(growing.data(), growing.size());
    for (size_t nBytes : {64, 70, 100, 131, 200}) {
      std::vector<char> storage(nBytes);
      std::string spilled;
      OutBuffer spilling(storage.data(), nBytes);
      spilling.ForbidHeap();
      spilling.SetSpill(CollectSpill, &spilled);
      line(&spilling);
      EXPECT_FALSE(spilling.truncated()) << nBytes;
      EXPECT_EQ(storage.data(), spilling.data()) << nBytes;
      spilled.append(spilling.data(), spilling.size());
      EXPECT_TRUE(spilled == expected) << nBytes;
      OutBuffer fixed(storage.data(), nBytes);
      fixed.ForbidHeap();
      line(&fixed);
      // A character that does not fit whole is left out, with nothing after.
      size_t kept = first ? nBytes : fixed.size();
      while (first && (expected[kept] & 0xC0) == 0x80) --kept;
      EXPECT_EQ(std::string(fixed.data(), fixed.size()), expected.substr(0, kept)) << nBytes;
      EXPECT_TRUE(fixed.truncated());
    }
  }
}

// A real whose rendering needs the heap, when the heap cannot be had, is
// written '?' and the rest of the line, its end above all, is kept.
TEST(WideFormatReals, LongRealWithoutHeapIsAQuestionMark) {
  char storage[256];
  std::string spilled;
  OutBuffer fixed(storage, sizeof storage);
  fixed.ForbidHeap();
  fixed.SetSpill(CollectSpill, &spilled);
  FormatInto(&fixed, u"<%.600f|%-3.2f|%5.700e>\n", 1.5, 2.0, 1.0);
  spilled.append(fixed.data(), fixed.size());
  EXPECT_EQ("<?|2.00|    ?>\n", spilled);

  if (!razezir_test::FailAllocations(600)) GTEST_SKIP() << "malloc is not ours here";
  char small[32];
  OutBuffer out(small, sizeof small);
  FormatInto(&out, u"<%.700f|%d>\n", 1.5, 9);
  razezir_test::StopFailingAllocations();
  EXPECT_EQ("<?|9>\n", std::string(out.data(), out.size()));
}

// BMP, astral and ASCII text, and the same in UTF-8.
const char16_t kMixed[] = u"caf\u00E9 \u20AC \U0001F600!";
const char kMixedUtf8[] = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80!";

TEST(WideFormatLocale, Utf8ForLiteralsArgumentsAndChars) {
  if (!UseLocale("C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(Charset::kUtf8, ClassifyLocale());
  EXPECT_WPRINTF(kMixedUtf8, u"%s", kMixed);
  EXPECT_WPRINTF(kMixedUtf8, kMixed);
  EXPECT_WPRINTF("\xC3\xA9=1 \xF4\x8F\xBF\xBF", u"\u00E9=%d %ls", 1,
                 u"\U0010FFFF");
  EXPECT_WPRINTF("\xC3\xA9|?|\xEF\xBF\xBF", u"%c|%c|%c", 0xE9, 0xD800, 0xFFFF);
  EXPECT_WPRINTF("\xC3\xA9\xFF", u"%hs",
                 "\xC3\xA9\xFF");  // narrow bytes untouched

  // Unpaired halves, in arguments and in the format itself.
  const char16_t kBroken[] = {u'a',   0xD800, u'b',   0xDC00, u'c', 0xDC00,
                              0xD800, 0xD83D, 0xDE00, 0xD800, 0};
  EXPECT_WPRINTF("a?b?c??\xF0\x9F\x98\x80?", u"%s", kBroken);
  EXPECT_WPRINTF("a?b?c??\xF0\x9F\x98\x80?", kBroken);
  char storage[16];
  OutBuffer out(storage, sizeof storage);
  AppendNarrowed(&out, u"\U0001F600", 1);  // the count cuts the pair
  AppendNarrowed(&out, u"x\0y", 3);
  AppendNarrowed(&out, nullptr, 0);
  EXPECT_EQ(std::string("?x\0y", 4), std::string(out.data(), out.size()));

  // Long text crossing the engine's and the buffer's block boundaries.
  std::u16string text;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    text += kMixed;
    expected += kMixedUtf8;
  }
  EXPECT_WPRINTF(expected, text.c_str());
  EXPECT_WPRINTF(expected, u"%s", text.c_str());
}

// A precision never splits a character, and bounds every read of a string
// argument: nothing past it is looked at, neither a NUL nor the second half
// of a pair, so strings that end there unterminated are fine (the guarded
// ones here end at an unreadable page). A narrow character cut by the
// precision is dropped whole, decided from the bytes before the cut alone.
// A high surrogate that ends the precision is never completed from units
// past it, so it is left out whatever follows; ended by its NUL within the
// precision, a lone half is known to be one. Narrow widths count bytes,
// wide ones units.
TEST(WideFormatLocale, PrecisionNeverSplitsCharactersNorReadsPastIt) {
  if (!UseLocale("C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
  const razezir_test::GuardedBytes hello("hello", 5);
  const razezir_test::GuardedBytes empty("", 0);
  const razezir_test::GuardedBytes euro("a\xE2\x82", 3);
  const char16_t wide[] = {u'a', u'b', 0xD800};
  const razezir_test::GuardedBytes guardedWide(wide, sizeof wide);
  const char16_t paired[] = {u'a', u'b', 0xD83D, 0xDE00, 0};
  const char16_t unpaired[] = {u'a', u'b', 0xD83D, u'x', 0};
  const char16_t* astral = u"ab\U0001F600c";
  const char* utf8 = "a\xC3\xA9\xE2\x82\xAC";  // a, e-acute, euro sign
  struct Case {
    const char16_t* format;
    const char* narrow;  // the argument, when not null; else `wide`
    const char16_t* wide;
    const char* expected;
  } const kCases[] = {
      {u"%.5hs", hello.as<char>(), nullptr, "hello"},
      {u"%.5S", hello.as<char>(), nullptr, "hello"},
      {u"%7.5hs", hello.as<char>(), nullptr, "  hello"},
      {u"%.0hs", empty.as<char>(), nullptr, ""},
      {u"%.3hs", euro.as<char>(), nullptr, "a"},
      {u"%.2hs", euro.as<char>(), nullptr, "a"},
      {u"%.3hs", "a\xE2\x82\xAC", nullptr, "a"},
      {u"%.4hs", "a\xE2\x82", nullptr, "a\xE2\x82"},
      {u"%.1hs", utf8, nullptr, "a"},
      {u"%.2hs", utf8, nullptr, "a"},
      {u"%.3hs", utf8, nullptr, "a\xC3\xA9"},
      {u"%.5hs", utf8, nullptr, "a\xC3\xA9"},
      {u"%.6hs", utf8, nullptr, "a\xC3\xA9\xE2\x82\xAC"},
      {u"%.2hs", "a\x80\x80\x80", nullptr, "a\x80"},  // no character: cut as asked
      {u"%5hs", "\xC3\xA9", nullptr, "   \xC3\xA9"},
      {u"%.3s", nullptr, guardedWide.as<char16_t>(), "ab"},
      {u"%.3ls", nullptr, guardedWide.as<char16_t>(), "ab"},
      {u"%-4.2s", nullptr, guardedWide.as<char16_t>() + 1, "b   "},
      {u"%.3s", nullptr, paired, "ab"},
      {u"%.3s", nullptr, unpaired, "ab"},
      {u"%.4s", nullptr, paired, "ab\xF0\x9F\x98\x80"},
      {u"%.4s", nullptr, unpaired, "ab?x"},
      {u"%.9s", nullptr, u"ab\xD83D", "ab?"},
      {u"%.2ls", nullptr, astral, "ab"},
      {u"%.3ls", nullptr, astral, "ab"},
      {u"%.4ls", nullptr, astral, "ab\xF0\x9F\x98\x80"},
      {u"%4.3ls", nullptr, astral, "  ab"},
      {u"%3ls", nullptr, u"\u00E9", "  \xC3\xA9"},
  };
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const Case& c = kCases[i];
    EXPECT_EQ(c.expected, c.narrow != nullptr ? WFormat(c.format, c.narrow)
                                              : WFormat(c.format, c.wide))
        << "case " << i << ": " << Printable(c.format);
  }
}

// The cut that timestamps in long-named locales share with the precision of
// narrow strings.
TEST(WideFormatLocale, CutOnCharBoundaryKeepsWholeCharacters) {
  if (!UseLocale("C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
  const char* utf8 = "a\xC3\xA9\xE2\x82\xAC";  // a, e-acute, euro sign
  const size_t kept[] = {0, 1, 1, 3, 3, 3, 6, 6};
  for (size_t maxBytes = 0; maxBytes < 8; ++maxBytes) {
    EXPECT_EQ(kept[maxBytes], CutOnCharBoundary(utf8, 6, maxBytes)) << maxBytes;
  }
  EXPECT_EQ(2u, CutOnCharBoundary("a\x80\x80\x80", 4, 2));  // no character to keep whole
}

TEST(WideFormatLocale, Utf8EncoderAgreesWithTheRuntime) {
  if (!UseLocale("C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
  std::mt19937 rng(5);
  for (int i = 0; i < 300; ++i) {
    std::u16string text;
    for (int k = 0; k < 40; ++k) {
      unsigned pick = rng() % 3;
      if (pick == 0) text += static_cast<char16_t>(rng() % 0x10000);
      if (pick == 1) text += static_cast<char16_t>(0xD800 + rng() % 0x400);
      if (pick != 0) text += static_cast<char16_t>(0xDC00 + rng() % 0x400);
    }
    char fastStorage[64];
    char runtimeStorage[64];
    OutBuffer fast(fastStorage, sizeof fastStorage);
    OutBuffer runtime(runtimeStorage, sizeof runtimeStorage);
    Narrowing utf8(Charset::kUtf8, platform::SnapshotLocale());
    Narrowing viaRuntime(Charset::kRuntime, platform::SnapshotLocale());
    NarrowUnits(&fast, &utf8, text.data(), text.size());
    NarrowUnits(&runtime, &viaRuntime, text.data(), text.size());
    ASSERT_EQ(std::string(runtime.data(), runtime.size()),
              std::string(fast.data(), fast.size()))
        << "text: " << Printable(text.c_str());
  }
}

TEST(WideFormatLocale, AsciiLocaleWritesQuestionMarks) {
#ifdef _WIN32
  GTEST_SKIP() << "the C locale of the Windows runtime is Latin-1, not ASCII";
#endif  // _WIN32
  ASSERT_TRUE(UseLocale("C"));
  EXPECT_EQ(Charset::kAscii, ClassifyLocale());
  EXPECT_WPRINTF("caf? ? ?!|?", u"%s|%c", kMixed, 0xE9);
  EXPECT_WPRINTF("caf? ? ?!", kMixed);
  char storage[64];
  OutBuffer out(storage, sizeof storage);
  Narrowing viaRuntime(Charset::kRuntime, platform::SnapshotLocale());
  NarrowUnits(&out, &viaRuntime, kMixed,
              std::char_traits<char16_t>::length(kMixed));
  EXPECT_EQ("caf? ? ?!",
            std::string(out.data(), out.size()));  // the runtime agrees
  EXPECT_WPRINTF("a\xC3", u"%.2hs", "a\xC3\xA9");  // single bytes: cut anywhere
}

// Locales that are neither ASCII nor UTF-8 take the runtime path. Few
// systems ship one ready-made, so the test builds its own when localedef is
// there: one single-byte, one multibyte.
bool UseBuiltLocale(const char* source, const char* charmap,
                    const std::string& name) {
#ifdef _WIN32
  // localedef and LOCPATH are glibc's; Windows names its locales otherwise.
  static_cast<void>(source);
  static_cast<void>(charmap);
  static_cast<void>(name);
  return false;
#else
  const char* tmp = std::getenv("RAZEZIR_TEST_TMP");
  std::string dir =
      std::string(tmp != nullptr ? tmp : "/tmp") + "/wide_format_locales";
  std::string build = "mkdir -p '" + dir + "' && localedef -i " + source +
                      " -f " + charmap + " '" + dir + "/" + name +
                      "' >/dev/null 2>&1";
  if (std::system(build.c_str()) != 0) return false;
  setenv("LOCPATH", dir.c_str(), 1);
  return UseLocale(name.c_str());
#endif  // _WIN32
}

TEST(WideFormatLocale, OtherLocalesGoThroughTheRuntime) {
  if (!UseBuiltLocale("en_US", "ISO-8859-1", "en_US.ISO-8859-1")) {
    GTEST_SKIP() << "cannot build an ISO-8859-1 locale";
  }
  EXPECT_EQ(Charset::kRuntime, ClassifyLocale());
  EXPECT_WPRINTF("caf\xE9 ? ?!", u"%s", kMixed);
  EXPECT_WPRINTF("\xE9t\xE9|\xE9\xE9", u"\u00E9t%c|%.2hs", 0xE9,
                 "\xE9\xE9\xE9");

  if (!UseBuiltLocale("ja_JP", "EUC-JP", "ja_JP.EUC-JP")) {
    GTEST_SKIP() << "cannot build an EUC-JP locale";
  }
  EXPECT_EQ(Charset::kRuntime, ClassifyLocale());
  const char* hiragana = "a\xA4\xA2\xA4\xA4";  // a, then two 2-byte characters
  EXPECT_WPRINTF("\xA4\xA2 ?|a|a\xA4\xA2|a\xA4\xA2",
                 u"\u3042 \U0001F600|%.2hs|%.3hs|%.4hs", hiragana, hiragana,
                 hiragana);
}

#ifdef _WIN32
// Loads the universal C runtime, as a host built with /MD has it, has the
// library follow its locale and returns its setlocale; null where the system
// has no such runtime.
using SetLocaleFunction = char*(__cdecl*)(int category, const char* locale);
SetLocaleFunction HostSetLocale() {
  HMODULE ucrt = LoadLibraryA("ucrtbase.dll");
  if (ucrt == nullptr) return nullptr;
  platform::FindHostRuntime();
  return reinterpret_cast<SetLocaleFunction>(
      reinterpret_cast<void*>(GetProcAddress(ucrt, "setlocale")));
}
#endif  // _WIN32

// While another thread switches the host's LC_CTYPE between UTF-8 and code
// page 1252, every call is written wholly in one of the two: the locale is
// read once a call, not once a character.
TEST(WideFormatLocale, OneCallIsInOneEncodingWhileTheLocaleSwitches) {
#ifndef _WIN32
  GTEST_SKIP() << "POSIX allows no setlocale while other threads convert text";
#else
  const SetLocaleFunction setLocale = HostSetLocale();
  if (setLocale == nullptr || setLocale(LC_CTYPE, ".1252") == nullptr ||
      setLocale(LC_CTYPE, ".UTF-8") == nullptr) {
    GTEST_SKIP() << "no universal C runtime with code pages 1252 and 65001";
  }
  // Lines long enough that switches fall inside them, for as long as it
  // takes the switcher to switch some thousands of times.
  std::atomic<bool> done{false};
  std::atomic<int> nSwitches{0};
  std::thread switcher([&done, &nSwitches, setLocale] {
    while (!done.load()) {
      setLocale(LC_CTYPE, ".1252");
      setLocale(LC_CTYPE, ".UTF-8");
      nSwitches.fetch_add(1);
    }
  });
  // e-acute in the literal, a string argument and a character argument.
  const std::u16string text(500, u'\u00E9');
  std::string utf8;
  for (int i = 0; i < 502; ++i) utf8 += "\xC3\xA9";
  const std::string cp1252(502, '\xE9');
  int nMixed = 0;
  std::string firstMixed;
  for (int i = 0; i < 1000 || nSwitches.load() < 3000; ++i) {
    const std::string line = WFormat(u"\u00E9%s%c", text.c_str(), 0xE9);
    if (line != utf8 && line != cp1252 && nMixed++ == 0) firstMixed = line;
  }
  done.store(true);
  switcher.join();
  setLocale(LC_CTYPE, "C");
  EXPECT_EQ(0, nMixed) << "the first: " << firstMixed;
#endif  // _WIN32
}

// A character the code page cannot express is '?', not a look-alike of the
// code page's choosing: e-acute in 932 is not 'e', A-macron in 1252 not 'A'.
// A precision keeps 932's two-byte characters whole.
TEST(WideFormatLocale, CodePagesWriteQuestionMarksNotLookAlikes) {
#ifndef _WIN32
  GTEST_SKIP() << "Windows code pages";
#else
  const SetLocaleFunction setLocale = HostSetLocale();
  if (setLocale == nullptr || setLocale(LC_CTYPE, ".932") == nullptr) {
    GTEST_SKIP() << "no universal C runtime with code page 932";
  }
  EXPECT_WPRINTF("caf? \x82\xA0|?", u"caf\u00E9 \u3042|%c", 0x100);
  const char* hiragana = "a\x82\xA0\x82\xA2";  // a, then two 2-byte characters
  EXPECT_WPRINTF("a\x82\xA0|a|a\x82\xA0\x82\xA2", u"%.4hs|%.2hs|%.5hs", hiragana, hiragana,
                 hiragana);
  ASSERT_NE(nullptr, setLocale(LC_CTYPE, ".1252"));
  EXPECT_WPRINTF("caf\xE9 ?|?", u"caf\u00E9 \u3042|%c", 0x100);
  setLocale(LC_CTYPE, "C");
#endif  // _WIN32
}

void FormatTypicalLine(OutBuffer* out) {
  FormatInto(out, u"%-8ls %5d %08X %.3f %hs %p %c \u00E9\U0001F600 %s\n",
             u"module", 42, 0xA3C, 3.14159, "narrow",
             reinterpret_cast<const void*>(uintptr_t{0x5EED}), u'x',
             u"w\u00E9");
}

// The single fields of a line prefix read as the C runtime's "%.*llX" and
// "%*s", for values that fill their digits, overflow them or need none.
TEST(WideFormatFields, PrefixFieldsMatchTheRuntime) {
  const uint64_t kValues[] = {0,          1,          0xA3C,      0xFFFFFFFF,
                              0x12345678, 0x9ABCDEF0, 0x123456789, UINT64_MAX,
                              0x8000000000000000};
  for (uint64_t value : kValues) {
    for (int nDigits = 0; nDigits <= 20; ++nDigits) {
      char storage[64];
      OutBuffer out(storage, sizeof storage);
      AppendUpperHex(&out, value, nDigits);
      EXPECT_EQ(RuntimePrintf("%.*llX", nDigits, static_cast<unsigned long long>(value)),
                std::string(out.data(), out.size()))
          << value << " in " << nDigits << " digits";
    }
  }
  for (const char* tag : {"", "net", "module", "modules", "a-long-module-name"}) {
    for (int nUnits : {0, 3, 6, 8}) {
      const std::u16string wide(tag, tag + std::strlen(tag));
      char storage[64];
      OutBuffer out(storage, sizeof storage);
      AppendRightAligned(&out, wide.c_str(), nUnits);
      EXPECT_EQ(RuntimePrintf("%*s", nUnits, tag), std::string(out.data(), out.size()));
    }
  }
  char storage[16];
  OutBuffer out(storage, sizeof storage);
  AppendRightAligned(&out, nullptr, 8);
  EXPECT_EQ("  (null)", std::string(out.data(), out.size()));
}

TEST(WideFormatAllocation, TypicalLineStaysInCallerStorage) {
  if (!razezir_test::StartCountingAllocations())
    GTEST_SKIP() << "cannot count allocations here";
  UseLocale("C.UTF-8");
  char storage[2048];
  OutBuffer out(storage, sizeof storage);
  FormatTypicalLine(&out);  // the runtime may set up locale data on first use

  long before = razezir_test::AllocationCount();
  for (int i = 0; i < 20; ++i) {
    out.Clear();
    FormatTypicalLine(&out);
  }
  long after = razezir_test::AllocationCount();
  EXPECT_EQ(0, after - before);
  EXPECT_EQ(storage, out.data());

  // The count is live: the same line into too small a buffer allocates.
  char tiny[8];
  OutBuffer spilled(tiny, sizeof tiny);
  FormatTypicalLine(&spilled);
  EXPECT_LT(after, razezir_test::AllocationCount());
  EXPECT_EQ(std::string(out.data(), out.size()),
            std::string(spilled.data(), spilled.size()));
}

TEST(WideFormatThreads, ConcurrentCallsShareNothing) {
  UseLocale("C.UTF-8");
  char storage[256];
  OutBuffer reference(storage, sizeof storage);
  FormatTypicalLine(&reference);
  const std::string expected(reference.data(), reference.size());
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&expected, &mismatches] {
      for (int i = 0; i < 300; ++i) {
        char local[256];
        OutBuffer out(local, sizeof local);
        FormatTypicalLine(&out);
        if (std::string(out.data(), out.size()) != expected) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, mismatches.load());
}

// ---------------------------------------------------------------------------
// Typed arguments: each read by what it is.
// ---------------------------------------------------------------------------

// Formats with typed records built as the front ends build them.
template <typename... T>
std::string TFormat(const char16_t* format, const T&... args) {
  const QXSTD::TraceArgument records[] = {QXSTD::arguments::Record(args)..., {0, 0}};
  QXSTD::TraceFormat traced{};
  traced.units = format;
  char storage[64];
  OutBuffer out(storage, sizeof storage);
  Narrowing narrowing;
  FormatTyped(&out, traced, records, sizeof...(T), &narrowing);
  return std::string(out.data(), out.size());
}

#define EXPECT_TPRINTF(expected, ...)                    \
  EXPECT_EQ(std::string(expected), TFormat(__VA_ARGS__)) \
      << "format: " << FormatOf(__VA_ARGS__)

// A string class of the shape the front ends recognise, as std::string
// and std::u16string have it, without their headers' help.
template <typename Unit>
struct CountedText {
  struct traits_type {
    using char_type = Unit;
  };
  const Unit* data() const { return units; }
  size_t size() const { return nUnits; }
  const Unit* units;
  size_t nUnits;
};

TEST(WideFormatTyped, IntegersAtTheirRealWidthAndSign) {
  EXPECT_TPRINTF("5000000000 -5000000000", u"%d %i", 5000000000LL, -5000000000LL);
  EXPECT_TPRINTF("123456789 4000000000 18446744073709551615", u"%x %u %u", 0x123456789ULL,
                 4000000000U, ~0ULL);
  // A narrower modifier narrows, as C converts; a wider one widens the value.
  EXPECT_TPRINTF("4464 -7 -5 42", u"%hd %hhd %lld %jd", 70000, 249, -5, short{42});
  // An unsigned conversion of a negative value takes the unsigned type of
  // the argument's own width, or of a narrower modifier's.
  EXPECT_TPRINTF("4294967295 ffffffff ff fb 65531", u"%u %llx %hhx %x %u", -1, -1, -1,
                 static_cast<signed char>(-5), short{-5});
  enum class Small : signed char { kLow = -3 };
  EXPECT_TPRINTF("255 65 1 -3 253", u"%d %d %d %d %u", static_cast<unsigned char>(255), 'A', true,
                 Small::kLow, Small::kLow);
  EXPECT_TPRINTF("-2147483648 2147483648", u"%d %u", INT_MIN, 2147483648U);
  EXPECT_TPRINTF("  +042|2a   |0X2A", u"%+6.3d|%-5x|%#X", 42, 42LL, 42U);
}

TEST(WideFormatTyped, StringsAtTheirOwnWidth) {
  const char narrow[] = "h\xC3\xA9llo";
  const char16_t* wide = u"wide";
  EXPECT_TPRINTF("h\xC3\xA9llo|h\xC3\xA9llo|wide|wide", u"%s|%hs|%S|%s", narrow, narrow, wide,
                 wide);
  const char embedded[] = {'a', '\0', 'b'};
  const CountedText<char> counted{embedded, 3};
  const CountedText<char16_t> counted16{u"xyzw", 3};
  EXPECT_EQ(std::string("a\0b|xyz|xy|   xy|xy   |", 23),
            TFormat(u"%s|%s|%.2s|%5.2s|%-5.2hs|", counted, counted16, counted16, counted16, counted16));
  EXPECT_TPRINTF("(null)|(null)|", u"%s|%hs|", nullptr, nullptr);
  char buffer[8] = "buf";  // an array is a NUL-terminated string
  EXPECT_TPRINTF("buf|", u"%s|", buffer);
}

TEST(WideFormatTyped, CharactersRealsAndPointers) {
  EXPECT_TPRINTF("A|B|C|D", u"%c|%c|%hc|%C", 'A', u'B', 67, 'D');
  EXPECT_TPRINTF("1.500000 2.500000 0.250", u"%f %Lf %.3f", 1.5f, 2.5, 0.25);
  EXPECT_TPRINTF("3.500000", u"%f", 3.5L);
  const int x = 0;
  EXPECT_EQ(TFormat(u"%p", &x), WFormat(u"%p", &x));
  EXPECT_EQ(TFormat(u"%p", nullptr), WFormat(u"%p", nullptr));
  int count = 0;
  EXPECT_TPRINTF("7", u"%n%d", &count, 7);  // %n consumes, stores nothing
  EXPECT_EQ(count, 0);
}

// Where no conversion of the letter can show the argument, or the call
// lacks or leaves arguments, a marker says so and nothing is read that was
// not given.
TEST(WideFormatTyped, MarkersForWhatCannotBeShown) {
  const double real = 1;
  EXPECT_TPRINTF("%!d(string) %!s(int32) %!f(pointer) %!d(double) %!p(int32) %!c(string16)",
                 u"%d %s %f %d %p %c", "text", 42, &real, 1.0, 42, u"u");
  EXPECT_TPRINTF("%!s(char) %!x(long double) %!d(nullptr)", u"%s %x %d", 'c', 1.0L, nullptr);
  EXPECT_TPRINTF("1 %!d(missing)\n", u"%d %d\n", 1);
  EXPECT_TPRINTF("1%!(extra int32, string)\n", u"%d\n", 1, 2, "x");
  EXPECT_TPRINTF("1%!(extra uint64)", u"%d", 1, 2ULL);
  EXPECT_TPRINTF("%!*(string)|7", u"%*d|%d", "x", 5, 7);
  EXPECT_TPRINTF("%!*(missing)", u"%.*f");
  // A record of no known kind is named, and read no further.
  const QXSTD::TraceArgument unknown[] = {{0xEE, 0}};
  QXSTD::TraceFormat traced{};
  traced.units = u"%d";
  char storage[32];
  OutBuffer out(storage, sizeof storage);
  Narrowing narrowing;
  FormatTyped(&out, traced, unknown, 1, &narrowing);
  EXPECT_EQ(std::string(out.data(), out.size()), "%!d(?)");
}

}  // namespace
}  // namespace razezir
