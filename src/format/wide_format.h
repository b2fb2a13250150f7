// The printf engine for 16-bit wide format strings. It renders a format and
// its arguments as narrow bytes in the encoding of the current C locale
// (LC_CTYPE), appending them to an OutBuffer that the caller owns.
//
// Callers' formats are written for a platform whose wide printf treats `%s`
// and `%c` as wide (16-bit) arguments and `%hs`, `%S`, `%hc`, `%C` as narrow
// ones; the engine follows those conventions rather than glibc's.
//
// The engine keeps no state between calls and takes no lock: any number of
// threads may format at once, each into its own OutBuffer.

#ifndef RAZEZIR_SRC_FORMAT_WIDE_FORMAT_H_
#define RAZEZIR_SRC_FORMAT_WIDE_FORMAT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "format/out_buffer.h"
#include "platform/port.h"
#include "razezir/trace_arguments.h"

namespace razezir {

// The C type an integer conversion reads, decided by its length modifier.
enum class IntArg : uint8_t {
  kInt,       // none, hh, h, I32 (promoted to int)
  kLong,      // l
  kLongLong,  // ll, I64
  kIntMax,    // j
  kSize,      // z, I
  kPtrDiff,   // t
};

// How text beyond ASCII reaches the narrow encoding. kUnknown until the first
// non-ASCII unit of a call, so that ASCII-only calls never query the locale.
enum class Charset : uint8_t {
  kUnknown,
  kAscii,  // nothing beyond ASCII is expressible: every such code point is '?'
  kUtf8,   // encoded here, without a library call per character
  kRuntime,  // any other locale: the platform encodes by the locale snapshot
};

// How one call narrows its text: the charset, and the locale snapshot that
// it was classified from, which kRuntime encodes and cuts by. Both are taken
// together at the call's first non-ASCII unit and kept to its end, so that
// one line is in one encoding even while another thread changes the locale.
struct Narrowing {
  // kUnknown, with no snapshot yet: a call of ASCII alone pays for none.
  Narrowing() : charset(Charset::kUnknown) {}
  Narrowing(Charset known, const platform::LocaleSnapshot& snapshot)
      : charset(known), locale(snapshot) {}

  Charset charset;
  platform::LocaleSnapshot locale;  // set once charset is not kUnknown
};

// How the engine reads the arguments of a format. VaListArgs reads a real
// va_list; tests and the fuzzer supply their own class with the same
// members, so that they can feed arbitrary formats with safe arguments.
//
//   uint64_t Integer(IntArg kind);     // the argument's bits, sign-extended
//                                      // for signed kinds
//   double Double();
//   long double LongDouble();
//   const void* Pointer();             // %p and the argument of %n
//   const char* NarrowString(int precision);     // may be null
//   const char16_t* WideString(int precision);   // may be null
//   int NarrowChar();                  // %hc: an int holding a char
//   unsigned WideChar();               // %c, %lc: an int holding a code unit
//
// A string's `precision` is the field's, or negative for none. With one,
// the engine reads no unit or byte past it, so the string need not be
// terminated within it; sources that test this hand out strings that end
// exactly there.
class VaListArgs {
 public:
  // `ap` stays owned by the caller, who va_copies it first if needed.
  explicit VaListArgs(va_list* ap) : ap_(ap) {}

  uint64_t Integer(IntArg kind);
  double Double() { return va_arg(*ap_, double); }
  long double LongDouble() { return platform::NextLongDoubleArg(ap_); }
  const void* Pointer() { return va_arg(*ap_, const void*); }
  const char* NarrowString(int) { return va_arg(*ap_, const char*); }
  const char16_t* WideString(int) { return va_arg(*ap_, const char16_t*); }
  int NarrowChar() { return va_arg(*ap_, int); }
  unsigned WideChar() { return static_cast<unsigned>(va_arg(*ap_, int)); }

 private:
  va_list* ap_;
};

// The most padding one field produces. A width, and the precision of an
// integer or floating-point conversion, count as at most this many, so that
// a short hostile format cannot ask for gigabytes of spaces or zeros; no
// real line comes near it. It never cuts text: a string is written whole
// however long it is, and a string's precision is not bounded by it.
constexpr int kMaxFieldPadding = 1 << 20;

// Renders `format` with arguments read from `args` and appends the bytes to
// `out`. `format` is NUL-terminated; a null format renders nothing.
// Defined in wide_format.cc for VaListArgs; tests and the fuzzer instantiate
// it for their own argument sources by including wide_format_impl.h.
// Returns how many conversions were malformed and written out literally (up
// to where the output was cut, if the buffer dropped bytes).
template <typename Args>
int FormatWide(OutBuffer* out, const char16_t* format, Args& args);

// Renders a call with typed arguments: `format`, by its compile-time parse
// when it has one, with `count` records read each by its own kind (see
// TypedArgs in wide_format_impl.h).
void FormatTyped(OutBuffer* out, const QXSTD::TraceFormat& format,
                 const QXSTD::TraceArgument* arguments, size_t count, Narrowing* narrowing);

// Convenience front end over a va_list, which it reads through a copy.
// `narrowing` is the line's, shared with the rest of it.
void FormatWideV(OutBuffer* out, const char16_t* format, va_list ap, Narrowing* narrowing);

// Appends `nUnits` 16-bit code units of `text` converted to the narrow
// encoding of the current locale. Surrogate pairs become one code point; a
// code point the locale cannot express, or a lone surrogate, becomes '?'.
void AppendNarrowed(OutBuffer* out, const char16_t* text, size_t nUnits);

// Appends `nUnits` units of `text` narrowed as `*narrowing` says, taking the
// locale into it first if it is kUnknown and a non-ASCII unit appears.
// AppendNarrowed is this with a fresh Narrowing.
void NarrowUnits(OutBuffer* out, Narrowing* narrowing, const char16_t* text,
                 size_t nUnits);

// Single fields rendered as the engine renders them, for text that is built
// around a format rather than by one.
//
// Appends `value` in upper-case hex with at least `nDigits` digits, as
// "%.*X" would.
void AppendUpperHex(OutBuffer* out, uint64_t value, int nDigits);
// Appends the NUL-terminated `text` right-aligned in a field of `nUnits`
// units, as "%*s" would; a null `text` is written "(null)".
void AppendRightAligned(OutBuffer* out, const char16_t* text, int nUnits,
                        Narrowing* narrowing = nullptr);

// Returns how many of the first `nBytes` bytes of the narrow `text` to keep
// so that at most `maxBytes` remain and no multibyte character of the
// current locale is cut. Bytes that do not form a character are kept as
// they are.
size_t CutOnCharBoundary(const char* text, size_t nBytes, size_t maxBytes);

}  // namespace razezir

#endif  // RAZEZIR_SRC_FORMAT_WIDE_FORMAT_H_
