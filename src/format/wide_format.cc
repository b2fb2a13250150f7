// The core of the wide printf engine: the format parser, the field renderers
// and the narrowing of 16-bit text to the current locale's encoding, plus the
// va_list front end. Integers, strings and characters are rendered here;
// only the digits of floating-point values come from the C runtime, because
// correctly rounded decimal conversion is not worth reinventing.
//
// Nothing here is shared between calls and the engine never calls setlocale:
// concurrent calls are safe. A call reads the locale once, at its first unit
// beyond ASCII, and narrows all its text under what it read; where the
// platform encodes by that reading alone (Windows), a locale that another
// thread changes meanwhile shows from the next call on, never halfway
// through one. Elsewhere the C runtime's own rule holds: the locale is not
// changed under a conversion.

#include "format/wide_format.h"

#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif  // defined(__SSE2__)

#include "format/wide_format_impl.h"
#include "platform/port.h"
#include "razezir/format_grammar.h"

namespace razezir {

namespace {

// ---------------------------------------------------------------------------
// Narrowing 16-bit text.
//
// Notes on malformed input. The units are meant to be UTF-16, but any
// sequence of units is accepted and none stops the conversion:
//   - a high surrogate directly followed by a low one is one code point;
//   - any other surrogate (a lone half, or a pair cut by the end of the run)
//     is written as '?';
//   - a code point the locale cannot express is written as '?';
//   - U+0000 inside a counted run is written as a NUL byte.
// '?' rather than U+FFFD because the replacement must exist in every narrow
// encoding, and rather than failing the call because a trace line with one
// bad character is still worth more than no line.
// ---------------------------------------------------------------------------

// Room one code point may need: its bytes plus a return to the initial shift
// state in a stateful encoding.
constexpr size_t kMaxCodePointBytes = 2 * MB_LEN_MAX;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

size_t EncodeUtf8(char32_t c, char* dst) {
  if (IsSurrogate(c)) {
    dst[0] = '?';
    return 1;
  }
  if (c < 0x800) {
    dst[0] = static_cast<char>(0xC0 | (c >> 6));
    dst[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    dst[0] = static_cast<char>(0xE0 | (c >> 12));
    dst[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    dst[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  dst[0] = static_cast<char>(0xF0 | (c >> 18));
  dst[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  dst[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  dst[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

size_t EncodeWithRuntime(const platform::LocaleSnapshot& locale, char32_t c, char* dst) {
  // A 16-bit wchar_t cannot carry an astral code point, and surrogates are
  // not characters in any encoding even where wcrtomb would pass them on.
  if (IsSurrogate(c) || c > WCHAR_MAX) {
    dst[0] = '?';
    return 1;
  }
  const size_t nBytes = platform::EncodeInLocale(locale, static_cast<wchar_t>(c), dst);
  if (nBytes == static_cast<size_t>(-1)) {
    dst[0] = '?';
    return 1;
  }
  return nBytes;
}

// Reads the locale for the call, once: every later character of the call
// is encoded under what it read, whatever other threads do to the locale.
void TakeLocale(Narrowing* narrowing) {
  narrowing->locale = platform::SnapshotLocale();
  narrowing->charset = ClassifyLocale(narrowing->locale);
}

size_t EncodeCodePoint(Narrowing* narrowing, char32_t c, char* dst) {
  if (narrowing->charset == Charset::kUnknown) TakeLocale(narrowing);
  switch (narrowing->charset) {
    case Charset::kUtf8:
      return EncodeUtf8(c, dst);
    case Charset::kRuntime:
      return EncodeWithRuntime(narrowing->locale, c, dst);
    case Charset::kUnknown:
    case Charset::kAscii:
      break;
  }
  dst[0] = '?';
  return 1;
}

// Copies units from `text` as bytes for as long as `inRun(p)` says the unit
// at `p` is ASCII and belongs to the run, and returns where it stopped.
// Nearly every unit of a trace line comes through here, in runs of a few
// units between conversions. Finding the end of a run first and copying it
// after loads each unit twice and sets up a vector copy for a handful of
// units; testing and copying each unit in one step costs less for them.
template <typename InRun>
const char16_t* CopyAsciiRun(OutBuffer* sink, const char16_t* text,
                             InRun inRun) {
  while (inRun(text)) {
    char* dst = sink->Reserve(1);
    if (dst == nullptr) {
      // The buffer is full for good: the run is consumed all the same.
      while (inRun(text)) ++text;
      return text;
    }
    const size_t room = sink->room();
    size_t n = 0;
    do {
      dst[n] = static_cast<char>(text[n]);
      ++n;
    } while (n < room && inRun(text + n));
    sink->Commit(n);
    text += n;
  }
  return text;
}

// Narrows units from `text`, the first of which is not ASCII, until `atEnd`
// says stop or an ASCII unit comes. A low surrogate is never ASCII, so
// looking one unit past a high surrogate is safe whenever `atEnd` is false
// there. Returns where it stopped.
template <typename AtEnd>
const char16_t* NarrowNonAscii(OutBuffer* sink, Narrowing* narrowing,
                               const char16_t* text, AtEnd atEnd) {
  do {
    char32_t c = *text++;
    if (IsHighSurrogate(c) && !atEnd(text) && IsLowSurrogate(*text)) {
      c = 0x10000 + ((c - 0xD800) << 10) + (*text++ - 0xDC00);
    }
    char* dst = sink->Reserve(kMaxCodePointBytes);
    if (dst == nullptr) {
      // A code point without room is dropped, and with it the rest of the
      // text, consumed unwritten: the room left, short of a code point's
      // worst case, may still hold the ASCII after it, which would then
      // stand where the code point belongs.
      while (!atEnd(text)) ++text;
      return text;
    }
    sink->Commit(EncodeCodePoint(narrowing, c, dst));
  } while (!atEnd(text) && *text >= 0x80);
  return text;
}

// Narrows units from `text` until `atEnd` says stop and returns where it
// stopped. `inAsciiRun(p)` says that the unit at `p` is ASCII and that
// `atEnd` would not stop there.
template <typename AtEnd, typename InAsciiRun>
const char16_t* Narrow(OutBuffer* sink, Narrowing* narrowing, const char16_t* text,
                       AtEnd atEnd, InAsciiRun inAsciiRun) {
  for (;;) {
    text = CopyAsciiRun(sink, text, inAsciiRun);
    if (atEnd(text)) return text;
    text = NarrowNonAscii(sink, narrowing, text, atEnd);
  }
}

// The unit is neither NUL nor beyond ASCII, in one comparison.
bool IsNonNulAscii(char16_t c) { return static_cast<uint16_t>(c - 1) < 0x7F; }

void NarrowCounted(OutBuffer* sink, Narrowing* narrowing, const char16_t* text,
                   size_t nUnits) {
  if (text == nullptr) return;
  const char16_t* end = text + nUnits;
  Narrow(
      sink, narrowing, text, [end](const char16_t* p) { return p == end; },
      [end](const char16_t* p) { return p != end && *p < 0x80; });
}

void NarrowTerminated(OutBuffer* sink, Narrowing* narrowing, const char16_t* text) {
  Narrow(
      sink, narrowing, text, [](const char16_t* p) { return *p == u'\0'; },
      [](const char16_t* p) { return IsNonNulAscii(*p); });
}

// Narrows format text up to the next '%' or the terminating NUL and returns
// where it stopped.
const char16_t* NarrowLiteral(OutBuffer* sink, Narrowing* narrowing,
                              const char16_t* text) {
  return Narrow(
      sink, narrowing, text,
      [](const char16_t* p) { return *p == u'\0' || *p == u'%'; },
      [](const char16_t* p) { return IsNonNulAscii(*p) && *p != u'%'; });
}

// Codeset names compared the way the C runtimes spell them variously:
// "UTF-8", "utf8", "ANSI_X3.4-1968", "US-ASCII".
bool CodesetIs(const char* codeset, const char* want) {
  for (;; ++codeset) {
    char c = *codeset;
    if (c == '-' || c == '_') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *want) return false;
    if (c == '\0') return true;
    ++want;
  }
}

// ---------------------------------------------------------------------------
// Parsing. The grammar of a conversion lives in razezir/format_grammar.h,
// which the trace header's compile-time check of literal formats shares, so
// that the engine and the check cannot drift apart.
//
// Malformed conversions are written out literally, from the '%' through the
// offending unit, and read no argument at all: the whole conversion is parsed
// before anything is read, so a '*' in a malformed conversion does not consume
// the int it would have. Reading it would shift every later argument, and a
// caller who wrote a bad conversion has more likely forgotten an argument than
// added one.
//
// Widths and precisions written as digits that exceed INT_MAX make the
// conversion malformed too, as C's printf fails on them. Smaller ones are
// taken as written; the padding they may produce is bounded when the field
// is rendered (kMaxFieldPadding).
// ---------------------------------------------------------------------------

using grammar::State;

struct ArgInfo {
  FieldArg arg;
  IntArg intArg;
  uint8_t intBits;
};

// The C type behind each argument-taking state. Indexed by State - kArgInt.
constexpr ArgInfo kArgInfo[] = {
    {FieldArg::kInteger, IntArg::kInt, CHAR_BIT * sizeof(int)},
    {FieldArg::kInteger, IntArg::kInt, CHAR_BIT * sizeof(char)},
    {FieldArg::kInteger, IntArg::kInt, CHAR_BIT * sizeof(short)},
    {FieldArg::kInteger, IntArg::kLong, CHAR_BIT * sizeof(long)},
    {FieldArg::kInteger, IntArg::kLongLong, CHAR_BIT * sizeof(long long)},
    {FieldArg::kInteger, IntArg::kIntMax, CHAR_BIT * sizeof(intmax_t)},
    {FieldArg::kInteger, IntArg::kSize, CHAR_BIT * sizeof(size_t)},
    {FieldArg::kInteger, IntArg::kPtrDiff, CHAR_BIT * sizeof(ptrdiff_t)},
    {FieldArg::kDouble, IntArg::kInt, 0},
    {FieldArg::kLongDouble, IntArg::kInt, 0},
    {FieldArg::kWideString, IntArg::kInt, 0},
    {FieldArg::kNarrowString, IntArg::kInt, 0},
    {FieldArg::kWideChar, IntArg::kInt, 0},
    {FieldArg::kNarrowChar, IntArg::kInt, 0},
    {FieldArg::kPointer, IntArg::kInt, 0},
    {FieldArg::kCount, IntArg::kInt, 0},
};
static_assert(sizeof(kArgInfo) / sizeof(kArgInfo[0]) ==
                  grammar::kArgPercent - grammar::kArgInt,
              "one ArgInfo per argument-taking state");

// The width, in bits, of the integer that a length modifier names, or 0
// for none (and for those that name no integer).
uint8_t ModifierBits(State modifier) {
  switch (modifier) {
    case grammar::kHHPre:
      return CHAR_BIT * sizeof(char);
    case grammar::kHPre:
      return CHAR_BIT * sizeof(short);
    case grammar::kLPre:
      return CHAR_BIT * sizeof(long);
    case grammar::kLLPre:
      return CHAR_BIT * sizeof(long long);
    case grammar::kJPre:
      return CHAR_BIT * sizeof(intmax_t);
    case grammar::kZPre:
    case grammar::kIPre:
      return CHAR_BIT * sizeof(size_t);
    case grammar::kTPre:
      return CHAR_BIT * sizeof(ptrdiff_t);
    case grammar::kI32Pre:
      return 32;
    case grammar::kI64Pre:
      return 64;
    default:
      return 0;
  }
}

// Parses the conversion whose '%' is at `s` into `*field`. Returns the final
// state (kMalformed, kArgPercent or an argument-taking state) and sets `*end`
// past the last unit that belongs to the conversion.
State ParseField(const char16_t* s, Field* field, const char16_t** end) {
  // Most conversions are a letter, or a length modifier and a letter ("%d",
  // "%s", "%hs", "%I64u"). No flag, digit, '*' or '.' is a column of the
  // table that such a walk starts in, so the general parse would come to
  // the same state through the same table, after a walk over flags, width
  // and precision that finds none of them.
  uint8_t state = grammar::kBare;
  uint8_t modifier = grammar::kBare;
  const char16_t* p = s + 1;
  while (state != grammar::kMalformed && state < grammar::kStop) {
    const char16_t c = *p++;
    modifier = state;
    state = c >= grammar::kFirstColumn && c <= u'z'
                ? grammar::kStates.next[state][c - grammar::kFirstColumn]
                : static_cast<uint8_t>(grammar::kMalformed);
  }
  if (state > grammar::kStop) {
    *end = p;
    field->modifierBits = ModifierBits(static_cast<State>(modifier));
    field->flags = 0;
    field->widthFromArg = false;
    field->precisionFromArg = false;
    field->width = 0;
    field->precision = -1;
    field->conversion = static_cast<char>(p[-1]);
    return static_cast<State>(state);
  }
  const grammar::Conversion c = grammar::ParseConversion(s);
  *end = s + c.nUnits;
  field->modifierBits = ModifierBits(c.modifier);
  field->flags = c.flags;
  field->widthFromArg = c.widthFromArg;
  field->precisionFromArg = c.precisionFromArg;
  field->width = c.width;
  field->precision = c.precision;
  field->conversion = static_cast<char>(c.letter);
  return c.state;
}

// ---------------------------------------------------------------------------
// Rendering.
// ---------------------------------------------------------------------------

}  // namespace

extern const char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536"
    "37383940414243444546474849505152535455565758596061626364656667686970717273"
    "7475767778798081828384858687888990919293949596979899";

namespace {

constexpr char kLowerHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

// Enough for 64-bit octal (22 digits) and a sign or "0x".
constexpr size_t kIntegerBytes = 32;

// A width or numeric precision as far as it is honoured: a larger one
// counts as kMaxFieldPadding.
int Bounded(int count) {
  return count < kMaxFieldPadding ? count : kMaxFieldPadding;
}

size_t PaddingFor(const Field& field, size_t nUnits) {
  size_t width = static_cast<size_t>(Bounded(field.width));
  return width > nUnits ? width - nUnits : 0;
}

// Writes leading padding, `prefix`, `nZeros` zeros, `body` and trailing
// padding. The field's width counts prefix, zeros and body as one unit
// each, which they are for every caller.
void AppendField(OutBuffer* out, const Field& field, const char* prefix,
                 size_t nPrefix, size_t nZeros, const char* body,
                 size_t nBody) {
  size_t nPad = PaddingFor(field, nPrefix + nZeros + nBody);
  bool left = (field.flags & kFlagLeft) != 0;
  if (!left) out->AppendRepeated(' ', nPad);
  out->Append(prefix, nPrefix);
  out->AppendRepeated('0', nZeros);
  out->Append(body, nBody);
  if (left) out->AppendRepeated(' ', nPad);
}

// Digits of `value` in the conversion's base.
size_t CountDigits(uint64_t value, char conversion) {
  size_t n = 1;
  if (conversion == 'o' || conversion == 'x' || conversion == 'X') {
    unsigned shift = conversion == 'o' ? 3 : 4;
    while ((value >>= shift) != 0) ++n;
    return n;
  }
  for (;;) {
    if (value < 10) return n;
    if (value < 100) return n + 1;
    if (value < 1000) return n + 2;
    if (value < 10000) return n + 3;
    value /= 10000;
    n += 4;
  }
}

// Writes the digits of `value` so that they end at `end`.
void WriteDigits(uint64_t value, char conversion, char* end) {
  char* p = end;
  switch (conversion) {
    case 'o':
      do {
        *--p = static_cast<char>('0' + (value & 7));
        value >>= 3;
      } while (value != 0);
      return;
    case 'x':
    case 'X': {
      const char* digits = conversion == 'x' ? kLowerHex : kUpperHex;
      do {
        *--p = digits[value & 15];
        value >>= 4;
      } while (value != 0);
      return;
    }
    default:
      break;
  }
  // Four digits per 64-bit division: the two pairs within each group
  // come from 32-bit arithmetic off the chain of long divisions, which is
  // what bounds the speed here.
  while (value >= 10000) {
    uint64_t quotient = value / 10000;
    uint32_t group = static_cast<uint32_t>(value - quotient * 10000);
    value = quotient;
    p -= 4;
    std::memcpy(p, kDigitPairs + 2 * (group / 100), 2);
    std::memcpy(p + 2, kDigitPairs + 2 * (group % 100), 2);
  }
  uint32_t rest = static_cast<uint32_t>(value);
  if (rest >= 100) {
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * (rest % 100), 2);
    rest /= 100;
  }
  if (rest >= 10) {
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * rest, 2);
  } else {
    *--p = static_cast<char>('0' + rest);
  }
}

// Reduces the argument to the C type the modifier names, whatever the
// argument source handed over beyond it, and returns its magnitude; `*sign`
// gets the sign to write before it, or '\0' for none.
uint64_t Magnitude(const Field& field, uint64_t bits, char* sign) {
  uint64_t mask = ~uint64_t{0};
  if (field.intBits < 64) mask = (uint64_t{1} << field.intBits) - 1;
  uint64_t value = bits & mask;
  *sign = '\0';
  if (field.conversion != 'd' && field.conversion != 'i') return value;
  uint64_t signBit = uint64_t{1} << (field.intBits - 1);
  if ((value & signBit) != 0) {
    *sign = '-';
    return ((~value) & mask) + 1;  // exact even for the minimum
  }
  if ((field.flags & kFlagPlus) != 0) {
    *sign = '+';
  } else if ((field.flags & kFlagSpace) != 0) {
    *sign = ' ';
  }
  return value;
}

// The zeros that the precision, or '#' with 'o', put before the digits.
size_t PrecisionZeros(const Field& field, uint64_t value, size_t nDigits) {
  if (field.precision > 0) {
    const size_t nZeros = static_cast<size_t>(Bounded(field.precision));
    if (nZeros > nDigits) return nZeros - nDigits;
  }
  // '#' with 'o' makes the first digit a 0; a value of 0 already has one.
  if (field.conversion == 'o' && (field.flags & kFlagAlt) != 0 &&
      (nDigits == 0 || value != 0)) {
    return 1;
  }
  return 0;
}

// Writes what goes before the zeros and digits, the sign or the "0x" of
// '#x', to `prefix` (two bytes) and returns its length.
size_t IntegerPrefix(const Field& field, char sign, uint64_t value,
                     char* prefix) {
  if (sign != '\0') {
    prefix[0] = sign;
    return 1;
  }
  if ((field.flags & kFlagAlt) != 0 && value != 0 &&
      (field.conversion == 'x' || field.conversion == 'X')) {
    prefix[0] = '0';
    prefix[1] = field.conversion;
    return 2;
  }
  return 0;
}

void RenderInteger(OutBuffer* out, const Field& field, uint64_t bits) {
  char sign;
  const uint64_t value = Magnitude(field, bits, &sign);
  // An explicit precision of 0 prints no digits for 0.
  const size_t nDigits = value != 0 || field.precision != 0
                             ? CountDigits(value, field.conversion)
                             : 0;
  size_t nZeros = PrecisionZeros(field, value, nDigits);
  char prefix[2];
  const size_t nPrefix = IntegerPrefix(field, sign, value, prefix);

  if (field.width == 0 && nZeros <= kIntegerBytes) {
    // The common case, with no padding and few zeros if any ("%.8X"):
    // everything straight into the buffer, which is asked for no more room
    // than the field takes.
    const size_t nBytes = nPrefix + nZeros + nDigits;
    char* dst = out->Reserve(nBytes);
    if (dst == nullptr) return;
    for (size_t i = 0; i < nPrefix; ++i) dst[i] = prefix[i];
    for (size_t i = 0; i < nZeros; ++i) dst[nPrefix + i] = '0';
    if (nDigits > 0) WriteDigits(value, field.conversion, dst + nBytes);
    out->Commit(nBytes);
    return;
  }
  char digits[kIntegerBytes];
  if (nDigits > 0) WriteDigits(value, field.conversion, digits + nDigits);
  // The '0' flag pads with zeros after the prefix, unless a precision or
  // '-' says otherwise.
  if ((field.flags & (kFlagZero | kFlagLeft)) == kFlagZero &&
      field.precision < 0) {
    nZeros += PaddingFor(field, nPrefix + nZeros + nDigits);
  }
  AppendField(out, field, prefix, nPrefix, nZeros, digits, nDigits);
}

void RenderPointer(OutBuffer* out, const Field& field, const void* p) {
  // The home platform's style: every digit of the pointer, upper case, no
  // "0x", so that pointers line up in a column.
  constexpr size_t kDigits = 2 * sizeof(void*);
  char digits[kDigits];
  uintptr_t value = reinterpret_cast<uintptr_t>(p);
  for (size_t i = kDigits; i > 0; --i) {
    digits[i - 1] = kUpperHex[value & 15];
    value >>= 4;
  }
  AppendField(out, field, nullptr, 0, 0, digits, kDigits);
}

// The runtime's format for a real field: its flags, a precision taken as
// an argument, the length modifier and the conversion. Width and the '0' and
// '-' flags are left out: padding is added afterwards, around the zeros the
// runtime is not asked for.
void BuildRuntimeFormat(const Field& field, bool isLong, char (&format)[12]) {
  size_t nFormat = 0;
  format[nFormat++] = '%';
  if ((field.flags & kFlagPlus) != 0) format[nFormat++] = '+';
  if ((field.flags & kFlagSpace) != 0) format[nFormat++] = ' ';
  if ((field.flags & kFlagAlt) != 0) format[nFormat++] = '#';
  if (field.precision >= 0) {
    format[nFormat++] = '.';
    format[nFormat++] = '*';
  }
  if (isLong) format[nFormat++] = 'L';
  format[nFormat++] = field.conversion;
  format[nFormat] = '\0';
}

// Small enough for any stack the tracer runs on, large enough for the
// precisions trace lines use, and for %f of any double at the default one.
// Longer renderings take one exact-size retry on the heap.
constexpr size_t kRealStackBytes = 512;

// The runtime's rendering of one real value, on the stack or, when longer,
// on the heap.
class RealText {
 public:
  RealText() = default;
  ~RealText() { std::free(heap_); }
  RealText(const RealText&) = delete;
  RealText& operator=(const RealText&) = delete;

  // Renders `value` with `format` (a precision argument when `precision` is
  // not negative). Returns false should the runtime fail, or a long
  // rendering need memory that cannot, or may not, be had.
  template <typename Real>
  bool Print(const char* format, int precision, Real value, bool mayAllocate) {
    int printed = Run(stack_, sizeof stack_, format, precision, value);
    if (printed < 0) return false;
    nBytes_ = static_cast<size_t>(printed);
    if (nBytes_ >= sizeof stack_) {
      if (!mayAllocate) return false;
      heap_ = static_cast<char*>(std::malloc(nBytes_ + 1));
      if (heap_ == nullptr) return false;
      Run(heap_, nBytes_ + 1, format, precision, value);
    }
    platform::UseLocaleDecimalPoint(heap_ != nullptr ? heap_ : stack_, nBytes_);
    return true;
  }

  const char* data() const { return heap_ != nullptr ? heap_ : stack_; }
  size_t size() const { return nBytes_; }

 private:
  template <typename Real>
  static int Run(char* buffer, size_t nBytes, const char* format,
                 int precision, Real value) {
    return precision >= 0 ? std::snprintf(buffer, nBytes, format, precision, value)
                          : std::snprintf(buffer, nBytes, format, value);
  }

  char stack_[kRealStackBytes];
  char* heap_ = nullptr;
  size_t nBytes_ = 0;
};

// Where the zeros beyond the runtime's precision go in `text`: before the
// exponent, or at the end.
size_t ExtraZerosAt(char conversion, const char* text, size_t nText) {
  if (conversion == 'f' || conversion == 'F') return nText;
  char marker = conversion == 'a'   ? 'p'
                : conversion == 'A' ? 'P'
                : conversion == 'e' || conversion == 'g' ? 'e'
                                                         : 'E';
  const void* found = std::memchr(text, marker, nText);
  return found != nullptr
             ? static_cast<size_t>(static_cast<const char*>(found) - text)
             : nText;
}

// The length of what zero padding goes after: the sign, and %a's "0x".
size_t RealLead(char conversion, const char* text, size_t nText) {
  size_t nLead = 0;
  if (nText > 0 && (text[0] == '-' || text[0] == '+' || text[0] == ' '))
    nLead = 1;
  if ((conversion == 'a' || conversion == 'A') && nText >= nLead + 2 &&
      text[nLead] == '0' && (text[nLead + 1] == 'x' || text[nLead + 1] == 'X')) {
    nLead += 2;
  }
  return nLead;
}

// Writes the runtime's `text` with `nExtraZeros` zeros inserted at
// `nInsert`, padded to the field's width: with spaces, or with zeros after
// the lead for a finite value under the '0' flag.
void AppendPaddedReal(OutBuffer* out, const Field& field, bool finite,
                      const char* text, size_t nText, size_t nInsert,
                      size_t nExtraZeros) {
  if (field.width == 0 && nExtraZeros == 0) {
    out->Append(text, nText);
    return;
  }
  const size_t nLead = RealLead(field.conversion, text, nText);
  const size_t nPad = PaddingFor(field, nText + nExtraZeros);
  const bool left = (field.flags & kFlagLeft) != 0;
  const bool zeroPad = finite && !left && (field.flags & kFlagZero) != 0;
  if (!left && !zeroPad) out->AppendRepeated(' ', nPad);
  out->Append(text, nLead);
  if (zeroPad) out->AppendRepeated('0', nPad);
  out->Append(text + nLead, nInsert - nLead);
  out->AppendRepeated('0', nExtraZeros);
  out->Append(text + nInsert, nText - nInsert);
  if (left) out->AppendRepeated(' ', nPad);
}

// The fixed digits of a finite double's magnitude at `precision` (0 to
// kExactPrecision), with `point` before the fraction, written to `out` by
// integer arithmetic: the double is an integer times a power of two, so its
// value times 10^precision is that integer times 5^precision times a power
// of two, which is rounded to the nearest integer, ties to even, as printf
// rounds. Returns the bytes written, or 0 when the value is too large for
// 64-bit arithmetic (std::to_chars then renders it).
#if defined(__SIZEOF_INT128__)
using ExactProduct = unsigned __int128;
constexpr int kExactPrecision = 9;
#else
using ExactProduct = uint64_t;
constexpr int kExactPrecision = 4;
#endif  // defined(__SIZEOF_INT128__)
constexpr uint32_t kPowersOf5[] = {1, 5, 25, 125, 625, 3125, 15625, 78125, 390625, 1953125};
constexpr uint32_t kPowersOf10[] = {1,      10,      100,      1000,      10000,
                                    100000, 1000000, 10000000, 100000000, 1000000000};
static_assert(sizeof(kPowersOf5) / sizeof(kPowersOf5[0]) > kExactPrecision, "a power a precision");

size_t ExactFixedDigits(double magnitude, int precision, char point, char* out) {
  constexpr int kProductBits = 8 * sizeof(ExactProduct);
  uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  if (biased != 0) mantissa |= uint64_t{1} << 52;
  // magnitude = mantissa * 2^shift; times 10^precision, scaled * 2^shift.
  int shift = (biased != 0 ? biased : 1) - 1075 + precision;
  const ExactProduct scaled = ExactProduct{mantissa} * kPowersOf5[precision];
  uint64_t rounded;
  if (shift >= 0) {
    if (shift >= 64 || (scaled >> (64 - shift)) != 0) return 0;
    rounded = static_cast<uint64_t>(scaled << shift);
  } else if (-shift >= kProductBits) {
    rounded = 0;  // Below a quarter of the last digit: rounds to 0.
  } else {
    const int down = -shift;
    const ExactProduct quotient = scaled >> down;
    if ((quotient >> 63 >> 1) != 0) return 0;
    const ExactProduct rest = scaled - (quotient << down);
    const ExactProduct half = ExactProduct{1} << (down - 1);
    rounded = static_cast<uint64_t>(quotient);
    if (rest > half || (rest == half && (rounded & 1) != 0)) ++rounded;
  }
  const uint64_t whole = rounded / kPowersOf10[precision];
  size_t n = CountDigits(whole, 'd');
  WriteDigits(whole, 'd', out + n);
  if (precision > 0) {
    out[n++] = point;
    uint64_t fraction = rounded - whole * kPowersOf10[precision];
    for (int i = precision - 1; i >= 0; --i) {
      out[n + static_cast<size_t>(i)] = static_cast<char>('0' + fraction % 10);
      fraction /= 10;
    }
    n += static_cast<size_t>(precision);
  }
  return n;
}

// %f and %F of a finite double, rendered with std::to_chars: exact, as the
// runtime's printf is, at a fraction of its cost, with the locale's decimal
// point put in. Returns false, having written nothing, when the digits do
// not fit the stack or the locale's decimal point is not one byte; the
// runtime renders those.
bool RenderFixed(OutBuffer* out, const Field& field, double value, int precision,
                 size_t nExtraZeros) {
  const char* point = platform::LocaleDecimalPoint();
  if (point == nullptr || point[0] == '\0' || point[1] != '\0') return false;
  char text[kRealStackBytes];
  size_t n = 0;
  if (std::signbit(value)) {
    text[n++] = '-';
  } else if ((field.flags & kFlagPlus) != 0) {
    text[n++] = '+';
  } else if ((field.flags & kFlagSpace) != 0) {
    text[n++] = ' ';
  }
  const int digits = precision >= 0 ? precision : 6;
  const size_t nExact = digits <= kExactPrecision
                            ? ExactFixedDigits(std::fabs(value), digits, point[0], text + n)
                            : 0;
  if (nExact > 0) {
    n += nExact;
  } else {
    // One byte is kept for the point that '#' adds to a fraction of none.
    const std::to_chars_result result = std::to_chars(
        text + n, text + sizeof text - 1, std::fabs(value), std::chars_format::fixed, digits);
    if (result.ec != std::errc()) return false;
    n = static_cast<size_t>(result.ptr - text);
    if (digits > 0 && point[0] != '.') {
      *static_cast<char*>(std::memchr(text, '.', n)) = point[0];
    }
  }
  if (digits == 0 && (field.flags & kFlagAlt) != 0) text[n++] = point[0];
  AppendPaddedReal(out, field, true, text, n, n, nExtraZeros);
  return true;
}

template <typename Real>
void RenderReal(OutBuffer* out, const Field& field, Real value) {
  constexpr bool kLong = std::is_same<Real, long double>::value;
  // Past this many fraction digits every value of the type is exact, so any
  // further digit the runtime would print is a zero. Capping the precision
  // there keeps a hostile %.2147483647f from asking the runtime for
  // gigabytes; the zeros are added here instead, as many as the bounded
  // precision asks for. The cap also exceeds the largest decimal exponent,
  // so %g picks the same style either way.
  constexpr int kMaxRuntimePrecision =
      (kLong ? LDBL_MANT_DIG - LDBL_MIN_EXP : DBL_MANT_DIG - DBL_MIN_EXP) + 16;
  static_assert(
      kMaxRuntimePrecision > (kLong ? LDBL_MAX_10_EXP : DBL_MAX_10_EXP),
      "precision cap would change %g's choice of style");

  int precision = Bounded(field.precision);
  size_t nExtraZeros = 0;
  if (precision > kMaxRuntimePrecision) {
    nExtraZeros = static_cast<size_t>(precision - kMaxRuntimePrecision);
    precision = kMaxRuntimePrecision;
  }
  if constexpr (!kLong) {
    if ((field.conversion == 'f' || field.conversion == 'F') && std::isfinite(value) &&
        RenderFixed(out, field, value, precision, nExtraZeros)) {
      return;
    }
  }
  // Should the runtime fail, or no memory be had for a long rendering, the
  // field is written as '?': the rest of the line, its end above all, is
  // still worth having.
  char format[12];
  BuildRuntimeFormat(field, kLong, format);
  RealText text;
  if (!text.Print(format, precision, value, out->mayAllocate())) {
    AppendField(out, field, nullptr, 0, 0, "?", 1);
    return;
  }
  const bool finite = std::isfinite(value);
  // %g drops trailing zeros unless '#' keeps them.
  const bool isG = field.conversion == 'g' || field.conversion == 'G';
  if (!finite || (isG && (field.flags & kFlagAlt) == 0)) nExtraZeros = 0;
  const size_t nInsert = nExtraZeros > 0
                             ? ExtraZerosAt(field.conversion, text.data(), text.size())
                             : text.size();
  AppendPaddedReal(out, field, finite, text.data(), text.size(), nInsert,
                   nExtraZeros);
}

void RenderWideString(OutBuffer* out, Narrowing* narrowing, const Field& field,
                      const char16_t* s) {
  const bool counted = field.nGiven != kTerminated;
  if (s == nullptr && !counted) s = kWideNull;
  if (field.precision < 0 && field.width == 0 && !counted) {
    NarrowTerminated(out, narrowing, s);
    return;
  }
  // Precision and width count 16-bit units of the argument. No unit past
  // the precision is read, not even to complete a pair: a high surrogate
  // that ends the precision is left out, whatever follows it. A counted
  // string has as many units as it says, NULs among them.
  size_t nUnits = 0;
  const size_t limit = field.precision >= 0 ? static_cast<size_t>(field.precision) : kTerminated;
  if (counted) {
    nUnits = s != nullptr ? (field.nGiven < limit ? field.nGiven : limit) : 0;
  } else {
    while (nUnits < limit && s[nUnits] != u'\0') ++nUnits;
  }
  if (nUnits == limit && nUnits > 0 && IsHighSurrogate(s[nUnits - 1])) --nUnits;
  size_t nPad = PaddingFor(field, nUnits);
  bool left = (field.flags & kFlagLeft) != 0;
  if (!left) out->AppendRepeated(' ', nPad);
  NarrowCounted(out, narrowing, s, nUnits);
  // No padding after text that was dropped.
  if (left && !out->truncated()) out->AppendRepeated(' ', nPad);
}

// How many of the first `nBytes` bytes of `s` to keep so that no multibyte
// character is cut, `nBytes` being where a precision cuts `s`. Only those
// bytes are read: a character they leave incomplete is dropped whole,
// whatever follows the cut. Bytes that do not form a character in the
// locale are kept as they are.
size_t WholeCharacterBytes(Narrowing* narrowing, const char* s, size_t nBytes) {
  if (nBytes == 0) return 0;
  if (narrowing->charset == Charset::kUnknown) TakeLocale(narrowing);
  if (narrowing->charset == Charset::kUtf8) {
    // Back up over continuation bytes to the lead byte of the last
    // character; drop it only if the lead byte says it runs past the cut.
    size_t lead = nBytes - 1;
    while (lead > 0 && nBytes - lead < 4 &&
           (static_cast<unsigned char>(s[lead]) & 0xC0) == 0x80) {
      --lead;
    }
    unsigned char b = static_cast<unsigned char>(s[lead]);
    size_t nSequence = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return (b >= 0xC0 && lead + nSequence > nBytes) ? lead : nBytes;
  }
  if (narrowing->charset != Charset::kRuntime) return nBytes;
  return platform::WholeLocaleCharacters(narrowing->locale, s, nBytes);
}

void RenderNarrowString(OutBuffer* out, Narrowing* narrowing, const Field& field,
                        const char* s) {
  size_t nBytes;
  if (field.nGiven != kTerminated) {
    // A counted string: its bytes as they are, NULs among them, cut by a
    // precision on a character boundary.
    const size_t given = s != nullptr ? field.nGiven : 0;
    nBytes = field.precision >= 0 && static_cast<size_t>(field.precision) < given
                 ? WholeCharacterBytes(narrowing, s, static_cast<size_t>(field.precision))
                 : given;
  } else {
    if (s == nullptr) s = kNarrowNull;
    if (field.precision < 0) {
      AppendField(out, field, nullptr, 0, 0, s, std::strlen(s));
      return;
    }
    size_t limit = static_cast<size_t>(field.precision);
    // No byte past the precision is read: where the text reaches it, the
    // bytes before the cut alone decide whether a character was cut.
    const void* nul = std::memchr(s, '\0', limit);
    nBytes = nul != nullptr
                 ? static_cast<size_t>(static_cast<const char*>(nul) - s)
                 : WholeCharacterBytes(narrowing, s, limit);
  }
  AppendField(out, field, nullptr, 0, 0, s, nBytes);
}

}  // namespace

const char16_t kWideNull[] = u"(null)";
const char kNarrowNull[] = "(null)";

// Where the array that `text` is in is known to reach (`readable`), eight
// units at a time are tested and copied with one 128-bit load, so that a
// run of literal text costs a few instructions whatever its length, and
// never a read past the array. The rest goes unit by unit: the runs between
// conversions are a few units long, and a loop that copies as it tests
// costs less for them than finding the end of a run first. Either loop is
// bounded by a count of the room, never by meeting the end of the room.
template <bool kStopAtPercent>
const char16_t* CopyAscii(const char16_t* text, char** dst, size_t nRoom,
                          const char16_t* readable) {
  char* out = *dst;
  const char* const end = out + nRoom;
#if defined(__SSE2__)
  if (readable != nullptr) {
    const __m128i zero = _mm_setzero_si128();
    while (readable - text >= 8 && end - out >= 8) {
      const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
      // A lane is copied when its unit is ASCII, not NUL and not '%'.
      const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(-0x80)), zero);
      __m128i stop = _mm_cmpeq_epi16(units, zero);
      if (kStopAtPercent) stop = _mm_or_si128(stop, _mm_cmpeq_epi16(units, _mm_set1_epi16(u'%')));
      const unsigned copied =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(stop, ascii)));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
      if (copied != 0xFFFF) {
        const int nUnits = __builtin_ctz(~copied) / 2;
        *dst = out + nUnits;
        return text + nUnits;
      }
      out += 8;
      text += 8;
    }
  }
#else
  static_cast<void>(readable);
#endif  // defined(__SSE2__)
  for (; out < end && IsNonNulAscii(*text) && (!kStopAtPercent || *text != u'%'); ++text) {
    *out++ = static_cast<char>(*text);
  }
  *dst = out;
  return text;
}

template const char16_t* CopyAscii<true>(const char16_t*, char**, size_t, const char16_t*);
template const char16_t* CopyAscii<false>(const char16_t*, char**, size_t, const char16_t*);

char* PutBareIntSlow(char* dst, char16_t conversion, uint64_t bits, bool wide64) {
  // An int, or a 64-bit integer, with the sign of its own width for d and i.
  const char letter = static_cast<char>(conversion);
  uint64_t value = wide64 ? bits : static_cast<unsigned>(bits);
  if (letter == 'd' || letter == 'i') {
    const uint64_t sign = wide64 ? uint64_t{1} << 63 : uint64_t{1} << 31;
    if ((value & sign) != 0) {
      *dst++ = '-';
      value = wide64 ? 0 - value : static_cast<unsigned>(0u - static_cast<unsigned>(value));
    }
  }
  const size_t nDigits = CountDigits(value, letter);
  WriteDigits(value, letter, dst + nDigits);
  return dst + nDigits;
}

// ---------------------------------------------------------------------------
// Typed arguments.
// ---------------------------------------------------------------------------

namespace {

using QXSTD::TraceArgument;
using QXSTD::TraceArgumentKind;

TraceArgumentKind KindOf(const TraceArgument& argument) {
  return static_cast<TraceArgumentKind>(argument.header & 0xFF);
}

size_t CountOf(const TraceArgument& argument) {
  return static_cast<size_t>(argument.header >> 8);
}

const void* PointerOf(const TraceArgument& argument) {
  return reinterpret_cast<const void*>(static_cast<uintptr_t>(argument.value));
}

// The name a marker gives an argument's kind.
const char* KindName(TraceArgumentKind kind) {
  switch (kind) {
    case TraceArgumentKind::kInt8:
      return "int8";
    case TraceArgumentKind::kInt16:
      return "int16";
    case TraceArgumentKind::kInt32:
      return "int32";
    case TraceArgumentKind::kInt64:
      return "int64";
    case TraceArgumentKind::kUInt8:
      return "uint8";
    case TraceArgumentKind::kUInt16:
      return "uint16";
    case TraceArgumentKind::kUInt32:
      return "uint32";
    case TraceArgumentKind::kUInt64:
      return "uint64";
    case TraceArgumentKind::kChar:
      return "char";
    case TraceArgumentKind::kChar16:
      return "char16";
    case TraceArgumentKind::kDouble:
      return "double";
    case TraceArgumentKind::kLongDouble:
      return "long double";
    case TraceArgumentKind::kPointer:
      return "pointer";
    case TraceArgumentKind::kNull:
      return "nullptr";
    case TraceArgumentKind::kString:
    case TraceArgumentKind::kCountedString:
      return "string";
    case TraceArgumentKind::kString16:
    case TraceArgumentKind::kCountedString16:
      return "string16";
  }
  return "?";
}

// An integer kind's width in bits and sign; false for the other kinds.
bool IntegerTypeOf(TraceArgumentKind kind, unsigned* bits, bool* isSigned) {
  switch (kind) {
    case TraceArgumentKind::kInt8:
    case TraceArgumentKind::kUInt8:
      *bits = 8;
      break;
    case TraceArgumentKind::kChar:
      *bits = 8;
      *isSigned = CHAR_MIN < 0;
      return true;
    case TraceArgumentKind::kInt16:
    case TraceArgumentKind::kUInt16:
    case TraceArgumentKind::kChar16:
      *bits = 16;
      break;
    case TraceArgumentKind::kInt32:
    case TraceArgumentKind::kUInt32:
      *bits = 32;
      break;
    case TraceArgumentKind::kInt64:
    case TraceArgumentKind::kUInt64:
      *bits = 64;
      break;
    default:
      return false;
  }
  *isSigned = kind == TraceArgumentKind::kInt8 || kind == TraceArgumentKind::kInt16 ||
              kind == TraceArgumentKind::kInt32 || kind == TraceArgumentKind::kInt64;
  return true;
}

uint64_t LowBits(uint64_t value, unsigned bits) {
  return bits >= 64 ? value : value & ((uint64_t{1} << bits) - 1);
}

// An integer argument of `bits` and sign, converted as C converts it for
// the conversion `field` (its letter and length modifier): a modifier
// narrower than the argument narrows it, a wider one widens it; without
// one the argument keeps its own width. A signed conversion (d, i) of up
// to 32 bits gives an int, and of 64 a 64-bit integer; an unsigned one
// gives the argument's value at the unsigned type of its own width, or of
// the modifier's when that is narrower. Sets the width the value is shown
// at and returns its bits.
uint64_t ConvertInteger(const Field& field, uint64_t value, unsigned bits, bool isSigned,
                        uint8_t* shownBits) {
  const bool signedConversion = field.conversion == 'd' || field.conversion == 'i';
  const unsigned target = field.modifierBits != 0 ? field.modifierBits : bits;
  if (target <= 32) {
    uint64_t low = LowBits(value, target);
    // A modifier names a signed type but for z and I, whose 32 bits an int
    // shows the same.
    const bool targetSigned = field.modifierBits != 0 || isSigned;
    if (signedConversion && targetSigned && target < 64 && ((low >> (target - 1)) & 1) != 0) {
      low |= ~uint64_t{0} << target;
    }
    *shownBits = 32;
    return low;
  }
  *shownBits = 64;
  return signedConversion ? value : LowBits(value, bits);
}

// Writes "%!<letter>(<what>)".
void AppendMarker(OutBuffer* out, char letter, const char* what) {
  out->Append("%!", 2);
  out->Append(letter);
  out->Append('(');
  out->Append(what, std::strlen(what));
  out->Append(')');
}

}  // namespace

bool TypedArgs::TakeText(bool wideConversion, FastText* text) {
  if (next_ == end_) return false;
  text->wide = nullptr;
  text->narrow = nullptr;
  switch (KindOf(*next_)) {
    case TraceArgumentKind::kString16:
      text->wide = static_cast<const char16_t*>(PointerOf(*next_));
      if (text->wide == nullptr) text->wide = kWideNull;
      break;
    case TraceArgumentKind::kString:
      text->narrow = static_cast<const char*>(PointerOf(*next_));
      if (text->narrow == nullptr) text->narrow = kNarrowNull;
      break;
    case TraceArgumentKind::kNull:
      if (wideConversion) {
        text->wide = kWideNull;
      } else {
        text->narrow = kNarrowNull;
      }
      break;
    default:
      return false;
  }
  ++next_;
  return true;
}

bool TypedArgs::TakeDouble(double* value) {
  if (next_ == end_ || KindOf(*next_) != TraceArgumentKind::kDouble) return false;
  std::memcpy(value, &next_->value, sizeof *value);
  ++next_;
  return true;
}

bool TypedArgs::Star(OutBuffer* out, const Field&, int* value) {
  if (next_ == end_) {
    AppendMarker(out, '*', "missing");
    return false;
  }
  const TraceArgument& argument = *next_++;
  unsigned width;
  bool isSigned;
  if (!IntegerTypeOf(KindOf(argument), &width, &isSigned)) {
    AppendMarker(out, '*', KindName(KindOf(argument)));
    return false;
  }
  // An int, as C reads a '*'; a wider value is held at the int's bounds.
  const uint64_t bits = argument.value;
  if (isSigned) {
    const int64_t signedValue = static_cast<int64_t>(bits);
    *value = signedValue > INT_MAX   ? INT_MAX
             : signedValue < INT_MIN ? INT_MIN
                                     : static_cast<int>(signedValue);
  } else {
    *value = bits > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(bits);
  }
  return true;
}

bool TypedArgs::Value(OutBuffer* out, Field* field, FieldValue* value) {
  if (next_ == end_) {
    // %n reads nothing that is shown: a missing argument of it goes unsaid.
    if (field->arg != FieldArg::kCount) AppendMarker(out, field->conversion, "missing");
    return false;
  }
  const TraceArgument& argument = *next_++;
  const TraceArgumentKind kind = KindOf(argument);
  unsigned bits;
  bool isSigned;
  const bool integer = IntegerTypeOf(kind, &bits, &isSigned);
  const bool wideString =
      kind == TraceArgumentKind::kString16 || kind == TraceArgumentKind::kCountedString16;
  const bool narrowString =
      kind == TraceArgumentKind::kString || kind == TraceArgumentKind::kCountedString;
  const bool counted =
      kind == TraceArgumentKind::kCountedString || kind == TraceArgumentKind::kCountedString16;
  switch (field->arg) {
    case FieldArg::kInteger:
      if (!integer) break;
      value->bits = ConvertInteger(*field, argument.value, bits, isSigned, &field->intBits);
      return true;
    case FieldArg::kWideChar:
    case FieldArg::kNarrowChar:
      if (!integer) break;
      // A character is written at its own width; another integer as the
      // conversion says.
      if (kind == TraceArgumentKind::kChar ||
          (kind != TraceArgumentKind::kChar16 && field->arg == FieldArg::kNarrowChar)) {
        field->arg = FieldArg::kNarrowChar;
        value->byte = static_cast<int>(static_cast<char>(argument.value));
      } else {
        field->arg = FieldArg::kWideChar;
        value->unit = static_cast<unsigned>(argument.value & 0xFFFF);
      }
      return true;
    case FieldArg::kDouble:
    case FieldArg::kLongDouble:
      if (kind == TraceArgumentKind::kDouble) {
        field->arg = FieldArg::kDouble;
        std::memcpy(&value->real, &argument.value, sizeof value->real);
        return true;
      }
      if (kind == TraceArgumentKind::kLongDouble) {
        field->arg = FieldArg::kLongDouble;
#if RAZEZIR_LONG_DOUBLE_IS_DOUBLE
        double real;
        std::memcpy(&real, &argument.value, sizeof real);
        value->longReal = real;
#else
        value->longReal = *static_cast<const long double*>(PointerOf(argument));
#endif  // RAZEZIR_LONG_DOUBLE_IS_DOUBLE
        return true;
      }
      break;
    case FieldArg::kWideString:
    case FieldArg::kNarrowString:
      if (kind == TraceArgumentKind::kNull) {
        if (field->arg == FieldArg::kWideString) {
          value->wide = nullptr;
        } else {
          value->narrow = nullptr;
        }
        return true;
      }
      if (!wideString && !narrowString) break;
      // A string is written at its own unit width, whatever the conversion.
      field->arg = wideString ? FieldArg::kWideString : FieldArg::kNarrowString;
      if (counted) field->nGiven = CountOf(argument);
      if (wideString) {
        value->wide = static_cast<const char16_t*>(PointerOf(argument));
      } else {
        value->narrow = static_cast<const char*>(PointerOf(argument));
      }
      return true;
    case FieldArg::kPointer:
      if (kind != TraceArgumentKind::kPointer && kind != TraceArgumentKind::kNull && !wideString &&
          !narrowString) {
        break;
      }
      value->pointer = PointerOf(argument);
      return true;
    case FieldArg::kCount:
      return false;
  }
  AppendMarker(out, field->conversion, KindName(kind));
  return false;
}

void TypedArgs::Skip(size_t nArguments) {
  for (; nArguments > 0 && next_ != end_; --nArguments) ++next_;
}

void TypedArgs::NameLeftOvers(OutBuffer* out, const char16_t* format, const char16_t* formatEnd) {
  // A line that lost bytes keeps nothing more: the marker would follow a
  // hole.
  if (out->truncated()) {
    next_ = end_;
    return;
  }
  // Before the format's final line end, where that ends the text so far.
  const bool beforeLineEnd = formatEnd > format && formatEnd[-1] == u'\n' && out->size() > 0 &&
                             out->data()[out->size() - 1] == '\n';
  if (beforeLineEnd) out->CommitTo(out->data() + out->size() - 1);
  out->Append("%!(extra ", 9);
  for (const TraceArgument* argument = next_; argument != end_; ++argument) {
    if (argument != next_) out->Append(", ", 2);
    const char* name = KindName(KindOf(*argument));
    out->Append(name, std::strlen(name));
  }
  out->Append(')');
  if (beforeLineEnd) out->Append('\n');
  next_ = end_;
}

Charset ClassifyLocale(const platform::LocaleSnapshot& locale) {
  const char* codeset = locale.codeset;
  if (codeset != nullptr) {
    if (CodesetIs(codeset, "UTF8")) return Charset::kUtf8;
    if (locale.maxCharBytes == 1 &&
        (CodesetIs(codeset, "ANSIX3.41968") || CodesetIs(codeset, "ASCII") ||
         CodesetIs(codeset, "USASCII") || CodesetIs(codeset, "646"))) {
      return Charset::kAscii;
    }
  }
  return Charset::kRuntime;
}

Charset ClassifyLocale() { return ClassifyLocale(platform::SnapshotLocale()); }

void NarrowUnits(OutBuffer* out, Narrowing* narrowing, const char16_t* text,
                 size_t nUnits) {
  NarrowCounted(out, narrowing, text, nUnits);
}

void AppendNarrowed(OutBuffer* out, const char16_t* text, size_t nUnits) {
  Narrowing narrowing;
  NarrowUnits(out, &narrowing, text, nUnits);
}

void AppendUpperHex(OutBuffer* out, uint64_t value, int nDigits) {
  // The thread id of every line prefix comes through here, and fits its
  // digits: each digit is written in place, with no field to lay out.
  constexpr int kMaxDigits = 2 * sizeof value;
  if (nDigits > 0 && nDigits < kMaxDigits && (value >> (4 * nDigits)) == 0) {
    char* dst = out->Reserve(static_cast<size_t>(nDigits));
    if (dst == nullptr) return;
    if (nDigits == 8) {
      // Eight digits at once: each nibble spread into a byte of its own,
      // the lowest first, turned into its digit, then the bytes reversed.
      uint64_t x = value;
      x = ((x & 0xFFFF0000u) << 16) | (x & 0xFFFFu);
      x = ((x & 0x0000FF000000FF00u) << 8) | (x & 0x000000FF000000FFu);
      x = ((x & 0x00F000F000F000F0u) << 4) | (x & 0x000F000F000F000Fu);
      const uint64_t letters = ((x + 0x0606060606060606u) >> 4) & 0x0101010101010101u;
      x += 0x3030303030303030u + letters * 7;
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      x = __builtin_bswap64(x);
      std::memcpy(dst, &x, sizeof x);
#else
      for (int i = 7; i >= 0; --i) {
        dst[i] = static_cast<char>(x & 0xFF);
        x >>= 8;
      }
#endif
      out->Commit(8);
      return;
    }
    for (int i = nDigits - 1; i >= 0; --i) {
      dst[i] = kUpperHex[value & 15];
      value >>= 4;
    }
    out->Commit(static_cast<size_t>(nDigits));
    return;
  }
  Field field{};
  field.conversion = 'X';
  field.intBits = 64;
  field.precision = nDigits;
  RenderInteger(out, field, value);
}

void AppendRightAligned(OutBuffer* out, const char16_t* text, int nUnits,
                        Narrowing* narrowing) {
  // A tag is a short ASCII word as a rule: it is laid out here, without a
  // field. Anything else, or a buffer without room, takes the general path.
  constexpr size_t kShortTag = 32;
  size_t n = 0;
  while (text != nullptr && n < kShortTag && IsNonNulAscii(text[n])) ++n;
  if (text != nullptr && text[n] == u'\0') {
    const size_t width = nUnits > 0 ? static_cast<size_t>(nUnits) : 0;
    const size_t nPad = width > n ? width - n : 0;
    char* dst = out->Reserve(nPad + n);
    if (dst != nullptr) {
      for (size_t i = 0; i < nPad; ++i) dst[i] = ' ';
      for (size_t i = 0; i < n; ++i) dst[nPad + i] = static_cast<char>(text[i]);
      out->Commit(nPad + n);
      return;
    }
  }
  Field field{};
  field.conversion = 's';
  field.width = nUnits;
  field.precision = -1;
  Narrowing own;
  RenderWideString(out, narrowing != nullptr ? narrowing : &own, field, text);
}

size_t CutOnCharBoundary(const char* text, size_t nBytes, size_t maxBytes) {
  if (nBytes <= maxBytes) return nBytes;
  Narrowing narrowing;
  return WholeCharacterBytes(&narrowing, text, maxBytes);
}

void Field::SetWidthFromArg(int value) {
  if (value < 0) {
    flags |= kFlagLeft;
    value = value == INT_MIN ? INT_MAX : -value;
  }
  width = value;
}

void Field::SetPrecisionFromArg(int value) {
  precision = value < 0 ? -1 : value;
}

bool FormatCursor::Next(Field* field) {
  for (;;) {
    if (sink_.truncated()) return false;
    next_ = NarrowLiteral(&sink_, &narrowing_, next_);
    // The literal may have dropped a code point for want of room.
    if (*next_ == u'\0' || sink_.truncated()) return false;
    const char16_t* end;
    State state = ParseField(next_, field, &end);
    if (state == grammar::kArgPercent) {
      sink_.Append('%');
    } else if (state == grammar::kMalformed) {
      ++nMalformed_;
      NarrowCounted(&sink_, &narrowing_, next_, static_cast<size_t>(end - next_));
    } else {
      const ArgInfo& info = kArgInfo[state - grammar::kArgInt];
      field->arg = info.arg;
      field->nGiven = kTerminated;
      field->intArg = info.intArg;
      field->intBits = info.intBits;
      next_ = end;
      return true;
    }
    next_ = end;
  }
}

void FormatCursor::NarrowRest(const char16_t* text) { NarrowTerminated(&sink_, &narrowing_, text); }

char* PutFixed(char* dst, int precision, double value) {
  if (precision > kExactPrecision || !std::isfinite(value)) return nullptr;
  const char* point = platform::LocaleDecimalPoint();
  if (point == nullptr || point[0] == '\0' || point[1] != '\0') return nullptr;
  const bool negative = std::signbit(value);
  char* digits = dst + (negative ? 1 : 0);
  const size_t n = ExactFixedDigits(std::fabs(value), precision, point[0], digits);
  if (n == 0) return nullptr;
  if (negative) *dst = '-';
  return digits + n;
}

void FormatCursor::RenderFixed(int precision, double value) {
  Field field{};
  field.conversion = 'f';
  field.precision = precision;
  RenderReal(&sink_, field, value);
}

void FormatCursor::Render(const Field& field, const FieldValue& value) {
  switch (field.arg) {
    case FieldArg::kInteger:
      RenderInteger(&sink_, field, value.bits);
      break;
    case FieldArg::kDouble:
      RenderReal(&sink_, field, value.real);
      break;
    case FieldArg::kLongDouble:
      RenderReal(&sink_, field, value.longReal);
      break;
    case FieldArg::kWideString:
      RenderWideString(&sink_, &narrowing_, field, value.wide);
      break;
    case FieldArg::kNarrowString:
      RenderNarrowString(&sink_, &narrowing_, field, value.narrow);
      break;
    case FieldArg::kWideChar: {
      // Only the low 16 bits: the caller passed a 16-bit unit, promoted.
      char16_t unit = static_cast<char16_t>(value.unit);
      size_t nPad = PaddingFor(field, 1);
      bool left = (field.flags & kFlagLeft) != 0;
      if (!left) sink_.AppendRepeated(' ', nPad);
      NarrowCounted(&sink_, &narrowing_, &unit, 1);
      if (left && !sink_.truncated()) sink_.AppendRepeated(' ', nPad);
      break;
    }
    case FieldArg::kNarrowChar: {
      char byte = static_cast<char>(value.byte);
      AppendField(&sink_, field, nullptr, 0, 0, &byte, 1);
      break;
    }
    case FieldArg::kPointer:
      RenderPointer(&sink_, field, value.pointer);
      break;
    case FieldArg::kCount:
      break;
  }
}

uint64_t VaListArgs::Integer(IntArg kind) {
  switch (kind) {
    case IntArg::kInt:
      return static_cast<uint64_t>(static_cast<int64_t>(va_arg(*ap_, int)));
    case IntArg::kLong:
      return static_cast<uint64_t>(static_cast<int64_t>(va_arg(*ap_, long)));
    case IntArg::kLongLong:
      return static_cast<uint64_t>(va_arg(*ap_, long long));
    case IntArg::kIntMax:
      return static_cast<uint64_t>(va_arg(*ap_, intmax_t));
    case IntArg::kSize:
      return static_cast<uint64_t>(va_arg(*ap_, size_t));
    case IntArg::kPtrDiff:
      return static_cast<uint64_t>(
          static_cast<int64_t>(va_arg(*ap_, ptrdiff_t)));
  }
  return 0;
}

template int FormatWide<VaListArgs>(OutBuffer* out, const char16_t* format,
                                    VaListArgs& args);

namespace {

// Copies `nUnits` units known to be ASCII as their bytes, to `dst`, which
// has room for eight bytes more, and returns the end of the copy. Where the
// array reaches past the run's last block of eight, the run goes eight
// units at a time, so that a run of up to eight costs one load and one
// store.
inline char* CopyKnownAscii(char* dst, const char16_t* units, size_t nUnits,
                            const char16_t* readable) {
#if defined(__SSE2__)
  if (static_cast<size_t>(readable - units) >= ((nUnits + 7) & ~size_t{7})) {
    for (size_t done = 0; done < nUnits; done += 8) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + done));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + done), _mm_packus_epi16(block, block));
    }
    return dst + nUnits;
  }
#else
  static_cast<void>(readable);
#endif  // defined(__SSE2__)
  for (size_t done = 0; done < nUnits; ++done) dst[done] = static_cast<char>(units[done]);
  return dst + nUnits;
}

// Renders, through the cursor, the conversion of `nUnits` at `percent`
// that the fast path did not write. Out of line: the fast path takes the
// common ones.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void RenderConversionAt(OutBuffer* out, FormatCursor* cursor, const char16_t* percent,
                        size_t nUnits, TypedArgs& args) {
  // A "%%" (flags and a width may come between) is written here: the
  // cursor would write its '%' and go on, through the pieces after it.
  if (nUnits > 0 && percent[nUnits - 1] == u'%') {
    out->Append('%');
    return;
  }
  cursor->MoveTo(percent);
  Field field;
  if (!cursor->Next(&field)) return;
  int star;
  if (field.widthFromArg) {
    if (!args.Star(out, field, &star)) {
      args.Skip(field.precisionFromArg ? 2 : 1);
      return;
    }
    field.SetWidthFromArg(star);
  }
  if (field.precisionFromArg) {
    if (!args.Star(out, field, &star)) {
      args.Skip(1);
      return;
    }
    field.SetPrecisionFromArg(star);
  }
  FieldValue value;
  if (args.Value(out, &field, &value)) cursor->Render(field, value);
}

}  // namespace

void FormatTyped(OutBuffer* out, const QXSTD::TraceFormat& format,
                 const QXSTD::TraceArgument* arguments, size_t count, Narrowing* narrowing) {
  const char16_t* const units = format.units;
  if (units == nullptr) return;
  TypedArgs args(arguments, count);
  const char16_t* const readable = format.nUnits != 0 ? units + format.nUnits : nullptr;
  // A parse is followed only within the array the format is in, which it
  // must name: a parse that points past it (made up, or for another
  // format) is not trusted, and the units are parsed here instead. Nor is
  // it followed for a format of short runs: the scan finds the conversions
  // as it copies the text, eight units at a time, for less than decoding
  // each piece costs (measured: "message %d of %s\n" costs 55 instructions
  // more through the parse; 75 literal units in 5 pieces cost 50 less).
  if (format.nPieces == 0 || format.nPieces > QXSTD::kTraceFormatPieces || readable == nullptr ||
      format.nUnits <= 8 * format.nPieces) {
    FormatWideOn<true>(out, units, args, narrowing, readable);
    return;
  }
  FormatCursor cursor(out, units, narrowing);
  // Pieces end at the format's NUL at the latest; one that goes past it
  // ends the line there.
  const char16_t* const last = readable - 1;
  const uint32_t* piece = format.pieces;
  const uint32_t* const pieceEnd = piece + format.nPieces;
  const char16_t* end = units;
  while (piece != pieceEnd) {
    // As many pieces as the fast path takes, straight into the room.
    char* dst = out->Cursor();
    const char* limit = out->Limit();
    bool dropped = false;
    const char16_t* at = nullptr;
    size_t nUnits = 0;
    for (; piece != pieceEnd; ++piece) {
      at = units + (*piece & 0xFFFF);
      nUnits = (*piece >> 16) & QXSTD::kTracePieceMaxUnits;
      if (at + nUnits > last) break;
      const auto kind = static_cast<QXSTD::TracePieceKind>(*piece >> 30);
      const size_t room = static_cast<size_t>(limit - dst);
      if (kind == QXSTD::TracePieceKind::kAscii && room >= nUnits + 8) {
        dst = CopyKnownAscii(dst, at, nUnits, readable);
      } else if (kind != QXSTD::TracePieceKind::kConversion || room < kFastRoom ||
                 WriteFastConversion(out, &cursor, at, args, &dst, &limit, &dropped) !=
                     static_cast<int>(nUnits)) {
        break;
      }
      end = at + nUnits;
      if (dropped) break;
    }
    if (dropped) break;
    out->CommitTo(dst);
    if (piece == pieceEnd || at + nUnits > last) break;
    // The piece the fast path left, through the checked writes.
    switch (static_cast<QXSTD::TracePieceKind>(*piece >> 30)) {
      case QXSTD::TracePieceKind::kConversion:
        RenderConversionAt(out, &cursor, at, nUnits, args);
        break;
      default:
        NarrowUnits(out, narrowing, at, nUnits);
        break;
    }
    end = at + nUnits;
    ++piece;
    if (out->truncated()) break;
  }
  args.Finish(out, units, end);
}

void FormatWideV(OutBuffer* out, const char16_t* format, va_list ap, Narrowing* narrowing) {
  va_list copy;
  va_copy(copy, ap);
  VaListArgs args(&copy);
  FormatWideOn<true>(out, format, args, narrowing);
  va_end(copy);
}

}  // namespace razezir
