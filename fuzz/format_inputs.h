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
#include <climits>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "format/wide_format.h"
#include "razezir/format_grammar.h"
#include "razezir/trace_arguments.h"

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

// `s` itself when it ends within `precision` (or there is none), else a
// copy of its first `precision` units in a heap block of exactly that size,
// kept in `copies`.
template <typename Char>
const Char* EndingAt(const Char* s, int precision, std::vector<std::unique_ptr<Char[]>>* copies) {
  if (s == nullptr || precision < 0) return s;
  const size_t nUnits = static_cast<size_t>(precision);
  for (size_t i = 0; i < nUnits; ++i) {
    if (s[i] == 0) return s;
  }
  copies->emplace_back(new Char[nUnits]);
  std::copy(s, s + nUnits, copies->back().get());
  return copies->back().get();
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
// `*nUnits` gets the units before it. With `tailAt`, a NUL unit of the
// input ends the format, and `*tailAt` gets where the bytes after it start:
// they are the caller's. It is 0 when no NUL unit ended the format.
inline std::vector<char16_t> ReadFormat(const uint8_t* data, size_t nBytes, size_t* nUnits,
                                        size_t* tailAt = nullptr) {
  std::vector<char16_t> units;
  units.reserve(nBytes / 2 + 1);
  if (tailAt != nullptr) *tailAt = 0;
  for (size_t i = 0; i + 1 < nBytes && units.size() < kMaxFormatUnits; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == u'\0' && tailAt != nullptr) {
      *tailAt = i + 2;
      break;
    }
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

// ---------------------------------------------------------------------------
// Typed arguments (QXSTD::TraceArgument records), as a fuzzed or malformed
// caller of the typed entry point might pass them. Kinds may be any byte,
// 0 and those past the last kind included, and any record may carry count
// bits; values are the input's. What a record points at is pool data only,
// and never less than the engine may read: a NUL-terminated string read
// under a precision ends exactly there (a heap copy, as FuzzArgs makes),
// and a counted string is a heap block of exactly its count of units, or
// of the precision where that cuts it. So any read past what a record
// gives, or past the last record, is an overrun the sanitizer sees.
// ---------------------------------------------------------------------------

using QXSTD::TraceArgument;
using QXSTD::TraceArgumentKind;

inline constexpr size_t kMaxTypedArguments = 48;

inline bool IsIntegerKind(unsigned kind) {
  return kind >= static_cast<unsigned>(TraceArgumentKind::kInt8) &&
         kind <= static_cast<unsigned>(TraceArgumentKind::kChar16);
}

inline bool IsSignedKind(unsigned kind) {
  switch (static_cast<TraceArgumentKind>(kind)) {
    case TraceArgumentKind::kInt8:
    case TraceArgumentKind::kInt16:
    case TraceArgumentKind::kInt32:
    case TraceArgumentKind::kInt64:
      return true;
    case TraceArgumentKind::kChar:
      return CHAR_MIN < 0;
    default:
      return false;
  }
}

// The value an integer of `kind` travels as when its low bits are `raw`'s:
// extended from the kind's width by the kind's sign, as
// arguments::Record makes it.
inline uint64_t CanonicalValue(unsigned kind, uint64_t raw) {
  switch (static_cast<TraceArgumentKind>(kind)) {
    case TraceArgumentKind::kInt8:
      return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(raw)));
    case TraceArgumentKind::kInt16:
      return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(raw)));
    case TraceArgumentKind::kInt32:
      return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)));
    case TraceArgumentKind::kUInt8:
      return static_cast<uint8_t>(raw);
    case TraceArgumentKind::kUInt16:
    case TraceArgumentKind::kChar16:
      return static_cast<uint16_t>(raw);
    case TraceArgumentKind::kUInt32:
      return static_cast<uint32_t>(raw);
    case TraceArgumentKind::kChar:
      return static_cast<uint64_t>(static_cast<int64_t>(static_cast<char>(raw)));
    default:
      return raw;
  }
}

// A '*' width or precision read from an integer record, as the engine
// reads it: an int, the value held at the int's bounds.
inline int StarValue(unsigned kind, uint64_t value) {
  if (IsSignedKind(kind)) {
    const int64_t signedValue = static_cast<int64_t>(value);
    return signedValue > INT_MAX   ? INT_MAX
           : signedValue < INT_MIN ? INT_MIN
                                   : static_cast<int>(signedValue);
  }
  return value > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

template <typename Char>
size_t UnitsOf(const Char* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// The records of one call. Built in two steps: the kinds and values
// (Read, or Match), then Place, which follows the format's reads to find
// the precision each string is read under and makes the heap blocks.
class TypedArguments {
 public:
  // Records from `nBytes` bytes: for each, a kind byte and a selector
  // byte, then by kind:
  //   integers, characters: selector bit 7: 8 bytes of value (little-
  //     endian), else kIntegers[selector]; kept as they are when `raw`,
  //     else extended from the kind's width as a real argument is;
  //   double: bit 7: 8 bytes of bits, else kDoubles[selector];
  //   long double: kLongDoubles[selector];
  //   pointer: one of the pools' addresses, or null, by the selector;
  //   nullptr, unknown kinds: bit 7: 8 bytes of value, else the selector;
  //   strings: a pool string by the selector (a null one too); a counted
  //     one takes a span byte: its offset into the string in the low four
  //     bits, and in the high four how much of the rest, up to the string's
  //     NUL included. A counted string of a null pool string keeps the
  //     span as a count, which nothing may read.
  // Selector bit 6 sets every count bit of a record that has no count.
  void Read(const uint8_t* data, size_t nBytes, bool raw) {
    size_t at = 0;
    auto byte = [&]() -> unsigned { return at < nBytes ? data[at++] : 0; };
    auto word = [&]() {
      uint64_t value = 0;
      for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(byte()) << (8 * i);
      return value;
    };
    while (at < nBytes && records_.size() < kMaxTypedArguments) {
      const unsigned kind = byte();
      const unsigned selector = byte();
      Source source;
      uint64_t value = selector;
      switch (static_cast<TraceArgumentKind>(kind)) {
        case TraceArgumentKind::kDouble:
          value = (selector & 0x80) != 0 ? word()
                                         : DoubleBits(kDoubles[selector % CountOf(kDoubles)]);
          break;
        case TraceArgumentKind::kLongDouble:
          value = LongDoubleValue(selector);
          break;
        case TraceArgumentKind::kPointer:
          value = PointerValue(selector);
          break;
        case TraceArgumentKind::kString:
        case TraceArgumentKind::kString16:
          source.string = selector;
          break;
        case TraceArgumentKind::kCountedString:
        case TraceArgumentKind::kCountedString16:
          source.string = selector;
          source.span = byte();
          break;
        default:
          if ((selector & 0x80) != 0) {
            value = word();
          } else if (IsIntegerKind(kind)) {
            value = static_cast<uint64_t>(kIntegers[selector % CountOf(kIntegers)]);
          }
          if (IsIntegerKind(kind) && !raw) value = CanonicalValue(kind, value);
          break;
      }
      uint64_t header = kind;
      if ((selector & 0x40) != 0 && !IsCounted(kind)) header |= ~uint64_t{0} << 8;
      records_.push_back({header, value});
      sources_.push_back(source);
    }
  }

  // Records that `format` (NUL-terminated) reads as it asks, each of a
  // kind its conversion shows, with values from the pools by `seed`: the
  // calls a host makes, for inputs that give no records.
  void Match(const char16_t* format, unsigned seed) {
    razezir::grammar::ArgumentWalk walk(format);
    for (;;) {
      const auto step = walk.Next();
      if (step == razezir::grammar::ArgumentWalk::kEnd || records_.size() == kMaxTypedArguments) {
        break;
      }
      if (step == razezir::grammar::ArgumentWalk::kBadConversion) continue;
      const unsigned pick = seed++;
      const int64_t integer = kIntegers[pick % CountOf(kIntegers)];
      TraceArgumentKind kind = TraceArgumentKind::kInt32;
      uint64_t value = static_cast<uint64_t>(integer);
      Source source;
      source.string = static_cast<uint8_t>(pick);
      source.span = static_cast<uint8_t>(pick * 37);
      if (step == razezir::grammar::ArgumentWalk::kValue) {
        switch (walk.conversion().state) {
          case razezir::grammar::kArgDouble:
            kind = TraceArgumentKind::kDouble;
            value = DoubleBits(kDoubles[pick % CountOf(kDoubles)]);
            break;
          case razezir::grammar::kArgLongDouble:
            kind = TraceArgumentKind::kLongDouble;
            value = LongDoubleValue(pick);
            break;
          case razezir::grammar::kArgWideString:
          case razezir::grammar::kArgNarrowString: {
            static constexpr TraceArgumentKind kStrings[] = {
                TraceArgumentKind::kString16, TraceArgumentKind::kString,
                TraceArgumentKind::kCountedString16, TraceArgumentKind::kCountedString,
                TraceArgumentKind::kString16, TraceArgumentKind::kString,
                TraceArgumentKind::kNull};
            kind = kStrings[pick % CountOf(kStrings)];
            value = 0;
            break;
          }
          case razezir::grammar::kArgWideChar:
            kind = TraceArgumentKind::kChar16;
            value = kWideChars[pick % CountOf(kWideChars)];
            break;
          case razezir::grammar::kArgNarrowChar:
            kind = TraceArgumentKind::kChar;
            value = static_cast<uint64_t>(kNarrowChars[pick % CountOf(kNarrowChars)]);
            break;
          case razezir::grammar::kArgPointer:
          case razezir::grammar::kArgCount:
            kind = TraceArgumentKind::kPointer;
            value = PointerValue(pick);
            break;
          default:
            // Any integer kind for any integer conversion.
            kind = static_cast<TraceArgumentKind>(pick % 8 + 1);
            break;
        }
      }
      const unsigned kindValue = static_cast<unsigned>(kind);
      if (IsIntegerKind(kindValue)) value = CanonicalValue(kindValue, value);
      records_.push_back({kindValue, value});
      sources_.push_back(source);
    }
  }

  // Who reads the records.
  enum class Order {
    kAsFormatted,  // the format's conversions, each the record it reads
    kAny,          // anything (a made-up parse): no string is cut short
  };

  // Follows the reads of `format` (NUL-terminated) as the engine makes
  // them: for each conversion its '*' width, its '*' precision, then its
  // value, the rest of the conversion's records passed over once a '*'
  // is not an integer. A '*' is reduced modulo `intBound` unless that is
  // 0, so that the fields it sizes stay small; read in any order, every
  // integer is. Then makes the records' heap block (none at all for no
  // records with `nullWhenNone`) and the strings' copies.
  void Place(const char16_t* format, int32_t intBound, bool nullWhenNone,
             Order order = Order::kAsFormatted) {
    namespace grammar = razezir::grammar;
    std::vector<int> precisions(records_.size(), -1);
    grammar::ArgumentWalk walk(format);
    size_t next = 0;
    int conversionAt = -1;
    bool passedOver = false;
    int precision = -1;
    for (;;) {
      const grammar::ArgumentWalk::Step step = walk.Next();
      if (step == grammar::ArgumentWalk::kEnd) break;
      if (step == grammar::ArgumentWalk::kBadConversion) continue;
      if (walk.offset() != conversionAt) {
        conversionAt = walk.offset();
        passedOver = false;
        precision = walk.conversion().precision;
        readBefore_.push_back({static_cast<size_t>(conversionAt), next});
      }
      if (next == records_.size()) continue;  // missing: nothing is read
      TraceArgument& record = records_[next++];
      if (passedOver) continue;
      const unsigned kind = static_cast<unsigned>(record.header & 0xFF);
      if (step == grammar::ArgumentWalk::kValue) {
        const grammar::State state = walk.conversion().state;
        if (order == Order::kAsFormatted &&
            (state == grammar::kArgWideString || state == grammar::kArgNarrowString)) {
          precisions[next - 1] = precision;
        }
        continue;
      }
      if (!IsIntegerKind(kind)) {
        passedOver = true;
        continue;
      }
      Bound(&record, intBound);
      const int star = StarValue(kind, record.value);
      if (step == grammar::ArgumentWalk::kStarPrecision) precision = star < 0 ? -1 : star;
    }
    readTotal_ = next;
    if (order == Order::kAny) {
      for (TraceArgument& record : records_) Bound(&record, intBound);
    }

    for (size_t i = 0; i < records_.size(); ++i) {
      const unsigned kind = static_cast<unsigned>(records_[i].header & 0xFF);
      const Source& source = sources_[i];
      switch (static_cast<TraceArgumentKind>(kind)) {
        case TraceArgumentKind::kString:
          records_[i].value =
              Address(EndingAt(kNarrowStrings[source.string % CountOf(kNarrowStrings)],
                               precisions[i], &narrowCopies_));
          break;
        case TraceArgumentKind::kString16:
          records_[i].value =
              Address(EndingAt(kWideStrings[source.string % CountOf(kWideStrings)],
                               precisions[i], &wideCopies_));
          break;
        case TraceArgumentKind::kCountedString:
          records_[i] = Counted(kind, kNarrowStrings[source.string % CountOf(kNarrowStrings)],
                                source.span, precisions[i], &narrowCopies_);
          break;
        case TraceArgumentKind::kCountedString16:
          records_[i] = Counted(kind, kWideStrings[source.string % CountOf(kWideStrings)],
                                source.span, precisions[i], &wideCopies_);
          break;
        case TraceArgumentKind::kDouble:
        case TraceArgumentKind::kLongDouble:
          hasReal_ = true;
          break;
        default:
          break;
      }
    }
    if (!records_.empty() || !nullWhenNone) {
      block_.reset(new TraceArgument[records_.size()]);
      std::copy(records_.begin(), records_.end(), block_.get());
    }
  }

  // The records: a heap block of exactly count() of them, or null.
  const TraceArgument* data() const { return block_.get(); }
  size_t count() const { return records_.size(); }
  // How many records the conversions before unit `offset` of the format
  // read, or would read if there were enough.
  size_t ReadBefore(size_t offset) const {
    for (const auto& start : readBefore_) {
      if (start.first >= offset) return std::min(start.second, records_.size());
    }
    return readTotal_;
  }
  // Whether a double or long double is among the records.
  bool hasReal() const { return hasReal_; }

 private:
  struct Source {
    uint8_t string = 0;  // the pool string, by index
    uint8_t span = 0;    // a counted string's offset and length
  };

  // Reduces an integer record modulo `intBound`, unless that is 0.
  static void Bound(TraceArgument* record, int32_t intBound) {
    const unsigned kind = static_cast<unsigned>(record->header & 0xFF);
    if (intBound == 0 || !IsIntegerKind(kind)) return;
    record->value = IsSignedKind(kind)
                        ? static_cast<uint64_t>(static_cast<int64_t>(record->value) % intBound)
                        : record->value % static_cast<uint64_t>(intBound);
  }
  static bool IsCounted(unsigned kind) {
    return kind == static_cast<unsigned>(TraceArgumentKind::kCountedString) ||
           kind == static_cast<unsigned>(TraceArgumentKind::kCountedString16);
  }
  static uint64_t DoubleBits(double real) {
    uint64_t bits;
    std::memcpy(&bits, &real, sizeof bits);
    return bits;
  }
  static uint64_t Address(const void* pointer) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
  }
  static uint64_t LongDoubleValue(unsigned selector) {
    const long double& real = kLongDoubles[selector % CountOf(kLongDoubles)];
#if RAZEZIR_LONG_DOUBLE_IS_DOUBLE
    return DoubleBits(static_cast<double>(real));
#else
    return Address(&real);
#endif  // RAZEZIR_LONG_DOUBLE_IS_DOUBLE
  }
  static uint64_t PointerValue(unsigned selector) {
    switch (selector % 5) {
      case 0:
        return Address(&kReadOnlyTarget);
      case 1:
        return Address(kNarrowStrings[0]);
      case 2:
        return Address(kWideStrings[0]);
      case 3:
        return Address(&kLongDoubles[0]);
      default:
        return 0;
    }
  }

  // A counted string of `s` as `span` says, in a heap block of exactly its
  // units, or of `precision` of them where that is fewer.
  template <typename Char>
  static TraceArgument Counted(unsigned kind, const Char* s, unsigned span, int precision,
                               std::vector<std::unique_ptr<Char[]>>* copies) {
    if (s == nullptr) return {kind | static_cast<uint64_t>(span) << 48, 0};
    const size_t nUnits = UnitsOf(s);
    const size_t offset = (span & 0xF) % (nUnits + 1);
    const size_t nAfter = nUnits - offset + 1;  // the NUL is the string's too
    const size_t count = (span >> 4) * nAfter / 15;
    const size_t nKept =
        precision >= 0 && static_cast<size_t>(precision) < count ? static_cast<size_t>(precision)
                                                                 : count;
    copies->emplace_back(new Char[nKept]);
    std::copy(s + offset, s + offset + nKept, copies->back().get());
    return {kind | static_cast<uint64_t>(count) << 8, Address(copies->back().get())};
  }

  std::vector<TraceArgument> records_;
  std::vector<Source> sources_;
  std::unique_ptr<TraceArgument[]> block_;
  // For each conversion that reads records, from its '%': how many the
  // conversions before it read.
  std::vector<std::pair<size_t, size_t>> readBefore_;
  size_t readTotal_ = 0;
  bool hasReal_ = false;
  std::vector<std::unique_ptr<char[]>> narrowCopies_;
  std::vector<std::unique_ptr<char16_t[]>> wideCopies_;
};

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
