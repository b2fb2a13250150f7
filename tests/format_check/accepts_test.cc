// The checked overloads accept every pair of conversion and argument that
// the engine shows as a field: any integer for any integer or character
// conversion, any real for any real one, a string (a pointer or a string
// object, of either width) for any string conversion, and runtime formats
// through RuntimeFormat. Compiled as C++20 whatever the rest of the build
// uses: that this file compiles at all is most of the test, and running it
// shows that the checked calls, with the parse the check hands over, reach
// the library and write what the engine writes.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "gtest/gtest.h"
#include "razezir/trace.h"
#include "test_util.h"

static_assert(RAZEZIR_FORMAT_CHECK == 1, "C++20 turns the format check on");

namespace {

using razezir_test::ReadFile;
using razezir_test::TempPath;

enum Color { kRed = 3 };
enum class Wide : long long { kBig = 1LL << 40 };

// Runs `calls` with the main log in a scratch file and returns the log's text
// without the banners.
template <typename Calls>
std::string Traced(Calls calls) {
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, &path[0], 0);
  calls();
  QXSTD::DeinitTrace();
  std::string text;
  for (const std::string& line : razezir_test::Lines(ReadFile(path))) {
    if (line.compare(0, 10, "==========") != 0) text += line + "\n";
  }
  return text;
}

TEST(FormatCheckAccepts, Integers) {
  std::string text = Traced([] {
    short s = -2;
    unsigned short us = 2;
    char c = 'A';
    signed char sc = -1;
    bool yes = true;
    char16_t unit = u'B';
    QXSTD::Trace1(u"t", u"%d %i %u %o %x %X\n", 1, -1, 2u, 8, 255u, 255);
    QXSTD::Trace1(u"t", u"%d %d %d %d %d %d %d\n", s, us, c, sc, yes, unit,
                  kRed);
    QXSTD::Trace1(u"t", u"%hhd %hhu %hd %hu %I32d %I32x\n", -1, 255, s, us,
                  7, 0x7fffffffu);
    QXSTD::Trace1(u"t", u"%ld %lu %lld %llu %I64d %I64u\n", -1L, 1UL, -2LL,
                  2ULL, int64_t{-3}, uint64_t{3});
    QXSTD::Trace1(u"t", u"%jd %ju %zu %zd %Iu %Id %td %tu\n", intmax_t{-4},
                  uintmax_t{4}, size_t{5}, ptrdiff_t{-5}, size_t{6},
                  ptrdiff_t{-6}, ptrdiff_t{7}, size_t{7});
    QXSTD::Trace1(u"t", u"%lld\n", Wide::kBig);
    QXSTD::Trace1(u"t", u"%+05d|%-4x|%#o|%*d|%.*d|%-*.*u\n", 3, 10, 8, 4, 5,
                  3, 6, 5, 3, 7u);
  });
  EXPECT_EQ(text,
            "1 -1 2 10 ff FF\n"
            "-2 2 65 -1 1 66 3\n"
            "-1 255 -2 2 7 7fffffff\n"
            "-1 1 -2 2 -3 3\n"
            "-4 4 5 -5 6 -6 7 7\n"
            "1099511627776\n"
            "+0003|a   |010|   5|006|007  \n");
}

// Each integer is read at its own width, and a length modifier converts it
// as C would: no modifier is wrong for any integer.
TEST(FormatCheckAccepts, IntegersOfAnyWidthForAnyModifier) {
  std::string text = Traced([] {
    int bytes = -5;
    QXSTD::Trace1(u"t", u"%d %lld %I64d %hd %hhd\n", 5000000000LL, bytes, bytes, 70000, 300);
    QXSTD::Trace1(u"t", u"%x %u %llx %zu %c\n", 0x123456789ULL, 4000000000U, -1, 5, 66LL);
    QXSTD::Trace1(u"t", u"%*d|%-*.*d|%.*s\n", size_t{4}, 1, -3LL, uint8_t{2}, 2, char{2}, u"abc");
  });
  EXPECT_EQ(text,
            "5000000000 -5 -5 4464 44\n"
            "123456789 4000000000 ffffffff 5 B\n"
            "   1|02 |ab\n");
}

TEST(FormatCheckAccepts, Reals) {
  std::string text = Traced([] {
    float f = 0.5f;
    QXSTD::Trace1(u"t", u"%e %E %f %F %g %G\n", 1.5, 1.5, f, 2.0, 0.25, 1e20);
    // L or not, a real conversion takes any real.
    QXSTD::Trace1(u"t", u"%.1a %.1A %lf %Lf %Lg\n", 1.0, 1.0, 1.25L, 2.5, 0.5L);
    QXSTD::Trace1(u"t", u"%8.3f|%-8.2e|%*.*g\n", 3.14159, 100.0, 6, 2, f);
  });
  EXPECT_EQ(text,
            "1.500000e+00 1.500000E+00 0.500000 2.000000 0.25 1E+20\n"
            "0x1.0p+0 0X1.0P+0 1.250000 2.500000 0.5\n"
            "   3.142|1.00e+02|   0.5\n");
}

TEST(FormatCheckAccepts, StringsAndCharacters) {
  std::string text = Traced([] {
    const char16_t* wide = u"wide";
    char16_t buffer[] = u"buf";
    const unsigned short units[] = {'u', 's', 0};
    const char* narrow = "narrow";
    char bytes[] = "bytes";
    const unsigned char* raw = reinterpret_cast<const unsigned char*>("raw");
    QXSTD::Trace1(u"t", u"%s %ls %lS %ws %wS %s\n", wide, buffer, units,
                  u"lit", wide, nullptr);
    QXSTD::Trace1(u"t", u"%S %hs %hS %hs %-7hs|%.3S\n", narrow, bytes, raw,
                  u8"u8", "pad", "cut here");
    QXSTD::Trace1(u"t", u"%c%lc%lC%wc%wC%C%hc%hC%c\n", u'a', u'b', u'c', u'd',
                  u'e', 'f', 'g', 'h', 0x69);
    QXSTD::Trace1(u"t", u"%%%5.2s%%\n", u"xyz");
  });
  EXPECT_EQ(text,
            "wide buf us lit wide (null)\n"
            "narrow bytes raw u8 pad    |cut\n"
            "abcdefghi\n"
            "%   xy%\n");
}

// A string is written at its own width, whatever the string conversion:
// pointers of either width, and string objects passed as they are.
TEST(FormatCheckAccepts, StringsOfEitherWidthForAnyStringConversion) {
  std::string text = Traced([] {
    const char16_t* user = u"user";
    QXSTD::Trace1(u"t", u"%s %hs %S %ls|%5hs|%.2s\n", "host", user, u"wide", "narrow", u"pad",
                  "cut");
    const std::string name = "name";
    const std::u16string wide = u"wide";
    const std::string_view view = std::string_view("viewed").substr(0, 4);
    const std::u16string_view wideView = u"wide view";
    QXSTD::Trace1(u"t", u"%s %S %hs %ls %ws %s|%-6s|%.3s\n", name, name, wide, view, wideView,
                  std::u16string(u"temporary"), view, std::string("cut here"));
  });
  EXPECT_EQ(text,
            "host user wide narrow|  pad|cu\n"
            "name name wide view wide view temporary|view  |cut\n");
}

TEST(FormatCheckAccepts, Pointers) {
  std::string text = Traced([] {
    int value = 0;
    const void* none = nullptr;
    const std::string object = "text";
    QXSTD::Trace1(u"t", u"%p %p %p %p %p\n", &value, "text", object, none, nullptr);
  });
  const std::string zeros(2 * sizeof(void*), '0');
  EXPECT_NE(text.find(" " + zeros + " " + zeros + "\n"), std::string::npos)
      << text;
}

// The parse that a checked format hands the library: literal runs and
// conversions, in order, each where it is in the format, and how many units
// the library may read, its NUL included.
using QXSTD::TracePiece;
using QXSTD::TracePieceKind;
constexpr QXSTD::WideFormat<int> kParsed = u"id %-5d \u00e9%%\n";
static_assert(kParsed.traced().nUnits == 13);
static_assert(kParsed.traced().nPieces == 5);
static_assert(kParsed.traced().pieces[0] == TracePiece(TracePieceKind::kAscii, 0, 3));
static_assert(kParsed.traced().pieces[1] == TracePiece(TracePieceKind::kConversion, 3, 4));
static_assert(kParsed.traced().pieces[2] == TracePiece(TracePieceKind::kText, 7, 2));
static_assert(kParsed.traced().pieces[3] == TracePiece(TracePieceKind::kConversion, 9, 2));
static_assert(kParsed.traced().pieces[4] == TracePiece(TracePieceKind::kAscii, 11, 1));
// Formats the library parses itself: too many pieces, none, or no format.
static_assert(QXSTD::format_check::ParseForTrace(u"%d %d %d %d\n").nPieces == 8);
constexpr QXSTD::WideFormat<int, int, int, int> kLong = u"%d %d %d %d %%\n";
static_assert(kLong.traced().nPieces == 0);
static_assert(QXSTD::format_check::ParseForTrace(u"").nPieces == 0);
static_assert(QXSTD::format_check::ParseForTrace(u"%y").nPieces == 0);
static_assert(QXSTD::format_check::ParseForTrace(u"%y").nUnits == 3);
static_assert(QXSTD::WideFormat<>(nullptr).traced().nPieces == 0);

// A piece longer than a piece can say, or a format longer than an offset
// can reach, leaves the parse to the library.
TEST(FormatCheckParse, LongFormatsAreLeftToTheLibrary) {
  using QXSTD::format_check::ParseForTrace;
  const std::u16string longest(QXSTD::kTracePieceMaxUnits, u'a');
  EXPECT_EQ(ParseForTrace(longest.c_str()).nPieces, 1u);
  EXPECT_EQ(ParseForTrace((longest + u"a%d").c_str()).nPieces, 0u);
  std::u16string format = longest + u"%%" + longest + u"%%" + longest + u"%%" +
                          std::u16string(QXSTD::kTracePieceMaxUnits - 3, u'a');
  ASSERT_EQ(format.size(), 65535u);
  EXPECT_EQ(ParseForTrace(format.c_str()).nPieces, 7u);
  format += u'a';
  EXPECT_EQ(ParseForTrace(format.c_str()).nPieces, 0u);
}

constexpr const char16_t* kConstantFormat = u"constant %d\n";
constexpr const char16_t kConstantArray[] = u"array %d\n";

TEST(FormatCheckAccepts, ConstantAndRuntimeFormats) {
  std::string text = Traced([] {
    QXSTD::Trace1(u"t", kConstantFormat, 1);
    QXSTD::Trace1(u"t", kConstantArray, 1);
    std::u16string built = u"runtime %d %s\n";
    QXSTD::Trace1(u"t", QXSTD::RuntimeFormat(built.c_str()), 2, u"unchecked");
    // Unchecked means unchecked: the engine prints the malformed conversion.
    QXSTD::Trace(2, u"t", QXSTD::RuntimeFormat(built.c_str() + 8), 3, u"x");
    QXSTD::Trace2(u"t", QXSTD::RuntimeFormat(u"%y\n"));
    QXSTD::Trace1(u"t", nullptr);
  });
  EXPECT_EQ(text, "constant 1\narray 1\nruntime 2 unchecked\n3 x\n%y\n");
}

}  // namespace
