// The compile-time check of literal formats against their arguments, for
// C++20 hosts. razezir/trace.h includes it when the check is on; hosts
// include that header, not this one.
//
// A format is walked with the same grammar the library's engine parses it
// with, and each argument the walk reads is compared with the type the host
// passed in that place. The comparison follows what the engine reads: the
// default argument promotions apply, an integer matches a conversion that
// reads an integer of its promoted size whatever the signs, `%s` (also
// `%ls`, `%ws`) reads a pointer to 16-bit units, `%hs` and `%S` a pointer to
// bytes, `%p` any object pointer, and a '*' width or precision an int. A null
// pointer constant matches every pointer conversion. `%n` is always refused:
// the library never stores through it, so a format that has one is wrong.
//
// A mismatch is reported by calling FormatDoesNotMatchArguments, which is
// not constexpr, during the constant evaluation of the format's constructor.
// A format that is not a constant expression is reported the same way, by
// FormatIsNotAConstantExpression under a frame that names the remedy,
// QXSTD::RuntimeFormat; a pointer computed in the call, by a static_assert
// that names it.
// The compiler then rejects the call, and the frames of its message name
// what is wrong: which argument (counted from 1 after the format), which
// conversion, and what it reads. See the reporters below.
//
// Nothing here is exported or keeps state. The check runs inside the
// compiler; its rules are constexpr and also run at run time, in the fuzz
// target that holds them against the engine.

#ifndef RAZEZIR_INCLUDE_RAZEZIR_FORMAT_CHECK_H_
#define RAZEZIR_INCLUDE_RAZEZIR_FORMAT_CHECK_H_

#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "razezir/format_check.h needs C++20; include razezir/trace.h instead"
#endif

#include <stddef.h>
#include <stdint.h>

#include "razezir/export.h"
#include "razezir/format_grammar.h"

namespace QXSTD {
namespace format_check {

namespace grammar = razezir::grammar;

template <typename T>
struct Identity {
  using type = T;
};

// Never defined, and not constexpr: reaching it while a format is checked
// is what makes a wrong format a compile error.
void FormatDoesNotMatchArguments();

// The reporters. Each one is a frame in the compiler's message, so their
// names and arguments are the text of the error. Some compilers show the
// values a frame was called with, others only its template arguments and
// the expressions it was called with as written; so the argument number is
// both a template argument and a value, and the conversion and the type it
// reads reach the message as string literals written at the call.

// The last frame: the conversion as the format spells it, without flags,
// width and precision.
constexpr void Conversion(const char* spelled) {
  if (spelled != nullptr) FormatDoesNotMatchArguments();
}

#define RAZEZIR_LETTER(m, l) \
  case #l[0]:                \
    return Conversion("%" m #l);
#define RAZEZIR_MODIFIER(state, m)                                   \
  case grammar::state:                                               \
    switch (letter) {                                                \
      RAZEZIR_LETTER(m, d) RAZEZIR_LETTER(m, i) RAZEZIR_LETTER(m, o) \
      RAZEZIR_LETTER(m, u) RAZEZIR_LETTER(m, x) RAZEZIR_LETTER(m, X) \
      RAZEZIR_LETTER(m, e) RAZEZIR_LETTER(m, E) RAZEZIR_LETTER(m, f) \
      RAZEZIR_LETTER(m, F) RAZEZIR_LETTER(m, g) RAZEZIR_LETTER(m, G) \
      RAZEZIR_LETTER(m, a) RAZEZIR_LETTER(m, A) RAZEZIR_LETTER(m, s) \
      RAZEZIR_LETTER(m, S) RAZEZIR_LETTER(m, c) RAZEZIR_LETTER(m, C) \
      RAZEZIR_LETTER(m, p) RAZEZIR_LETTER(m, n)                      \
    }                                                                \
    break;

constexpr void InConversion(grammar::State modifier, char16_t letter) {
  switch (modifier) {
    RAZEZIR_MODIFIER(kBare, "")
    RAZEZIR_MODIFIER(kLPre, "l")
    RAZEZIR_MODIFIER(kLLPre, "ll")
    RAZEZIR_MODIFIER(kHPre, "h")
    RAZEZIR_MODIFIER(kHHPre, "hh")
    RAZEZIR_MODIFIER(kBigLPre, "L")
    RAZEZIR_MODIFIER(kJPre, "j")
    RAZEZIR_MODIFIER(kZPre, "z")
    RAZEZIR_MODIFIER(kTPre, "t")
    RAZEZIR_MODIFIER(kWPre, "w")
    RAZEZIR_MODIFIER(kIPre, "I")
    RAZEZIR_MODIFIER(kI32Pre, "I32")
    RAZEZIR_MODIFIER(kI64Pre, "I64")
    default:
      break;
  }
  Conversion("%");
}
#undef RAZEZIR_MODIFIER
#undef RAZEZIR_LETTER

// The conversion reads its argument as `expected`.
constexpr void Expects(const char* expected, grammar::State modifier,
                       char16_t letter) {
  if (expected != nullptr) InConversion(modifier, letter);
}

constexpr void ReadsAs(bool star, grammar::State state,
                       grammar::State modifier, char16_t letter) {
  if (star) return Expects("int", modifier, letter);
  switch (state) {
    case grammar::kArgInt:
    case grammar::kArgHH:
    case grammar::kArgH:
      return Expects("int or unsigned int", modifier, letter);
    case grammar::kArgL:
      return Expects("long or unsigned long", modifier, letter);
    case grammar::kArgLL:
      return Expects("long long or unsigned long long", modifier, letter);
    case grammar::kArgJ:
      return Expects("intmax_t or uintmax_t", modifier, letter);
    case grammar::kArgZ:
      return Expects("size_t or ptrdiff_t", modifier, letter);
    case grammar::kArgT:
      return Expects("ptrdiff_t or size_t", modifier, letter);
    case grammar::kArgDouble:
      return Expects("double or float", modifier, letter);
    case grammar::kArgLongDouble:
      return Expects(RAZEZIR_LONG_DOUBLE_IS_DOUBLE ? "double (L reads a double on Windows)"
                                                   : "long double",
                     modifier, letter);
    case grammar::kArgWideString:
      return Expects("const char16_t*", modifier, letter);
    case grammar::kArgNarrowString:
      return Expects("const char*", modifier, letter);
    case grammar::kArgWideChar:
      return Expects("int (a char16_t, promoted)", modifier, letter);
    case grammar::kArgNarrowChar:
      return Expects("int (a char, promoted)", modifier, letter);
    case grammar::kArgPointer:
      return Expects("an object pointer", modifier, letter);
    default:
      return Expects("nothing", modifier, letter);
  }
}

// Argument number `argument`, of type T, is not what the conversion reads.
template <int Argument, typename T>
constexpr void ArgumentTypeMismatch(int argument, grammar::State state,
                                    grammar::State modifier, char16_t letter) {
  if (argument == Argument) ReadsAs(false, state, modifier, letter);
}

// Argument number `argument`, of type T, is the '*' width or precision of
// the conversion, which must be an int.
template <int Argument, typename T>
constexpr void StarArgumentNotInt(int argument, grammar::State modifier,
                                  char16_t letter) {
  if (argument == Argument) ReadsAs(true, grammar::kArgInt, modifier, letter);
}

// The conversion reads argument number `argument`, which the call lacks.
template <int Argument>
constexpr void MissingArgument(int argument, bool star, grammar::State state,
                               grammar::State modifier, char16_t letter) {
  if (argument == Argument) ReadsAs(star, state, modifier, letter);
}

// Argument number `argument`, of type T, is read by no conversion.
template <int Argument, typename T>
constexpr void ExtraArgument(int argument) {
  if (argument == Argument) FormatDoesNotMatchArguments();
}

// The library never stores through `%n`: a format that has one is wrong.
// `offset` counts units from the start of the format to its '%'.
constexpr void PercentNNotAllowed(int offset, grammar::State modifier,
                                  char16_t letter) {
  if (offset >= 0) InConversion(modifier, letter);
}

// The conversion at unit `offset` of the format is malformed at the unit
// `unit` ('?' when that is not ASCII), or the format ends inside it (`unit`
// is then '\0').
constexpr void MalformedConversion(int offset, char unit) {
  if (offset >= 0 && unit >= 0) FormatDoesNotMatchArguments();
}

// The argument types, sorted by what a conversion may read them as.
enum class Kind : uint8_t {
  kOther,
  kInteger,       // after promotion, `size` bytes
  kDouble,        // float or double
  kLongDouble,
  kWideString,    // pointer to 16-bit units
  kNarrowString,  // pointer to bytes
  kPointer,       // any other object pointer
  kNull,          // nullptr
};

struct ArgType {
  Kind kind;
  size_t size;
};

// The few type traits the check needs, written here rather than taken from
// <type_traits>: every C++20 translation unit that includes the trace header
// pays for what it includes.
template <typename A, typename B>
inline constexpr bool kSame = false;
template <typename A>
inline constexpr bool kSame<A, A> = true;

template <typename T, typename... Of>
inline constexpr bool kOneOf = (kSame<T, Of> || ...);

template <typename T>
struct RemoveCv {
  using type = T;
};
template <typename T>
struct RemoveCv<const T> {
  using type = T;
};
template <typename T>
struct RemoveCv<volatile T> {
  using type = T;
};
template <typename T>
struct RemoveCv<const volatile T> {
  using type = T;
};

template <typename T>
struct Pointer {
  static constexpr bool kIs = false;
  using Unit = void;
};
template <typename T>
struct Pointer<T*> {
  static constexpr bool kIs = true;
  using Unit = typename RemoveCv<T>::type;
};

template <typename T>
inline constexpr bool kIsInteger =
    kOneOf<T, bool, char, signed char, unsigned char, wchar_t, char16_t,
           char32_t, short, unsigned short, int, unsigned, long, unsigned long,
           long long, unsigned long long>
#if defined(__cpp_char8_t)
    || kSame<T, char8_t>
#endif
    ;

template <typename Unit>
inline constexpr bool kIsWideUnit =
    kOneOf<Unit, char16_t, unsigned short> ||
    (kSame<Unit, wchar_t> && sizeof(wchar_t) == 2);

template <typename Unit>
inline constexpr bool kIsNarrowUnit =
    kOneOf<Unit, char, signed char, unsigned char>
#if defined(__cpp_char8_t)
    || kSame<Unit, char8_t>
#endif
    ;

// T is an argument type after decay, as the trace overloads take them.
template <typename T>
constexpr ArgType Classify() {
  if constexpr (kIsInteger<T> || (__is_enum(T) && requires(T t) { +t; })) {
    // Unary plus applies the integral promotions, as passing through '...'
    // does, to integers and to unscoped enumerations.
    return {Kind::kInteger, sizeof(+T{})};
  } else if constexpr (__is_enum(T)) {
    // A scoped enumeration is not promoted.
    return {Kind::kInteger, sizeof(T)};
  } else if constexpr (kOneOf<T, float, double>) {
    return {Kind::kDouble, sizeof(double)};
  } else if constexpr (kSame<T, long double>) {
    return {Kind::kLongDouble, sizeof(long double)};
  } else if constexpr (kSame<T, decltype(nullptr)>) {
    return {Kind::kNull, sizeof(void*)};
  } else if constexpr (Pointer<T>::kIs) {
    using Unit = typename Pointer<T>::Unit;
    if constexpr (kIsWideUnit<Unit>) return {Kind::kWideString, sizeof(T)};
    if constexpr (kIsNarrowUnit<Unit>) return {Kind::kNarrowString, sizeof(T)};
    // const applied to a function type changes nothing; to an object type
    // without cv-qualifiers, or to void, it does.
    if constexpr (!kSame<const Unit, Unit>) return {Kind::kPointer, sizeof(T)};
    return {Kind::kOther, sizeof(T)};
  } else {
    return {Kind::kOther, sizeof(T)};
  }
}

constexpr bool IsInteger(ArgType type, size_t size) {
  return type.kind == Kind::kInteger && type.size == size;
}

constexpr bool IsPointer(ArgType type) {
  return type.kind == Kind::kPointer || type.kind == Kind::kWideString ||
         type.kind == Kind::kNarrowString || type.kind == Kind::kNull;
}

// Whether the engine, reading the argument as `state` says, reads what the
// host passed.
constexpr bool Accepts(grammar::State state, ArgType type) {
  switch (state) {
    case grammar::kArgInt:
    case grammar::kArgHH:
    case grammar::kArgH:
    case grammar::kArgWideChar:
    case grammar::kArgNarrowChar:
      return IsInteger(type, sizeof(int));
    case grammar::kArgL:
      return IsInteger(type, sizeof(long));
    case grammar::kArgLL:
      return IsInteger(type, sizeof(long long));
    case grammar::kArgJ:
      return IsInteger(type, sizeof(intmax_t));
    case grammar::kArgZ:
      return IsInteger(type, sizeof(size_t));
    case grammar::kArgT:
      return IsInteger(type, sizeof(ptrdiff_t));
    case grammar::kArgDouble:
      return type.kind == Kind::kDouble;
    case grammar::kArgLongDouble:
      return type.kind == (RAZEZIR_LONG_DOUBLE_IS_DOUBLE ? Kind::kDouble : Kind::kLongDouble);
    case grammar::kArgWideString:
      return type.kind == Kind::kWideString || type.kind == Kind::kNull;
    case grammar::kArgNarrowString:
      return type.kind == Kind::kNarrowString || type.kind == Kind::kNull;
    case grammar::kArgPointer:
      return IsPointer(type);
    default:
      return false;
  }
}

// Moves `walk` to the next argument the format reads, reporting a malformed
// conversion or a %n on the way.
constexpr grammar::ArgumentWalk::Step NextArgument(
    grammar::ArgumentWalk& walk) {
  grammar::ArgumentWalk::Step step = walk.Next();
  const grammar::Conversion& c = walk.conversion();
  if (step == grammar::ArgumentWalk::kBadConversion) {
    MalformedConversion(walk.offset(),
                        c.letter < 0x80 ? static_cast<char>(c.letter) : '?');
  } else if (step == grammar::ArgumentWalk::kValue &&
             c.state == grammar::kArgCount) {
    PercentNNotAllowed(walk.offset(), c.modifier, c.letter);
  }
  return step;
}

// Checks argument number `Argument`, of type T, against what the format
// reads next.
template <int Argument, typename T>
constexpr void CheckArgument(grammar::ArgumentWalk& walk) {
  constexpr ArgType kType = Classify<T>();
  grammar::ArgumentWalk::Step step = NextArgument(walk);
  const grammar::Conversion& c = walk.conversion();
  switch (step) {
    case grammar::ArgumentWalk::kEnd:
      ExtraArgument<Argument, T>(Argument);
      break;
    case grammar::ArgumentWalk::kStarWidth:
    case grammar::ArgumentWalk::kStarPrecision:
      if (!IsInteger(kType, sizeof(int)))
        StarArgumentNotInt<Argument, T>(Argument, c.modifier, c.letter);
      break;
    case grammar::ArgumentWalk::kValue:
      if (!Accepts(c.state, kType))
        ArgumentTypeMismatch<Argument, T>(Argument, c.state, c.modifier,
                                          c.letter);
      break;
    case grammar::ArgumentWalk::kBadConversion:
      break;
  }
}

// The argument numbers 1 ... N, built by types rather than by calls:
// compilers cut long chains of calls out of their messages, and every frame
// between the format and the report counts.
template <int... Argument>
struct Numbers {};
template <int N, int... Argument>
struct MakeNumbers : MakeNumbers<N - 1, N, Argument...> {};
template <int... Argument>
struct MakeNumbers<0, Argument...> {
  using type = Numbers<Argument...>;
};

template <typename... Args, int... Argument>
constexpr void CheckArguments(grammar::ArgumentWalk& walk,
                              Numbers<Argument...>) {
  (CheckArgument<Argument, Args>(walk), ...);
}

template <typename... Args>
consteval void Check(const char16_t* format) {
  // The trace overloads refuse an argument of class or union type with a
  // message of their own, which says what to pass instead; a mismatch
  // reported here would come first and bury it.
  if constexpr (((__is_class(Args) || __is_union(Args)) || ...)) return;
  grammar::ArgumentWalk walk(format);
  CheckArguments<Args...>(
      walk, typename MakeNumbers<static_cast<int>(sizeof...(Args))>::type{});
  // Whatever the format still reads has no argument. Only the first one is
  // reported, so its number is known here.
  constexpr int kMissing = static_cast<int>(sizeof...(Args)) + 1;
  for (;;) {
    grammar::ArgumentWalk::Step step = NextArgument(walk);
    if (step == grammar::ArgumentWalk::kEnd) break;
    if (step == grammar::ArgumentWalk::kBadConversion) continue;
    const grammar::Conversion& c = walk.conversion();
    MissingArgument<kMissing>(kMissing,
                              step != grammar::ArgumentWalk::kValue, c.state,
                              c.modifier, c.letter);
  }
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
  consteval CheckedFormat(const char16_t (&format)[N]) : units_(nullptr) {
    if (!RAZEZIR_IS_CONSTANT(format[0])) NotAConstantExpression(RAZEZIR_RUNTIME_FORMAT_REMEDY);
    units_ = format;
    Check<Args...>(format);
  }
  // A template, so that an array argument prefers the constructor above
  // rather than decaying to this one.
  template <typename Unit>
    requires kSame<Unit, char16_t>
  consteval CheckedFormat(const Unit* const& format) : units_(nullptr) {
    if (!RAZEZIR_IS_CONSTANT(format)) NotAConstantExpression(RAZEZIR_RUNTIME_FORMAT_REMEDY);
    units_ = format;
    Check<Args...>(format);
  }
  // A pointer computed by the call (`name.c_str()`, `format + 1`) is
  // evaluated before any constructor could look at it, and compilers then
  // name what they could not evaluate: such formats are refused here, with
  // the remedy.
  template <typename Format>
    requires kOneOf<Format, const char16_t*, char16_t*>
  CheckedFormat(Format&&) : units_(nullptr) {
    static_assert(kSame<Format, void>, "only a literal or a constexpr variable is checked; "
                                       RAZEZIR_RUNTIME_FORMAT_REMEDY);
  }
  // A null format writes nothing.
  consteval CheckedFormat(decltype(nullptr)) : units_(nullptr) { Check<Args...>(nullptr); }
  constexpr CheckedFormat(RuntimeFormatString format) : units_(format.units) {}

  constexpr const char16_t* get() const { return units_; }

 private:
  const char16_t* units_;
};

#undef RAZEZIR_RUNTIME_FORMAT_REMEDY
#undef RAZEZIR_IS_CONSTANT

}  // namespace format_check
}  // namespace QXSTD

#endif  // RAZEZIR_INCLUDE_RAZEZIR_FORMAT_CHECK_H_
