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

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "razezir/format_grammar.h"

namespace razezir {

// Classifies the locale that `locale` holds.
Charset ClassifyLocale(const platform::LocaleSnapshot& locale);
// Classifies the calling thread's current LC_CTYPE locale.
Charset ClassifyLocale();

// Appends `nUnits` units of `text` narrowed as `*narrowing` says, taking the
// locale into it first if it is kUnknown and a non-ASCII unit appears.
// AppendNarrowed is this with a fresh Narrowing.
void NarrowUnits(OutBuffer* out, Narrowing* narrowing, const char16_t* text,
                 size_t nUnits);

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

// One conversion, as FormatCursor::Next parsed it.
struct Field {
  FieldArg arg;
  IntArg intArg;          // kInteger: the C type the caller passed
  uint8_t intBits;        // kInteger: width of the value after hh/h narrowing
  char conversion;        // the conversion letter
  uint8_t flags;          // kFlag* bits
  bool widthFromArg;      // '*': an int argument precedes the value
  bool precisionFromArg;  // '.*': an int argument precedes the value
  int width;              // 0 when absent
  int precision;          // negative when absent

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
// advances `*dst` and returns where it stopped in `text`. Defined for both
// settings in wide_format.cc.
template <bool kStopAtPercent>
const char16_t* CopyAscii(const char16_t* text, char** dst, size_t nRoom);

// Writes an int of a bare conversion (d i u x X o) at `dst` and returns
// where it ends. `bits` holds the int's bits.
char* PutBareInt(char* dst, char16_t conversion, uint64_t bits);

// Writes the fast pieces from `format` on and returns where the cursor
// takes over. Nothing is written past the buffer's room: a literal run or
// string stops where the room does, and a conversion is written here only
// with kFastRoom bytes of room before it; the cursor, whose every write is
// checked, takes over from there, so a line longer than the buffer spills
// or grows as any other does. Nothing is written once the buffer has
// dropped bytes either (a field too long for the room of storage that may
// not grow): text after the loss would leave a hole in the line, and the
// cursor writes none.
template <typename Args>
const char16_t* WriteFastPieces(OutBuffer* out, FormatCursor* cursor, const char16_t* format,
                                Args& args) {
  // A buffer that has dropped bytes keeps nothing more, as the cursor
  // writes nothing more: the checks are made wherever it may drop some,
  // after each piece handed to the buffer's checked writes.
  if (out->truncated()) return format;
  char* dst = out->Cursor();
  const char* limit = out->Limit();
  // Room left, counted; never negative, since every write below is bounded
  // by it.
  auto room = [&] { return static_cast<size_t>(limit - dst); };
  for (;;) {
    format = CopyAscii<true>(format, &dst, room());
    if (format[0] != u'%' || room() < kFastRoom) break;
    const char16_t letter = format[1];
    if (letter == u'd' || letter == u'i' || letter == u'u' || letter == u'x' || letter == u'X' ||
        letter == u'o') {
      dst = PutBareInt(dst, letter, args.Integer(IntArg::kInt));
    } else if (letter == u's') {
      const char16_t* text = args.WideString(-1);
      text = CopyAscii<false>(text != nullptr ? text : kWideNull, &dst, room());
      if (*text != u'\0') {
        out->CommitTo(dst);
        cursor->NarrowRest(text);
        if (out->truncated()) return format + 2;
        dst = out->Cursor();
        limit = out->Limit();
      }
    } else if (letter == u'S' || (letter == u'h' && format[2] == u's')) {
      if (letter == u'h') ++format;
      const char* text = args.NarrowString(-1);
      if (text == nullptr) text = kNarrowNull;
      for (size_t n = room(); n > 0 && *text != '\0'; --n) *dst++ = *text++;
      if (*text != '\0') {
        out->CommitTo(dst);
        out->Append(text, std::strlen(text));
        if (out->truncated()) return format + 2;
        dst = out->Cursor();
        limit = out->Limit();
      }
    } else if (letter == u'%') {
      *dst++ = '%';
    } else if (letter == u'.' && format[2] >= u'0' && format[2] <= u'9' && format[3] == u'f') {
      out->CommitTo(dst);
      cursor->RenderFixed(format[2] - u'0', args.Double());
      format += 2;
      if (out->truncated()) return format + 2;
      dst = out->Cursor();
      limit = out->Limit();
    } else {
      break;
    }
    format += 2;
  }
  out->CommitTo(dst);
  return format;
}

// The engine's body. `kFast`: the fast pieces are tried before each
// conversion; without them every byte goes through the cursor's checked
// writes, which the fast path must match byte for byte.
template <bool kFast, typename Args>
int FormatWideOn(OutBuffer* out, const char16_t* format, Args& args, Narrowing* narrowing) {
  if (out == nullptr || format == nullptr) return 0;
  FormatCursor cursor(out, format, narrowing);
  Field field;
  for (;;) {
    if constexpr (kFast) {
      const char16_t* position = WriteFastPieces(out, &cursor, cursor.position(), args);
      if (*position == u'\0') break;
      cursor.MoveTo(position);
    }
    if (!cursor.Next(&field)) break;
    // '*' values precede the converted value, width first, as in C.
    if (field.widthFromArg) {
      field.SetWidthFromArg(static_cast<int>(args.Integer(IntArg::kInt)));
    }
    if (field.precisionFromArg) {
      field.SetPrecisionFromArg(static_cast<int>(args.Integer(IntArg::kInt)));
    }
    FieldValue value;
    switch (field.arg) {
      case FieldArg::kInteger:
        value.bits = args.Integer(field.intArg);
        break;
      case FieldArg::kDouble:
        value.real = args.Double();
        break;
      case FieldArg::kLongDouble:
        value.longReal = args.LongDouble();
        break;
      case FieldArg::kWideString:
        value.wide = args.WideString(field.precision);
        break;
      case FieldArg::kNarrowString:
        value.narrow = args.NarrowString(field.precision);
        break;
      case FieldArg::kWideChar:
        value.unit = args.WideChar();
        break;
      case FieldArg::kNarrowChar:
        value.byte = args.NarrowChar();
        break;
      case FieldArg::kPointer:
        value.pointer = args.Pointer();
        break;
      case FieldArg::kCount:
        // Storing a count through a caller's pointer turns a hostile format
        // into a memory write; the pointer is read only to keep the later
        // arguments in step.
        args.Pointer();
        continue;
    }
    cursor.Render(field, value);
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
