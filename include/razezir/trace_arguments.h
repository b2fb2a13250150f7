// Typed arguments: how the u"..." front ends of razezir/trace.h hand each
// argument to the library together with its type, so that the engine
// formats it by what it is rather than by what the format claims. Hosts
// include razezir/trace.h, not this header.
//
// The records here cross the library's boundary (QXSTD::TraceTyped), so
// their layout is fixed: every field has a fixed width and a fixed place,
// whatever the compiler. A `long` goes by its size (32 bits on Windows, 64
// elsewhere), and a `long double` as the library's varargs path treats it:
// by its address where it is wider than a double, as a double on Windows.
//
// Nothing here keeps state. The classification of argument types is shared
// with the compile-time format check (razezir/format_check.h), so that the
// two agree on what each type is.

#ifndef RAZEZIR_INCLUDE_RAZEZIR_TRACE_ARGUMENTS_H_
#define RAZEZIR_INCLUDE_RAZEZIR_TRACE_ARGUMENTS_H_

#include <stddef.h>
#include <stdint.h>

#include "razezir/export.h"

namespace QXSTD {

// What one typed argument is. The values are part of the binary interface.
enum class TraceArgumentKind : uint8_t {
  kInt8 = 1,
  kInt16,
  kInt32,
  kInt64,
  kUInt8,  // also bool and char8_t
  kUInt16,
  kUInt32,  // also char32_t
  kUInt64,
  kChar,    // a narrow character, signed as the platform's char is
  kChar16,  // a 16-bit unit: char16_t, and wchar_t where it is 16 bits
  kDouble,  // a float or a double, as a double's bits
  // A long double: its address where it is wider than a double, else a
  // double's bits (Windows).
  kLongDouble,
  kPointer,  // any other object or function pointer
  kNull,     // nullptr
  kString,   // a NUL-terminated narrow string (char, signed or unsigned char, char8_t)
  kString16,  // a NUL-terminated 16-bit string (char16_t, unsigned short, 16-bit wchar_t)
  kCountedString,    // a narrow string of a count of bytes (std::string, std::string_view)
  kCountedString16,  // a 16-bit string of a count of units (std::u16string, std::u16string_view)
};

// One typed argument. 16 bytes, 8-byte aligned, on every target.
struct alignas(8) TraceArgument {
  // The kind in the low 8 bits; for a counted string, its count above them.
  uint64_t header;
  // An integer or character, sign-extended from its width for the signed
  // kinds and zero-extended for the others; a double's bits; or a pointer.
  uint64_t value;
};

// The parse of a literal format that the C++20 front ends make at compile
// time, so that the library need not parse it again: up to
// kTraceFormatPieces pieces, in order, each a run of literal text known to
// be ASCII, a run of other literal text, or one conversion. A format with
// more pieces, or longer than 65,535 units, has none (`nPieces` 0), and the
// library parses it as it parses every format of a C++17 host. The library
// follows a parse only where that is the cheaper way, and reads nothing
// outside the format's `nUnits` for it: a parse that does not describe its
// format makes the line's text wrong, never a read out of bounds.
constexpr int kTraceFormatPieces = 8;
// A piece is `offset | nUnits << 16 | kind << 30`: its first unit, counted
// from the format's start, how many units it has, and one of these kinds.
enum class TracePieceKind : uint32_t {
  kAscii = 0,       // literal units below 0x80, none of them NUL
  kText = 1,        // literal units, some beyond ASCII
  kConversion = 2,  // a conversion, from its '%', well formed
};
constexpr uint32_t kTracePieceMaxUnits = (uint32_t{1} << 14) - 1;

struct TraceFormat {
  const char16_t* units;  // the format, NUL-terminated
  // How many units from `units` on the front end knows may be read: the
  // size of the array the format is in (a literal's, its NUL included), so
  // that the library may read them in blocks; 0 when it does not know.
  uint32_t nUnits;
  uint32_t nPieces;  // 0: the library parses `units`
  uint32_t pieces[kTraceFormatPieces];
};

constexpr uint32_t TracePiece(TracePieceKind kind, uint32_t offset, uint32_t nUnits) {
  return offset | nUnits << 16 | static_cast<uint32_t>(kind) << 30;
}

// TraceTyped's `how`: the call also tests the main level first, as Trace
// does; without it, only routing decides, as for Trace1 ... Trace5.
constexpr int kTraceMainLevelToo = 1;

// Emits a message with `count` typed arguments. `format` may be on the
// caller's stack; `arguments` are read only once the level admits the
// message, and never past `count`. Exported; the u"..." front ends call it.
RAZEZIR_EXPORT void TraceTyped(int level, const unsigned short* module, const TraceFormat* format,
                               const TraceArgument* arguments, int count, int how);

namespace arguments {

// The few type traits the front ends need, written here rather than taken
// from <type_traits>: every translation unit that includes the trace header
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

// An argument's type as a trace call sees it: an array is a pointer to its
// first element, const as the front ends take it (so a char buffer is a
// NUL-terminated string, not its whole size, and a literal reads as the
// const char* it is in the check's messages), a function a pointer to it,
// and cv-qualifiers go.
template <typename T>
struct Decay {
  using type = typename RemoveCv<T>::type;
};
template <typename T, size_t N>
struct Decay<T[N]> {
  using type = const T*;
};
template <typename T>
struct Decay<T[]> {
  using type = const T*;
};
template <typename R, typename... P>
struct Decay<R(P...)> {
  using type = R (*)(P...);
};
template <typename R, typename... P>
struct Decay<R(P...) noexcept> {
  using type = R (*)(P...) noexcept;
};

template <typename T>
T&& DeclValue() noexcept;
template <typename...>
using Void = void;

template <typename Unit>
inline constexpr bool kIsNarrowUnit = kOneOf<Unit, char, signed char, unsigned char>
#if defined(__cpp_char8_t)
                                      || kSame<Unit, char8_t>
#endif
    ;
template <typename Unit>
inline constexpr bool kIsWideUnit =
    kOneOf<Unit, char16_t, unsigned short> || (kSame<Unit, wchar_t> && sizeof(wchar_t) == 2);

// A string class: std::basic_string and std::basic_string_view of a narrow
// or a 16-bit unit, and any class of that shape (a traits_type naming the
// unit, data() and size()), recognised without their headers. A container
// of units, such as std::vector<char>, has no traits_type and is not one.
template <typename T, typename = void>
struct StringClass {
  static constexpr bool kIs = false;
};
template <typename T>
struct StringClass<T, Void<typename T::traits_type::char_type, decltype(DeclValue<const T&>().data()),
                           decltype(DeclValue<const T&>().size())>> {
  using Unit = typename T::traits_type::char_type;
  static constexpr bool kIs = kIsNarrowUnit<Unit> || kIsWideUnit<Unit>;
};

template <typename T>
struct PointerTo {
  static constexpr bool kIs = false;
  using Unit = void;
};
template <typename T>
struct PointerTo<T*> {
  static constexpr bool kIs = true;
  using Unit = typename RemoveCv<T>::type;
};

// The kind of an integer type, by its size and sign.
template <typename T>
constexpr TraceArgumentKind IntegerKind() {
  constexpr bool kSigned = static_cast<T>(-1) < static_cast<T>(0);
  switch (sizeof(T)) {
    case 1:
      return kSigned ? TraceArgumentKind::kInt8 : TraceArgumentKind::kUInt8;
    case 2:
      return kSigned ? TraceArgumentKind::kInt16 : TraceArgumentKind::kUInt16;
    case 4:
      return kSigned ? TraceArgumentKind::kInt32 : TraceArgumentKind::kUInt32;
    default:
      return kSigned ? TraceArgumentKind::kInt64 : TraceArgumentKind::kUInt64;
  }
}

template <typename T>
inline constexpr bool kIsInteger =
    kOneOf<T, bool, signed char, unsigned char, short, unsigned short, int, unsigned, long,
           unsigned long, long long, unsigned long long, char32_t, wchar_t>
#if defined(__cpp_char8_t)
    || kSame<T, char8_t>
#endif
    ;

// The kind that an argument of type T (decayed) travels as, or 0 when T is
// none that a trace call takes: a class that is not a string, a union, a
// member pointer.
template <typename T>
constexpr int KindOf() {
  if constexpr (kSame<T, char>) {
    return static_cast<int>(TraceArgumentKind::kChar);
  } else if constexpr (kSame<T, char16_t> || (kSame<T, wchar_t> && sizeof(wchar_t) == 2)) {
    return static_cast<int>(TraceArgumentKind::kChar16);
  } else if constexpr (kSame<T, bool>) {
    return static_cast<int>(TraceArgumentKind::kUInt8);
  } else if constexpr (kIsInteger<T>) {
    return static_cast<int>(IntegerKind<T>());
  } else if constexpr (__is_enum(T)) {
    return KindOf<__underlying_type(T)>();
  } else if constexpr (kOneOf<T, float, double>) {
    return static_cast<int>(TraceArgumentKind::kDouble);
  } else if constexpr (kSame<T, long double>) {
    return static_cast<int>(TraceArgumentKind::kLongDouble);
  } else if constexpr (kSame<T, decltype(nullptr)>) {
    return static_cast<int>(TraceArgumentKind::kNull);
  } else if constexpr (PointerTo<T>::kIs) {
    using Unit = typename PointerTo<T>::Unit;
    if constexpr (kIsNarrowUnit<Unit>) return static_cast<int>(TraceArgumentKind::kString);
    if constexpr (kIsWideUnit<Unit>) return static_cast<int>(TraceArgumentKind::kString16);
    return static_cast<int>(TraceArgumentKind::kPointer);
  } else if constexpr (StringClass<T>::kIs) {
    return static_cast<int>(kIsNarrowUnit<typename StringClass<T>::Unit>
                                ? TraceArgumentKind::kCountedString
                                : TraceArgumentKind::kCountedString16);
  } else {
    return 0;
  }
}

// Whether a trace call takes an argument of type T (as deduced, before
// decay), with a message naming the remedy when it does not. The front
// ends pass their arguments on only when every one is taken, so that this
// assertion is the compiler's only message.
template <typename T>
constexpr bool Taken() {
  constexpr bool kTaken = KindOf<typename Decay<T>::type>() != 0;
  static_assert(kTaken,
                "razezir: a trace argument must be a number, a character, a pointer or a string "
                "(a pointer to char or char16_t, std::string, std::u16string or their views); "
                "pass this object's text or value, or format it yourself first");
  return kTaken;
}

// The record of one argument, as it travels. `value` is the argument as
// the caller passed it; for a long double wider than a double, its address
// travels, and it must outlive the call (the front ends take arguments by
// reference, so it does).
template <typename T>
inline TraceArgument Record(const T& value) {
  using D = typename Decay<T>::type;
  constexpr int kKind = KindOf<D>();
  constexpr uint64_t kHeader = static_cast<uint64_t>(kKind);
  // A double's bits: the built-in bit cast, which g++, clang and MSVC all
  // have, spares the header <string.h> (which MSVC's targets may lack).
  if constexpr (kKind == static_cast<int>(TraceArgumentKind::kDouble)) {
    return {kHeader, __builtin_bit_cast(uint64_t, static_cast<double>(value))};
  } else if constexpr (kKind == static_cast<int>(TraceArgumentKind::kLongDouble)) {
#if RAZEZIR_LONG_DOUBLE_IS_DOUBLE
    return {kHeader, __builtin_bit_cast(uint64_t, static_cast<double>(value))};
#else
    return {kHeader, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&value))};
#endif
  } else if constexpr (kKind == static_cast<int>(TraceArgumentKind::kNull)) {
    return {kHeader, 0};
  } else if constexpr (PointerTo<D>::kIs) {
    const auto pointer = value;  // an array or a function decays here
    return {kHeader, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer))};
  } else if constexpr (StringClass<D>::kIs) {
    return {kHeader | static_cast<uint64_t>(value.size()) << 8,
            static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value.data()))};
  } else if constexpr (__is_enum(D)) {
    return {kHeader, static_cast<uint64_t>(static_cast<__underlying_type(D)>(value))};
  } else {
    // Integers and characters: the conversion to a signed 64-bit value
    // extends a signed type's sign, and an unsigned one's zeros.
    return {kHeader, static_cast<uint64_t>(static_cast<int64_t>(value))};
  }
}

}  // namespace arguments
}  // namespace QXSTD

#endif  // RAZEZIR_INCLUDE_RAZEZIR_TRACE_ARGUMENTS_H_
