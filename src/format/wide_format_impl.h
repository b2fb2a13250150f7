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

#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "razezir/format_grammar.h"

namespace razezir {

// How text beyond ASCII reaches the narrow encoding. kUnknown until the first
// non-ASCII unit of a call, so that ASCII-only calls never query the locale.
enum class Charset : uint8_t {
  kUnknown,
  kAscii,  // nothing beyond ASCII is expressible: every such code point is '?'
  kUtf8,   // encoded here, without a library call per character
  kRuntime,  // any other locale: wcrtomb decides
};

// Classifies the calling thread's current LC_CTYPE locale.
Charset ClassifyLocale();

// Appends `nUnits` units of `text` narrowed as `*charset` says, classifying
// the locale into `*charset` first if it is kUnknown and a non-ASCII unit
// appears. AppendNarrowed is this with a fresh kUnknown.
void NarrowUnits(OutBuffer* out, Charset* charset, const char16_t* text,
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
  FormatCursor(OutBuffer* out, const char16_t* format)
      : sink_(*out), next_(format), charset_(Charset::kUnknown) {}

  FormatCursor(const FormatCursor&) = delete;
  FormatCursor& operator=(const FormatCursor&) = delete;

  // Returns false at the end of the format, or once the buffer has dropped
  // bytes: nothing written after that could be kept.
  bool Next(Field* field);
  void Render(const Field& field, const FieldValue& value);

  // How many malformed conversions Next has written out literally so far.
  int nMalformed() const { return nMalformed_; }

 private:
  OutBuffer& sink_;  // where the fields go
  const char16_t* next_;
  Charset charset_;
  int nMalformed_ = 0;
};

template <typename Args>
int FormatWide(OutBuffer* out, const char16_t* format, Args& args) {
  if (out == nullptr || format == nullptr) return 0;
  FormatCursor cursor(out, format);
  Field field;
  while (cursor.Next(&field)) {
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

}  // namespace razezir

#endif  // RAZEZIR_SRC_FORMAT_WIDE_FORMAT_IMPL_H_
