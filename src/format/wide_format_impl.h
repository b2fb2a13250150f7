// The template half of the wide printf engine. FormatWide reads each argument
// through the caller's Args class and hands it to FormatCursor, which owns
// everything else: parsing the format, rendering fields and narrowing text to
// the encoding of the current locale. Keeping the argument reads in a thin
// template lets tests and the fuzzer drive the one real core with safe
// arguments of their own, while the core itself is compiled once in
// wide_format.cc. Internal: included by wide_format.cc, tests and fuzzers.
//
// Nothing here keeps state between calls; a cursor belongs to one call on one
// thread.

#ifndef RAZEZIR_SRC_FORMAT_WIDE_FORMAT_IMPL_H_
#define RAZEZIR_SRC_FORMAT_WIDE_FORMAT_IMPL_H_

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "razezir/format_grammar.h"
#include "razezir/trace_arguments.h"

namespace razezir {

// Classifies the locale that `locale` holds.
Charset ClassifyLocale(const platform::LocaleSnapshot& locale);
// Classifies the calling thread's current LC_CTYPE locale.
Charset ClassifyLocale();

// What a conversion reads from the argument list.
enum class FieldArg : uint8_t {
  kInteger,
  kDouble,
  kLongDouble,
  kWideString,
  kNarrowString,
  kWideChar,
  kNarrowChar,
  kPointer,
  kCount,  // %n: its pointer is read and ignored
};

using grammar::kFlagAlt;
using grammar::kFlagLeft;
using grammar::kFlagPlus;
using grammar::kFlagSpace;
using grammar::kFlagZero;

// Field::nGiven of a string that ends at its NUL.
constexpr size_t kTerminated = ~size_t{0};

// One conversion, as FormatCursor::Next parsed it.
struct Field {
  FieldArg arg;
  IntArg intArg;          // kInteger: the C type the caller passed
  uint8_t intBits;        // kInteger: width of the value after hh/h narrowing
  uint8_t modifierBits;   // the width of the length modifier's integer, 0 for none
  char conversion;        // the conversion letter
  uint8_t flags;          // kFlag* bits
  bool widthFromArg;      // '*': an int argument precedes the value
  bool precisionFromArg;  // '.*': an int argument precedes the value
  int width;              // 0 when absent
  int precision;          // negative when absent
  // A string argument's count of units (or bytes); kTerminated when it
  // ends at its NUL.
  size_t nGiven = kTerminated;

  // A negative '*' width means left-justify; INT_MIN, whose magnitude is no
  // int, becomes INT_MAX.
  void SetWidthFromArg(int value);
  // A negative '*' precision means none, as C has it.
  void SetPrecisionFromArg(int value);
};

union FieldValue {
  uint64_t bits;
  double real;
  long double longReal;
  const char16_t* wide;
  const char* narrow;
  unsigned unit;
  int byte;
  const void* pointer;
};

// Walks one format. Next writes literal text, `%%` and malformed conversions to
// the buffer itself and stops at each conversion that takes an argument;
// Render then writes that conversion's field.
class FormatCursor {
 public:
  // `narrowing` serves the whole line the format is a part of.
  FormatCursor(OutBuffer* out, const char16_t* format, Narrowing* narrowing)
      : sink_(*out), next_(format), narrowing_(*narrowing) {}

  FormatCursor(const FormatCursor&) = delete;
  FormatCursor& operator=(const FormatCursor&) = delete;

  // Returns false at the end of the format, or once the buffer has dropped
  // bytes: nothing written after that could be kept.
  bool Next(Field* field);
  void Render(const Field& field, const FieldValue& value);

  // Where the cursor stands in the format, for the fast path, which may
  // take it on past what it wrote itself.
  const char16_t* position() const { return next_; }
  void MoveTo(const char16_t* position) { next_ = position; }
  // Narrows the rest of a 16-bit string argument, from its first unit that
  // is not ASCII, with the call's narrowing.
  void NarrowRest(const char16_t* text);
  // Writes %.<precision>f of `value`, as Render would.
  void RenderFixed(int precision, double value);

  // How many malformed conversions Next has written out literally so far.
  int nMalformed() const { return nMalformed_; }

 private:
  OutBuffer& sink_;  // where the fields go
  const char16_t* next_;
  Narrowing& narrowing_;
  int nMalformed_ = 0;
};

// ---------------------------------------------------------------------------
// The fast path. Most of a trace line is ASCII literal text and a few bare
// conversions: %d %i %u %x %X %o of an int, %s of a 16-bit string, %hs and
// %S of a narrow one, %.<digit>f of a double, and %%. FormatWide writes those straight into the
// buffer's room, with the text's units copied a block at a time, and hands
// anything else (text beyond ASCII, a conversion with flags, width,
// precision or another modifier, the end of the format, a buffer short of
// room) to the cursor, whose output for them is the same.
// ---------------------------------------------------------------------------

// The room the fast path wants before each conversion it writes itself:
// any integer, and the '%' of "%%", fits in it.
constexpr size_t kFastRoom = 64;

// A null string argument is written as this.
extern const char16_t kWideNull[];
extern const char kNarrowNull[];

// Copies the units at `text` as bytes to `*dst` up to the first that is NUL,
// beyond ASCII or, with `kStopAtPercent`, '%', and at most `nRoom` of them;
// advances `*dst` and returns where it stopped in `text`. `readable`, when
// not null, is where the array that `text` is in ends: the units before it
// may be read ahead. Defined for both settings in wide_format.cc.
template <bool kStopAtPercent>
const char16_t* CopyAscii(const char16_t* text, char** dst, size_t nRoom,
                          const char16_t* readable = nullptr);

#if defined(__GNUC__)
#define RAZEZIR_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define RAZEZIR_ALWAYS_INLINE inline
#endif  // defined(__GNUC__)

// "00" to "99", two characters each.
extern const char kDigitPairs[201];

// Writes an integer of a bare conversion (d i u x X o) at `dst` and returns
// where it ends: an int whose bits `bits` holds, or with `wide64` a 64-bit
// integer.
char* PutBareIntSlow(char* dst, char16_t conversion, uint64_t bits, bool wide64);

// Writes an integer of a bare decimal conversion (%d and %i with
// `kSigned`, %u without) at `dst` and returns where it ends: an int whose
// bits `bits` holds, or with `wide64` a 64-bit integer. Most numbers in
// trace lines are ints of a few digits: those are written here, in place,
// with no count made first.
template <bool kSigned>
RAZEZIR_ALWAYS_INLINE char* PutDecimal(char* dst, uint64_t bits, bool wide64) {
  if (!wide64) {
    const uint32_t word = static_cast<uint32_t>(bits);
    const bool negative = kSigned && (word >> 31) != 0;
    const uint32_t value = negative ? 0u - word : word;
    if (value < 10000) {
      *dst = '-';
      dst += negative ? 1 : 0;
      if (value < 10) {
        *dst = static_cast<char>('0' + value);
        return dst + 1;
      }
      if (value < 100) {
        std::memcpy(dst, kDigitPairs + 2 * value, 2);
        return dst + 2;
      }
      const uint32_t high = value / 100;
      const uint32_t low = value - high * 100;
      if (high < 10) {
        *dst = static_cast<char>('0' + high);
        std::memcpy(dst + 1, kDigitPairs + 2 * low, 2);
        return dst + 3;
      }
      std::memcpy(dst, kDigitPairs + 2 * high, 2);
      std::memcpy(dst + 2, kDigitPairs + 2 * low, 2);
      return dst + 4;
    }
  }
  return PutBareIntSlow(dst, kSigned ? u'd' : u'u', bits, wide64);
}

// Writes %.<precision>f of `value` at `dst`, which has kFastRoom bytes of
// room, and returns where it ends; null, having written nothing that
// counts, when the value is not finite, too large for exact integer
// digits, or the locale's decimal point is not one byte (the cursor renders
// those).
char* PutFixed(char* dst, int precision, double value);

// The text of a bare string conversion, as the fast path takes it: 16-bit
// units or bytes, NUL-terminated (one of the two is set).
struct FastText {
  const char16_t* wide;
  const char* narrow;
};

// Arguments that carry their own types (QXSTD::TraceTyped). Each is read by
// what it is: an integer at its own width and sign, a string at its own
// unit width, whatever the conversion says; the conversion's length
// modifier still narrows or widens an integer as C converts it. Where no
// conversion of that letter can show the argument (a string for %d, a
// number for %s, a pointer for %f, a double for %d, an integer for %p), or
// the call lacks the argument, a marker takes the field's place:
// "%!d(string)", "%!d(missing)". Arguments that no conversion reads are
// named by one marker, "%!(extra int32, string)", before the format's final
// line end. Nothing is read past `count` records; a record of an unknown
// kind is shown as "?".
class TypedArgs {
 public:
  TypedArgs(const QXSTD::TraceArgument* arguments, size_t count)
      : next_(arguments), end_(arguments + count) {}

  // The fast path's reads, of bare conversions: each takes the next
  // argument and returns true only if it is one the fast path writes as is;
  // otherwise it leaves it for the cursor.
  bool TakeBareInt(bool signedConversion, uint64_t* bits, bool* wide64);
  bool TakeText(bool wideConversion, FastText* text);
  bool TakeDouble(double* value);

  // The cursor's reads. Each returns false, having written a marker or
  // nothing (%n), when the field is not to be rendered.
  bool Star(OutBuffer* out, const Field& field, int* value);
  bool Value(OutBuffer* out, Field* field, FieldValue* value);
  // Reads the arguments of a conversion whose '*' failed, unrendered.
  void Skip(size_t nArguments);
  // Names what no conversion read; `formatEnd` is the format's NUL.
  void Finish(OutBuffer* out, const char16_t* format, const char16_t* formatEnd) {
    if (next_ != end_) NameLeftOvers(out, format, formatEnd);
  }

 private:
  void NameLeftOvers(OutBuffer* out, const char16_t* format, const char16_t* formatEnd);

  const QXSTD::TraceArgument* next_;
  const QXSTD::TraceArgument* end_;
};

// The width in bits and the sign of each integer kind, by kind; 0 bits for
// the kinds that are not integers.
struct IntegerType {
  uint8_t bits;
  bool isSigned;
  uint8_t shift;  // 64 - bits: how far the value's top bit is from a 64-bit one's
};
constexpr IntegerType kIntegerTypes[] = {
    {0, false, 0},   {8, true, 56},   {16, true, 48},  {32, true, 32},
    {64, true, 0},   {8, false, 56},  {16, false, 48}, {32, false, 32},
    {64, false, 0},  {8, CHAR_MIN < 0, 56},           {16, false, 48},
};
constexpr size_t kIntegerKinds = sizeof kIntegerTypes / sizeof kIntegerTypes[0];
static_assert(kIntegerKinds == static_cast<size_t>(QXSTD::TraceArgumentKind::kChar16) + 1,
              "one entry per integer kind, in kind order");

inline bool TypedArgs::TakeBareInt(bool signedConversion, uint64_t* bits, bool* wide64) {
  if (next_ == end_) return false;
  const size_t kind = static_cast<size_t>(next_->header & 0xFF);
  if (kind >= kIntegerKinds || kind == 0) return false;
  const IntegerType type = kIntegerTypes[kind];
  const uint64_t raw = next_->value << type.shift;
  ++next_;
  // The value as its kind holds it, whatever bits above its width a careless
  // caller left in the record, as the checked path reads it. Without a
  // modifier the argument keeps its own width: signed, and for d and i,
  // extended from its width; an unsigned conversion takes it at the
  // unsigned type of its own width.
  *bits = type.isSigned && signedConversion
              ? static_cast<uint64_t>(static_cast<int64_t>(raw) >> type.shift)
              : raw >> type.shift;
  *wide64 = type.bits == 64;
  return true;
}

template <typename Args>
inline constexpr bool kTypedArgs = false;
template <>
inline constexpr bool kTypedArgs<TypedArgs> = true;

// The reads of arguments that the format's conversions type (a va_list, or
// a test's source): always what the conversion says.
template <typename Args>
bool TakeBareInt(Args& args, bool signedConversion, uint64_t* bits, bool* wide64) {
  if constexpr (kTypedArgs<Args>) {
    return args.TakeBareInt(signedConversion, bits, wide64);
  } else {
    *bits = args.Integer(IntArg::kInt);
    *wide64 = false;
    return true;
  }
}

template <typename Args>
bool TakeText(Args& args, bool wideConversion, FastText* text) {
  if constexpr (kTypedArgs<Args>) {
    return args.TakeText(wideConversion, text);
  } else {
    text->wide = nullptr;
    text->narrow = nullptr;
    if (wideConversion) {
      text->wide = args.WideString(-1);
      if (text->wide == nullptr) text->wide = kWideNull;
    } else {
      text->narrow = args.NarrowString(-1);
      if (text->narrow == nullptr) text->narrow = kNarrowNull;
    }
    return true;
  }
}

template <typename Args>
bool TakeDouble(Args& args, double* value) {
  if constexpr (kTypedArgs<Args>) {
    return args.TakeDouble(value);
  } else {
    *value = args.Double();
    return true;
  }
}

template <typename Args>
bool ReadStar(Args& args, OutBuffer* out, const Field& field, int* value) {
  if constexpr (kTypedArgs<Args>) {
    return args.Star(out, field, value);
  } else {
    *value = static_cast<int>(args.Integer(IntArg::kInt));
    return true;
  }
}

template <typename Args>
bool ReadValue(Args& args, OutBuffer* out, Field* field, FieldValue* value) {
  if constexpr (kTypedArgs<Args>) {
    return args.Value(out, field, value);
  } else {
    switch (field->arg) {
      case FieldArg::kInteger:
        value->bits = args.Integer(field->intArg);
        break;
      case FieldArg::kDouble:
        value->real = args.Double();
        break;
      case FieldArg::kLongDouble:
        value->longReal = args.LongDouble();
        break;
      case FieldArg::kWideString:
        value->wide = args.WideString(field->precision);
        break;
      case FieldArg::kNarrowString:
        value->narrow = args.NarrowString(field->precision);
        break;
      case FieldArg::kWideChar:
        value->unit = args.WideChar();
        break;
      case FieldArg::kNarrowChar:
        value->byte = args.NarrowChar();
        break;
      case FieldArg::kPointer:
        value->pointer = args.Pointer();
        break;
      case FieldArg::kCount:
        // Storing a count through a caller's pointer turns a hostile format
        // into a memory write; the pointer is read only to keep the later
        // arguments in step.
        args.Pointer();
        return false;
    }
    return true;
  }
}

// Writes the bare conversion whose '%' is at `format` straight at `*dst`,
// when the fast path takes it, and returns how many units it spans; 0 when
// the fast path leaves it to the cursor (nothing read). Sets `*dropped` when
// a piece handed to the buffer's checked writes made it drop bytes: the
// buffer is then committed, and nothing more may be written. REQUIRES: kFastRoom
// bytes of room at `*dst`; `*dst` and `*limit` stand for the buffer's
// uncommitted room, and are moved on.
// Inlined where it is used, so that the room stays in registers.
template <typename Args>
RAZEZIR_ALWAYS_INLINE int WriteFastConversion(OutBuffer* out, FormatCursor* cursor,
                                              const char16_t* format, Args& args, char** dst,
                                              const char** limit, bool* dropped) {
  const char16_t letter = format[1];
  uint64_t bits;
  bool wide64;
  if (letter == u'd' || letter == u'i') {
    if (!TakeBareInt(args, true, &bits, &wide64)) return 0;
    *dst = PutDecimal<true>(*dst, bits, wide64);
    return 2;
  }
  if (letter == u'u') {
    if (!TakeBareInt(args, false, &bits, &wide64)) return 0;
    *dst = PutDecimal<false>(*dst, bits, wide64);
    return 2;
  }
  if (letter == u'x' || letter == u'X' || letter == u'o') {
    if (!TakeBareInt(args, false, &bits, &wide64)) return 0;
    *dst = PutBareIntSlow(*dst, letter, bits, wide64);
    return 2;
  }
  if (letter == u's' || letter == u'S' || (letter == u'h' && format[2] == u's')) {
    FastText text;
    if (!TakeText(args, letter == u's', &text)) return 0;
    const int span = letter == u'h' ? 3 : 2;
    if (text.wide != nullptr) {
      const char16_t* rest =
          CopyAscii<false>(text.wide, dst, static_cast<size_t>(*limit - *dst));
      if (*rest != u'\0') {
        out->CommitTo(*dst);
        cursor->NarrowRest(rest);
        if (out->truncated()) {
          *dropped = true;
          return span;
        }
        *dst = out->Cursor();
        *limit = out->Limit();
      }
    } else {
      const char* rest = text.narrow;
      for (size_t n = static_cast<size_t>(*limit - *dst); n > 0 && *rest != '\0'; --n) {
        *(*dst)++ = *rest++;
      }
      if (*rest != '\0') {
        out->CommitTo(*dst);
        out->Append(rest, std::strlen(rest));
        if (out->truncated()) {
          *dropped = true;
          return span;
        }
        *dst = out->Cursor();
        *limit = out->Limit();
      }
    }
    return span;
  }
  if (letter == u'%') {
    *(*dst)++ = '%';
    return 2;
  }
  if (letter == u'.' && format[2] >= u'0' && format[2] <= u'9' && format[3] == u'f') {
    double value;
    if (!TakeDouble(args, &value)) return 0;
    if (char* end = PutFixed(*dst, format[2] - u'0', value)) {
      *dst = end;
      return 4;
    }
    out->CommitTo(*dst);
    cursor->RenderFixed(format[2] - u'0', value);
    if (out->truncated()) {
      *dropped = true;
      return 4;
    }
    *dst = out->Cursor();
    *limit = out->Limit();
    return 4;
  }
  return 0;
}

// Writes the fast pieces from `format` on and returns where the cursor
// takes over. Nothing is written past the buffer's room: a literal run or
// string stops where the room does, and a conversion is written here only
// with kFastRoom bytes of room before it; the cursor, whose every write is
// checked, takes over from there, so a line longer than the buffer spills
// or grows as any other does. Nothing is written once the buffer has
// dropped bytes either (a field too long for the room of storage that may
// not grow): text after the loss would leave a hole in the line, and the
// cursor writes none.
//
// `readable`, when not null, is where the array the format is in ends.
template <typename Args>
const char16_t* WriteFastPieces(OutBuffer* out, FormatCursor* cursor, const char16_t* format,
                                Args& args, const char16_t* readable = nullptr) {
  if (out->truncated()) return format;
  char* dst = out->Cursor();
  const char* limit = out->Limit();
  for (;;) {
    format = CopyAscii<true>(format, &dst, static_cast<size_t>(limit - dst), readable);
    if (format[0] != u'%' || static_cast<size_t>(limit - dst) < kFastRoom) break;
    bool dropped = false;
    const int span = WriteFastConversion(out, cursor, format, args, &dst, &limit, &dropped);
    if (dropped) return format + span;  // committed; the cursor writes nothing more
    if (span == 0) break;
    format += span;
  }
  out->CommitTo(dst);
  return format;
}

// The engine's body. `kFast`: the fast pieces are tried before each
// conversion; without them every byte goes through the cursor's checked
// writes, which the fast path must match byte for byte.
template <bool kFast, typename Args>
int FormatWideOn(OutBuffer* out, const char16_t* format, Args& args, Narrowing* narrowing,
                 const char16_t* readable = nullptr) {
  if (out == nullptr || format == nullptr) return 0;
  FormatCursor cursor(out, format, narrowing);
  Field field;
  for (;;) {
    if constexpr (kFast) {
      const char16_t* position =
          WriteFastPieces(out, &cursor, cursor.position(), args, readable);
      cursor.MoveTo(position);
      if (*position == u'\0') break;
    }
    if (!cursor.Next(&field)) break;
    // '*' values precede the converted value, width first, as in C.
    int star;
    if (field.widthFromArg) {
      if (!ReadStar(args, out, field, &star)) {
        if constexpr (kTypedArgs<Args>) args.Skip(field.precisionFromArg ? 2 : 1);
        continue;
      }
      field.SetWidthFromArg(star);
    }
    if (field.precisionFromArg) {
      if (!ReadStar(args, out, field, &star)) {
        if constexpr (kTypedArgs<Args>) args.Skip(1);
        continue;
      }
      field.SetPrecisionFromArg(star);
    }
    FieldValue value;
    if (ReadValue(args, out, &field, &value)) cursor.Render(field, value);
  }
  if constexpr (kTypedArgs<Args>) {
    const char16_t* end = cursor.position();
    while (*end != u'\0') ++end;
    args.Finish(out, format, end);
  }
  return cursor.nMalformed();
}

template <typename Args>
int FormatWide(OutBuffer* out, const char16_t* format, Args& args) {
  Narrowing narrowing;
  return FormatWideOn<true>(out, format, args, &narrowing);
}

// FormatWide through the checked path alone, for tests and fuzzers that hold
// the fast path to it.
template <typename Args>
int FormatWideChecked(OutBuffer* out, const char16_t* format, Args& args) {
  Narrowing narrowing;
  return FormatWideOn<false>(out, format, args, &narrowing);
}

}  // namespace razezir

#endif  // RAZEZIR_SRC_FORMAT_WIDE_FORMAT_IMPL_H_
