// What the engine's fuzz targets share: arguments from fixed pools of safe
// values, and the reading of a format from the input. Any crash, overrun or
// write while formatting with them is the engine's. A string read under a
// precision is a heap copy that ends exactly at the precision, with no
// terminator, so that a read past the precision is an overrun the sanitizer
// sees.
//
// Single-threaded, as the targets are.

#ifndef RAZEZIR_FUZZ_FORMAT_INPUTS_H_
#define RAZEZIR_FUZZ_FORMAT_INPUTS_H_

#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "format/wide_format.h"

namespace razezir_fuzz {

// %n and %p get a pointer to read-only memory: a store through it faults.
inline const int kReadOnlyTarget = 0;

inline constexpr int64_t kIntegers[] = {
    0,       1,  7,          42,        -42,       255,       0x8000, 65535,
    1000000, -1, 0x7FFFFFFF, INT32_MIN, INT64_MIN, INT64_MAX, 100,    -100};

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
inline const double kDoubles[] = {0.0,   -0.0,     1.5,        -0.1,
                                  1e300, 4.9e-324, 2.2e-308,   kInf,
                                  -kInf, kNan,     123456.789, 1.7976931348623157e308};

inline constexpr long double kLongInf = std::numeric_limits<long double>::infinity();
inline constexpr long double kLongNan = std::numeric_limits<long double>::quiet_NaN();
inline const long double kLongDoubles[] = {0.0L,     -1.25L,   1e4000L, 3.6e-4951L,
                                           kLongInf, kLongNan, 0.1L};

inline const char* const kNarrowStrings[] = {
    "narrow", nullptr,
    "",       "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
    "%s%n%d", "a somewhat longer narrow string to cross chunk sizes"};

inline const char16_t kBroken[] = {u'a',   0xD800, u'b',   0xDC00,
                                   0xDBFF, 0xDFFF, 0xD83D, 0};
inline const char16_t* const kWideStrings[] = {
    u"wide",
    nullptr,
    u"",
    u"caf\u00E9 \u20AC \U0001F600",
    kBroken,
    u"%ls%n%hs",
    u"\U0001F600\U0001F600\U0001F600\U0001F600",
    // Longer ASCII than a code point's worst case before text beyond it.
    u"a 16-bit string whose ASCII outruns a code point's room: caf\u00E9"};

inline const int kNarrowChars[] = {'c', 0, '%', 0x7F, 'Z'};
inline const unsigned kWideChars[] = {u'w',   0,      0xE9,    0xD800,
                                      0xDFFF, 0xFFFF, 0x1F600, 0x20AC};

template <typename T, size_t N>
constexpr size_t CountOf(const T (&)[N]) {
  return N;
}

// The engine's argument source over the pools: the same seed hands out the
// same values in the same order, so that two runs over one format that read
// alike format alike.
class FuzzArgs {
 public:
  // An int read as int is reduced modulo `intBound` unless that is 0, so
  // that fields whose width or precision comes from one stay small.
  FuzzArgs(unsigned seed, int32_t intBound) : next_(seed), intBound_(intBound) {}

  uint64_t Integer(razezir::IntArg kind) {
    uint64_t bits = static_cast<uint64_t>(kIntegers[Next() % CountOf(kIntegers)]);
    if (kind != razezir::IntArg::kInt) return bits;
    // What a real va_list delivers: an int is read as 32 bits and
    // sign-extended.
    int32_t value = static_cast<int32_t>(bits);
    if (intBound_ != 0) value %= intBound_;
    return static_cast<uint64_t>(static_cast<int64_t>(value));
  }
  double Double() {
    readReal = true;
    return kDoubles[Next() % CountOf(kDoubles)];
  }
  long double LongDouble() {
    readReal = true;
    return kLongDoubles[Next() % CountOf(kLongDoubles)];
  }
  const void* Pointer() {
    ++nReads_;
    return &kReadOnlyTarget;
  }
  const char* NarrowString(int precision) {
    return EndingAt(kNarrowStrings[Next() % CountOf(kNarrowStrings)], precision,
                    &narrowCopies_);
  }
  const char16_t* WideString(int precision) {
    return EndingAt(kWideStrings[Next() % CountOf(kWideStrings)], precision, &wideCopies_);
  }
  int NarrowChar() { return kNarrowChars[Next() % CountOf(kNarrowChars)]; }
  unsigned WideChar() { return kWideChars[Next() % CountOf(kWideChars)]; }

  // How many arguments were read.
  size_t nReads() const { return nReads_; }

  bool readReal = false;

 private:
  unsigned Next() {
    ++nReads_;
    return next_++;
  }

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
  int32_t intBound_;
  size_t nReads_ = 0;
  std::vector<std::unique_ptr<char[]>> narrowCopies_;
  std::vector<std::unique_ptr<char16_t[]>> wideCopies_;
};

// The unit that asks for a run: the unit after it says how many more times
// the unit before it comes. A format as short as libFuzzer's inputs can then
// hold literal runs as long as a line's buffer, and longer. Runs of a unit
// beyond ASCII stay short: each such unit costs a conversion, and a
// format of libFuzzer's length already holds enough of them to cross any
// edge.
inline constexpr char16_t kRepeatUnit = 0xFFFF;
inline constexpr size_t kMaxNonAsciiRun = 64;
// A format never grows past this many units, runs included: half as much
// again as the line's 4096-byte stack buffer, and no more, since the cost of
// an input grows with its length.
inline constexpr size_t kMaxFormatUnits = 6 * 1024;

// Reads a format of 16-bit little-endian units from `nBytes` bytes (an odd
// last byte is left out), with its runs, and appends the terminating NUL.
// `*nUnits` gets the units before it.
inline std::vector<char16_t> ReadFormat(const uint8_t* data, size_t nBytes, size_t* nUnits) {
  std::vector<char16_t> units;
  units.reserve(nBytes / 2 + 1);
  for (size_t i = 0; i + 1 < nBytes && units.size() < kMaxFormatUnits; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit != kRepeatUnit) {
      units.push_back(unit);
      continue;
    }
    i += 2;
    if (i + 1 >= nBytes || units.empty()) continue;
    size_t nMore = std::min<size_t>(data[i] | data[i + 1] << 8, kMaxFormatUnits - units.size());
    if (units.back() >= 0x80) nMore = std::min(nMore, kMaxNonAsciiRun);
    units.insert(units.end(), nMore, units.back());
  }
  *nUnits = units.size();
  units.push_back(u'\0');
  return units;
}

// Whether `units` hold more than `maxRun` digits in a row: a width or
// precision that long asks for up to kMaxFieldPadding bytes of padding.
inline bool HasLongDigitRun(const std::vector<char16_t>& units, size_t maxRun) {
  size_t run = 0;
  for (char16_t unit : units) {
    run = (unit >= u'0' && unit <= u'9') ? run + 1 : 0;
    if (run > maxRun) return true;
  }
  return false;
}

// Switches between the "C" and the UTF-8 locale. setlocale is process-wide:
// call it between inputs only, never while formatting.
inline void UseLocale(bool utf8) {
  static int current = -1;
  if (current == static_cast<int>(utf8)) return;
  if (std::setlocale(LC_ALL, utf8 ? "C.UTF-8" : "C") == nullptr) std::setlocale(LC_ALL, "C");
  current = utf8;
}

inline void CollectSpill(void* context, const char* data, size_t nBytes) {
  static_cast<std::string*>(context)->append(data, nBytes);
}

}  // namespace razezir_fuzz

#endif  // RAZEZIR_FUZZ_FORMAT_INPUTS_H_
