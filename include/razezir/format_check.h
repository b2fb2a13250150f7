// The compile-time check of literal formats against their arguments, and
// their parse for the library, for C++20 hosts. razezir/trace.h includes it
// when the check is on; hosts include that header, not this one.
//
// The u"..." front ends hand every argument to the library with its type,
// and the engine formats it by what it is: an integer at its own width, a
// string at its own unit width. The check refuses exactly the calls where
// the engine would write a marker instead of a field, so that a C++20 host
// finds at compile time what a C++17 one finds in its log:
//
//   argument \ conversion   d i o u x X  c C   e f g a  s S   p   n
//   integer                     yes      yes     -      -    -   -
//   double, long double          -        -     yes     -    -   -
//   string                       -        -      -     yes  yes  -
//   nullptr                      -        -      -     yes  yes  -
//   other pointer                -        -      -      -   yes  -
//
// whatever the length modifier (%lld of an int and %hs of a 16-bit string
// are fine). A '*' width or precision takes any integer. Too few or too
// many arguments, a malformed conversion and `%n` (through which the
// library never stores) are refused too. The argument kinds are those of
// arguments::KindOf, so the check and the front ends agree on every type.
//
// A refusal is a call, during the constant evaluation of the format's
// constructor, to a function that is not constexpr: a reporter, whose name
// says what is wrong and whose template arguments say which argument (counted
// from 1 after the format) and its type. Every call of a reporter passes the
// remedy as a string literal, on the call's own line, and the chain from the
// constructor to it is kept short: compilers print that line within the
// first few of their message, g++ under its error and clang under its note.
//
// Nothing here is exported or keeps state. The rules and the parse are
// constexpr and also run at run time, in the fuzz target that holds them
// against the engine.

#ifndef RAZEZIR_INCLUDE_RAZEZIR_FORMAT_CHECK_H_
#define RAZEZIR_INCLUDE_RAZEZIR_FORMAT_CHECK_H_

#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "razezir/format_check.h needs C++20; include razezir/trace.h instead"
#endif

#include <stddef.h>
#include <stdint.h>

#include "razezir/format_grammar.h"
#include "razezir/trace_arguments.h"

namespace QXSTD {
namespace format_check {

namespace grammar = razezir::grammar;

// What a conversion may take an argument as.
enum class Category : uint8_t {
  kRefused,  // no trace call takes it (arguments::Taken says why)
  kInteger,  // any integer, character, bool or enumeration
  kReal,     // float, double, long double
  kString,   // a pointer to narrow or 16-bit units, or a string class
  kNull,     // nullptr
  kPointer,  // any other object or function pointer
};

// The category of an argument of kind `kind` (a TraceArgumentKind's value).
constexpr Category Classify(int kind) {
  using K = TraceArgumentKind;
  switch (static_cast<K>(kind)) {
    case K::kInt8:
    case K::kInt16:
    case K::kInt32:
    case K::kInt64:
    case K::kUInt8:
    case K::kUInt16:
    case K::kUInt32:
    case K::kUInt64:
    case K::kChar:
    case K::kChar16:
      return Category::kInteger;
    case K::kDouble:
    case K::kLongDouble:
      return Category::kReal;
    case K::kString:
    case K::kString16:
    case K::kCountedString:
    case K::kCountedString16:
      return Category::kString;
    case K::kNull:
      return Category::kNull;
    case K::kPointer:
      return Category::kPointer;
  }
  return Category::kRefused;
}

// T is an argument type as the front ends see it (arguments::Decay).
template <typename T>
constexpr Category Classify() {
  return Classify(arguments::KindOf<T>());
}

// Whether the engine shows an argument of `category` for a conversion
// that, read by the grammar, ends in `state`.
constexpr bool Accepts(grammar::State state, Category category) {
  switch (state) {
    case grammar::kArgInt:
    case grammar::kArgHH:
    case grammar::kArgH:
    case grammar::kArgL:
    case grammar::kArgLL:
    case grammar::kArgJ:
    case grammar::kArgZ:
    case grammar::kArgT:
    case grammar::kArgWideChar:
    case grammar::kArgNarrowChar:
      return category == Category::kInteger;
    case grammar::kArgDouble:
    case grammar::kArgLongDouble:
      return category == Category::kReal;
    case grammar::kArgWideString:
    case grammar::kArgNarrowString:
      return category == Category::kString || category == Category::kNull;
    case grammar::kArgPointer:
      return category == Category::kPointer || category == Category::kString ||
             category == Category::kNull;
    default:  // %n, and no conversion at all
      return false;
  }
}

// Whether an argument of `category` may be a '*' width or precision.
constexpr bool AcceptsStar(Category category) { return category == Category::kInteger; }

// The first thing wrong with a call, in the order the format reads it.
struct Verdict {
  enum Problem : uint8_t {
    kNone,
    kMismatch,        // `argument` cannot be shown by its conversion
    kStarNotInteger,  // `argument` is a '*' width or precision
    kMissing,         // the format reads `argument`, which the call lacks
    kExtra,           // no conversion reads `argument` or any after it
    kPercentN,        // the conversion at `offset` is a %n
    kMalformed,       // the conversion at `offset` is malformed
  };
  Problem problem;
  int argument;  // counted from 1 after the format; 0 when none
  int offset;    // the conversion's '%', in units from the format's start; -1 when none
};

// Checks the `count` arguments of `categories` against `format`, which may
// be null (it then reads nothing).
constexpr Verdict Examine(const char16_t* format, const Category* categories, int count) {
  grammar::ArgumentWalk walk(format);
  int next = 0;  // arguments read so far
  for (;;) {
    const grammar::ArgumentWalk::Step step = walk.Next();
    if (step == grammar::ArgumentWalk::kEnd) break;
    if (step == grammar::ArgumentWalk::kBadConversion) {
      return {Verdict::kMalformed, 0, walk.offset()};
    }
    const bool value = step == grammar::ArgumentWalk::kValue;
    if (value && walk.conversion().state == grammar::kArgCount) {
      return {Verdict::kPercentN, 0, walk.offset()};
    }
    if (next == count) return {Verdict::kMissing, next + 1, walk.offset()};
    const Category category = categories[next++];
    if (!value && !AcceptsStar(category)) {
      return {Verdict::kStarNotInteger, next, walk.offset()};
    }
    if (value && !Accepts(walk.conversion().state, category)) {
      return {Verdict::kMismatch, next, walk.offset()};
    }
  }
  if (next < count) return {Verdict::kExtra, next + 1, -1};
  return {Verdict::kNone, 0, -1};
}

// The reporters. Not constexpr: reaching one while a format is checked is
// what makes a wrong call a compile error. Their names and template
// arguments are the message; the remedy is the line the compilers print
// under it. They do nothing and are never called at run time; they are
// defined because a template of a type with internal linkage (a host's
// type in an unnamed namespace) must be.
//
// Argument number `Argument`, of type `Type`, cannot be shown by the
// conversion that reads it.
template <int Argument, typename Type>
void ArgumentTypeMismatch(const char* /*remedy*/) {}
// Argument number `Argument`, of type `Type`, is a '*' width or precision.
template <int Argument, typename Type>
void StarArgumentNotInteger(const char* /*remedy*/) {}
// The format reads argument number `Argument`; the call has one fewer.
template <int Argument>
void MissingArgument(const char* /*remedy*/) {}
// No conversion reads argument number `Argument`, of type `Type`.
template <int Argument, typename Type>
void ExtraArgument(const char* /*remedy*/) {}
inline void PercentNNotAllowed(const char* /*remedy*/) {}
inline void MalformedConversion(const char* /*remedy*/) {}

// The conversion at unit `offset` of the format (from its '%', counted
// from 0) is a %n, or is malformed: the compilers show `offset` in this
// frame.
constexpr void ConversionAt(int offset, bool percentN) {
  if (percentN) {
    PercentNNotAllowed("the library never stores through %n: remove it");
  } else if (offset >= 0) {
    MalformedConversion("this '%' begins no conversion; write %% for a percent sign");
  }
}

// Reports `verdict` if it is about argument number `Argument`, of type
// `Type`, with the remedy for what `Type` is.
template <int Argument, typename Type>
constexpr void CheckArgument(const Verdict& verdict) {
  if (verdict.argument != Argument) return;
  constexpr Category kCategory = Classify<Type>();
  if (verdict.problem == Verdict::kExtra) {
    ExtraArgument<Argument, Type>("no conversion reads this argument");
  } else if (verdict.problem == Verdict::kStarNotInteger) {
    StarArgumentNotInteger<Argument, Type>("a '*' width or precision takes an integer");
  } else if (verdict.problem != Verdict::kMismatch) {
    return;
  } else if constexpr (kCategory == Category::kInteger) {
    ArgumentTypeMismatch<Argument, Type>("write %d (or %u %x %o), %c for a character");
  } else if constexpr (kCategory == Category::kReal) {
    ArgumentTypeMismatch<Argument, Type>("write %f (or %e %g %a)");
  } else if constexpr (kCategory == Category::kString) {
    ArgumentTypeMismatch<Argument, Type>("write %s (or %hs)");
  } else if constexpr (kCategory == Category::kNull) {
    ArgumentTypeMismatch<Argument, Type>("write %s or %p");
  } else {
    ArgumentTypeMismatch<Argument, Type>("write %p");
  }
}

// The argument numbers 1 ... N, built by types rather than by calls:
// every frame between the format and its report is a line of the
// compiler's message.
template <int... Argument>
struct Numbers {};
template <int N, int... Argument>
struct MakeNumbers : MakeNumbers<N - 1, N, Argument...> {};
template <int... Argument>
struct MakeNumbers<0, Argument...> {
  using type = Numbers<Argument...>;
};

// Checks a call whose arguments, numbered Argument..., are of the types
// Args..., against `format`, and reports the first thing wrong. The
// reports are made here or one call down, never deeper.
template <typename... Args, int... Argument>
consteval void Check(const char16_t* format, Numbers<Argument...>) {
  // The front ends refuse an argument that no trace call takes with a
  // message of their own, which says what to pass instead; a verdict
  // reported here would come first and bury it.
  if constexpr (((Classify<Args>() == Category::kRefused) || ...)) {
    return;
  } else {
    constexpr Category kCategories[] = {Classify<Args>()..., Category::kRefused};
    const Verdict verdict = Examine(format, kCategories, static_cast<int>(sizeof...(Args)));
    if (verdict.problem == Verdict::kNone) return;
    if (verdict.problem == Verdict::kMalformed || verdict.problem == Verdict::kPercentN) {
      // Locals, so that g++ names them rather than a member access each.
      const int offset = verdict.offset;
      const bool percentN = verdict.problem == Verdict::kPercentN;
      return ConversionAt(offset, percentN);
    }
    (CheckArgument<Argument, Args>(verdict), ...);
    constexpr int kMissing = static_cast<int>(sizeof...(Args)) + 1;
    if (verdict.problem == Verdict::kMissing) {
      MissingArgument<kMissing>("the format reads an argument the call lacks");
    }
  }
}

// The parse of `format` that the library takes (see TraceFormat): each
// literal run one piece, kAscii when all its units are below 0x80, kText
// otherwise; each conversion, "%%" too, one kConversion piece. A format
// that needs more than kTraceFormatPieces pieces, has a piece longer than
// kTracePieceMaxUnits or more than 65,535 units, or has a malformed
// conversion, gets none, and the library parses it at run time; so does an
// empty one. `nUnits` counts the units up to the NUL and the NUL, which
// the library may read; it is 0 for a null format.
constexpr TraceFormat ParseForTrace(const char16_t* format) {
  constexpr uint32_t kMaxOffset = 0xFFFF;
  TraceFormat parsed{};
  parsed.units = format;
  if (format == nullptr) return parsed;
  uint32_t nPieces = 0;
  bool fits = true;  // every piece so far is in the parse
  uint32_t offset = 0;
  while (format[offset] != u'\0') {
    TracePieceKind kind = TracePieceKind::kConversion;
    uint32_t nUnits = 0;
    if (format[offset] == u'%') {
      const grammar::Conversion c = grammar::ParseConversion(format + offset);
      if (c.state == grammar::kMalformed) fits = false;
      nUnits = static_cast<uint32_t>(c.nUnits);
    } else {
      kind = TracePieceKind::kAscii;
      for (char16_t unit; (unit = format[offset + nUnits]) != u'\0' && unit != u'%'; ++nUnits) {
        if (unit >= 0x80) kind = TracePieceKind::kText;
      }
    }
    if (nUnits >= 0xFFFFFFFF - offset) return parsed;  // no count of units holds it
    if (nPieces == kTraceFormatPieces || nUnits > kTracePieceMaxUnits ||
        nUnits > kMaxOffset - offset) {
      fits = false;
    }
    if (fits) parsed.pieces[nPieces++] = TracePiece(kind, offset, nUnits);
    offset += nUnits;
  }
  parsed.nUnits = offset + 1;
  if (fits) {
    parsed.nPieces = nPieces;
  } else {
    for (uint32_t& piece : parsed.pieces) piece = 0;
  }
  return parsed;
}

struct RuntimeFormatString {
  const char16_t* units;
};

// Never defined, and not constexpr: reaching it means that the format's
// value is not known to the compiler, so it cannot be checked.
void FormatIsNotAConstantExpression();

// The reporter of a format that is not a constant expression: `remedy`
// reaches the compiler's message as written here.
constexpr void NotAConstantExpression(const char* remedy) {
  if (remedy != nullptr) FormatIsNotAConstantExpression();
}

// Whether the compiler knows the value of `expression`. Without the
// builtin, a format that is not a constant still fails to compile, with the
// compiler's own message: the variable it could not read, not the remedy.
#if defined(__has_builtin)
#if __has_builtin(__builtin_constant_p)
#define RAZEZIR_IS_CONSTANT(expression) __builtin_constant_p(expression)
#endif
#endif
#if !defined(RAZEZIR_IS_CONSTANT)
#define RAZEZIR_IS_CONSTANT(expression) true
#endif
#define RAZEZIR_RUNTIME_FORMAT_REMEDY \
  "a format known only at run time goes through QXSTD::RuntimeFormat(format)"

// The argument numbers of Args, as Check takes them.
template <typename... Args>
using NumbersOf = typename MakeNumbers<static_cast<int>(sizeof...(Args))>::type;

// A checked format is a literal, a constexpr array or a constexpr pointer.
// Arrays and pointers are taken by reference, so that a variable the
// compiler cannot read is reported, with the remedy, before anything reads
// it: read as an argument, the compiler stops there and names only the
// variable.
template <typename... Args>
class CheckedFormat {
 public:
  // Implicit, so that a literal converts where a format is expected.
  template <size_t N>
  consteval CheckedFormat(const char16_t (&format)[N]) : traced_{} {
    if (!RAZEZIR_IS_CONSTANT(format[0])) NotAConstantExpression(RAZEZIR_RUNTIME_FORMAT_REMEDY);
    Check<Args...>(format, NumbersOf<Args...>{});
    traced_ = ParseForTrace(format);
    // The whole array may be read, past a NUL inside it too.
    if constexpr (N < 0xFFFFFFFF) traced_.nUnits = static_cast<uint32_t>(N);
  }
  // A template, so that an array argument prefers the constructor above
  // rather than decaying to this one.
  template <typename Unit>
    requires arguments::kSame<Unit, char16_t>
  consteval CheckedFormat(const Unit* const& format) : traced_{} {
    if (!RAZEZIR_IS_CONSTANT(format)) NotAConstantExpression(RAZEZIR_RUNTIME_FORMAT_REMEDY);
    Check<Args...>(format, NumbersOf<Args...>{});
    traced_ = ParseForTrace(format);
  }
  // A pointer computed by the call (`name.c_str()`, `format + 1`) is
  // evaluated before any constructor could look at it, and compilers then
  // name what they could not evaluate: such formats are refused here, with
  // the remedy.
  template <typename Format>
    requires arguments::kOneOf<Format, const char16_t*, char16_t*>
  CheckedFormat(Format&&) : traced_{} {
    static_assert(arguments::kSame<Format, void>,
                  "only a literal or a constexpr variable is checked; "
                  RAZEZIR_RUNTIME_FORMAT_REMEDY);
  }
  // A null format writes nothing.
  consteval CheckedFormat(decltype(nullptr)) : traced_{} {
    Check<Args...>(nullptr, NumbersOf<Args...>{});
  }
  constexpr CheckedFormat(RuntimeFormatString format) : traced_{} { traced_.units = format.units; }

  constexpr const char16_t* get() const { return traced_.units; }
  // The format as the library takes it.
  constexpr const TraceFormat& traced() const { return traced_; }

 private:
  TraceFormat traced_;
};

#undef RAZEZIR_RUNTIME_FORMAT_REMEDY
#undef RAZEZIR_IS_CONSTANT

}  // namespace format_check
}  // namespace QXSTD

#endif  // RAZEZIR_INCLUDE_RAZEZIR_FORMAT_CHECK_H_
