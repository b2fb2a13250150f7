// The grammar of one conversion in a 16-bit wide format: flags, width,
// precision, length modifier, conversion letter, and the argument each
// conversion reads. It is written once, as constexpr code, and used twice:
// by the library's format engine at run time, and by the trace header's
// compile-time check of literal formats, so that the two cannot disagree
// about which argument a format reads next. Nothing here is exported from
// the library or depends on it; everything is constexpr and keeps no state.
//
// The conventions are those of the library's home platform: bare `%s` and
// `%c` read 16-bit wide arguments, `%S`, `%C`, `%hs` and `%hc` narrow ones,
// and the I, I32, I64 and w modifiers are accepted beside C's.

#ifndef RAZEZIR_INCLUDE_RAZEZIR_FORMAT_GRAMMAR_H_
#define RAZEZIR_INCLUDE_RAZEZIR_FORMAT_GRAMMAR_H_

#include <limits.h>
#include <stdint.h>

namespace razezir {
namespace grammar {

constexpr uint8_t kFlagLeft = 1;   // '-'
constexpr uint8_t kFlagPlus = 2;   // '+'
constexpr uint8_t kFlagSpace = 4;  // ' '
constexpr uint8_t kFlagAlt = 8;    // '#'
constexpr uint8_t kFlagZero = 16;  // '0'

// The length modifier and conversion letter run through a state table, one
// row per prefix seen so far: each entry is either another prefix state or,
// above kStop, the argument the conversion reads. An entry of 0 makes the
// conversion malformed. A table keeps the platform's many spellings (I, I32,
// I64, w) in one place instead of in a thicket of nested switches.
enum State : uint8_t {
  kMalformed,
  kBare,
  kLPre,
  kLLPre,
  kHPre,
  kHHPre,
  kBigLPre,
  kJPre,
  kZPre,
  kTPre,
  kWPre,
  kIPre,
  kI3Pre,
  kI6Pre,
  kI32Pre,
  kI64Pre,
  kStop,
  kArgInt,           // int: d i o u x X, and the I32 forms
  kArgHH,            // int holding a char: hh
  kArgH,             // int holding a short: h
  kArgL,             // long: l
  kArgLL,            // long long: ll, I64
  kArgJ,             // intmax_t: j
  kArgZ,             // size_t: z, I
  kArgT,             // ptrdiff_t: t
  kArgDouble,        // double: e E f F g G a A, alone or after l
  kArgLongDouble,    // long double: L
  kArgWideString,    // const char16_t*: s, ls, lS, ws, wS
  kArgNarrowString,  // const char*: S, hs, hS
  kArgWideChar,      // int holding a 16-bit unit: c, lc, lC, wc, wC
  kArgNarrowChar,    // int holding a char: C, hc, hC
  kArgPointer,       // const void*: p
  kArgCount,         // a pointer: n, after any complete modifier
  kArgPercent,       // %%: takes no argument
};

// Columns run from '%', the lowest unit a conversion can end with, to 'z'.
constexpr char kFirstColumn = '%';
constexpr int kColumns = 'z' - kFirstColumn + 1;

struct StateTable {
  uint8_t next[kStop][kColumns];
};

constexpr void SetStates(StateTable& table, State from, const char* letters,
                         State to) {
  for (; *letters != '\0'; ++letters)
    table.next[from][*letters - kFirstColumn] = to;
}

constexpr StateTable BuildStates() {
  constexpr const char* kInts = "diouxX";
  constexpr const char* kReals = "eEfFgGaA";
  StateTable t{};
  SetStates(t, kBare, kInts, kArgInt);
  SetStates(t, kBare, kReals, kArgDouble);
  // The home platform's wide printf: bare %s and %c are wide, %S and %C the
  // opposite width, i.e. narrow.
  SetStates(t, kBare, "s", kArgWideString);
  SetStates(t, kBare, "S", kArgNarrowString);
  SetStates(t, kBare, "c", kArgWideChar);
  SetStates(t, kBare, "C", kArgNarrowChar);
  SetStates(t, kBare, "p", kArgPointer);
  SetStates(t, kBare, "%", kArgPercent);
  SetStates(t, kBare, "l", kLPre);
  SetStates(t, kBare, "h", kHPre);
  SetStates(t, kBare, "L", kBigLPre);
  SetStates(t, kBare, "j", kJPre);
  SetStates(t, kBare, "z", kZPre);
  SetStates(t, kBare, "t", kTPre);
  SetStates(t, kBare, "w", kWPre);
  SetStates(t, kBare, "I", kIPre);

  SetStates(t, kLPre, kInts, kArgL);
  SetStates(t, kLPre, kReals, kArgDouble);
  SetStates(t, kLPre, "sS", kArgWideString);
  SetStates(t, kLPre, "cC", kArgWideChar);
  SetStates(t, kLPre, "l", kLLPre);
  SetStates(t, kLLPre, kInts, kArgLL);

  SetStates(t, kHPre, kInts, kArgH);
  SetStates(t, kHPre, "sS", kArgNarrowString);
  SetStates(t, kHPre, "cC", kArgNarrowChar);
  SetStates(t, kHPre, "h", kHHPre);
  SetStates(t, kHHPre, kInts, kArgHH);

  SetStates(t, kBigLPre, kReals, kArgLongDouble);
  SetStates(t, kJPre, kInts, kArgJ);
  SetStates(t, kZPre, kInts, kArgZ);
  SetStates(t, kTPre, kInts, kArgT);
  SetStates(t, kWPre, "sS", kArgWideString);
  SetStates(t, kWPre, "cC", kArgWideChar);

  // I is size_t/ptrdiff_t; I32 and I64 name their width.
  SetStates(t, kIPre, kInts, kArgZ);
  SetStates(t, kIPre, "3", kI3Pre);
  SetStates(t, kIPre, "6", kI6Pre);
  SetStates(t, kI3Pre, "2", kI32Pre);
  SetStates(t, kI6Pre, "4", kI64Pre);
  SetStates(t, kI32Pre, kInts, kArgInt);
  SetStates(t, kI64Pre, kInts, kArgLL);

  // %n is accepted after any complete modifier so that its argument is
  // always consumed the same way, whatever it claims to point at.
  constexpr State kComplete[] = {kBare,  kLPre, kLLPre, kHPre,  kHHPre,
                                 kBigLPre, kJPre, kZPre, kTPre,  kWPre,
                                 kIPre,  kI32Pre, kI64Pre};
  for (State s : kComplete) SetStates(t, s, "n", kArgCount);
  return t;
}

inline constexpr StateTable kStates = BuildStates();

// One conversion as parsed from its '%'.
struct Conversion {
  // kMalformed, kArgPercent, or the argument-taking state that names what
  // the conversion reads.
  State state;
  // The prefix state the letter was read in: which length modifier, if any.
  State modifier;
  uint8_t flags;          // kFlag* bits
  bool widthFromArg;      // '*': an int argument precedes the value
  bool precisionFromArg;  // '.*': an int argument precedes the value
  int width;              // 0 when absent
  int precision;          // negative when absent
  char16_t letter;        // the last unit read, for a malformed one too
  // Units from the '%' up to and including the last one that belongs to the
  // conversion. A malformed conversion ends with the unit that made it so,
  // or just before the terminating NUL.
  int nUnits;
};

constexpr uint8_t FlagBit(char16_t c) {
  switch (c) {
    case u'-':
      return kFlagLeft;
    case u'+':
      return kFlagPlus;
    case u' ':
      return kFlagSpace;
    case u'#':
      return kFlagAlt;
    case u'0':
      return kFlagZero;
    default:
      return 0;
  }
}

constexpr bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads a run of digits. On overflow it keeps reading, so that the
// conversion's extent is still known, and reports the overflow.
constexpr const char16_t* ParseCount(const char16_t* s, int* value,
                                     bool* overflow) {
  int n = 0;
  for (; IsDigit(*s); ++s) {
    int digit = *s - u'0';
    if (n > (INT_MAX - digit) / 10) {
      *overflow = true;
    } else {
      n = n * 10 + digit;
    }
  }
  *value = n;
  return s;
}

// Parses the conversion whose '%' is at `percent`.
//
// A conversion is malformed when the units after its flags, width and
// precision spell no length modifier and letter of the table, when the
// format ends inside it, or when a width or precision written as digits
// exceeds INT_MAX, as C's printf fails on those. Smaller ones are taken as
// written; the engine bounds the padding one field may produce.
constexpr Conversion ParseConversion(const char16_t* percent) {
  Conversion c{};
  const char16_t* s = percent + 1;
  for (uint8_t bit = 0; (bit = FlagBit(*s)) != 0; ++s) c.flags |= bit;
  bool overflow = false;
  c.precision = -1;
  if (*s == u'*') {
    c.widthFromArg = true;
    ++s;
  } else {
    s = ParseCount(s, &c.width, &overflow);
  }
  if (*s == u'.') {
    ++s;
    if (*s == u'*') {
      c.precisionFromArg = true;
      ++s;
    } else {
      s = ParseCount(s, &c.precision, &overflow);
    }
  }
  uint8_t state = kBare;
  for (;;) {
    c.modifier = static_cast<State>(state);
    char16_t unit = *s;
    c.letter = unit;
    if (unit == u'\0') {
      state = kMalformed;
      break;
    }
    ++s;
    state = kMalformed;
    if (unit >= kFirstColumn && unit <= u'z')
      state = kStates.next[c.modifier][unit - kFirstColumn];
    if (state == kMalformed || state > kStop) break;
  }
  c.nUnits = static_cast<int>(s - percent);
  c.state = overflow ? kMalformed : static_cast<State>(state);
  return c;
}

// What a format reads from its argument list, one argument at a time, in
// the order the engine reads them: for each conversion, the '*' width, then
// the '*' precision, then the value. Malformed conversions read nothing and
// are reported as they come; the walk goes on after them as the engine's
// does.
class ArgumentWalk {
 public:
  enum Step : uint8_t {
    kEnd,          // the format is exhausted
    kStarWidth,    // an int for a '*' width
    kStarPrecision,  // an int for a '*' precision
    kValue,        // the value of conversion(), whose state says what it is
    kBadConversion,  // conversion() is malformed and reads nothing
  };

  constexpr explicit ArgumentWalk(const char16_t* format)
      : next_(format), format_(format), conversion_{}, pending_(0) {}

  constexpr Step Next() {
    if (pending_ == 0) {
      if (next_ == nullptr) return kEnd;
      for (;;) {
        while (*next_ != u'\0' && *next_ != u'%') ++next_;
        if (*next_ == u'\0') return kEnd;
        start_ = next_;
        conversion_ = ParseConversion(next_);
        next_ += conversion_.nUnits;
        if (conversion_.state == kMalformed) return kBadConversion;
        if (conversion_.state != kArgPercent) break;
      }
      pending_ = kPendingValue;
      if (conversion_.precisionFromArg) pending_ |= kPendingPrecision;
      if (conversion_.widthFromArg) pending_ |= kPendingWidth;
    }
    if ((pending_ & kPendingWidth) != 0) {
      pending_ &= ~kPendingWidth;
      return kStarWidth;
    }
    if ((pending_ & kPendingPrecision) != 0) {
      pending_ &= ~kPendingPrecision;
      return kStarPrecision;
    }
    pending_ = 0;
    return kValue;
  }

  // The conversion the last step belongs to.
  constexpr const Conversion& conversion() const { return conversion_; }
  // Where that conversion's '%' is, in units from the start of the format.
  constexpr int offset() const { return static_cast<int>(start_ - format_); }

 private:
  static constexpr uint8_t kPendingWidth = 1;
  static constexpr uint8_t kPendingPrecision = 2;
  static constexpr uint8_t kPendingValue = 4;

  const char16_t* next_;
  const char16_t* format_;
  const char16_t* start_ = nullptr;
  Conversion conversion_;
  uint8_t pending_;
};

}  // namespace grammar
}  // namespace razezir

#endif  // RAZEZIR_INCLUDE_RAZEZIR_FORMAT_GRAMMAR_H_
