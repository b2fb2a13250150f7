// razezir: a process-wide diagnostic trace.
//
// A host initialises the library once (InitTrace), starts tracing at a level
// to a log file or to standard output (StartTrace), and then any thread emits
// leveled, printf-style messages with 16-bit wide format strings (Trace,
// Trace1 ... Trace5, TraceCommon). Module targets (StartTraceModule) and
// thread targets (StartTraceThread) give a module tag or a named thread its
// own level and log file. Every line is written and flushed before its call
// returns. Nothing is reported to the caller: a file that cannot be opened is
// replaced by standard output.
//
// Thread safety: every function may be called from any thread at once,
// except InitTrace, which must run before other threads use the library, and
// DeinitTrace, which must run after they have left it. StartTrace and
// StopTrace must not run while messages are emitted with TRACE_NO_LOCK.
//
// Format strings follow the wide printf conventions of the library's home
// platform: `%s` and `%c` take 16-bit wide arguments, `%hs`, `%S`, `%hc` and
// `%C` take narrow ones, `%ls` and `%ws` wide ones. Wide text is written in
// the narrow encoding of the current C locale; characters it cannot express
// become '?'. `%n` consumes its argument and writes nothing.
//
// The `u"..."` overloads below pass each argument with its type: integers
// keep their width, strings (std::string, std::u16string too) their unit
// width, and a field that cannot be shown becomes a marker ("%!d(string)").
// They refuse a class that is no string and a narrow format at compile
// time, in every standard. Compiled as C++20, they also check a literal
// format against its arguments (razezir/format_check.h) and refuse each
// call that would write a marker. RAZEZIR_NO_FORMAT_CHECK turns that check
// off; RuntimeFormat passes a format known only at run time unchecked.

#ifndef RAZEZIR_INCLUDE_RAZEZIR_TRACE_H_
#define RAZEZIR_INCLUDE_RAZEZIR_TRACE_H_

#include <stdarg.h>

#include "razezir/export.h"
#include "razezir/trace_arguments.h"

#if !defined(RAZEZIR_NO_FORMAT_CHECK) && \
    (__cplusplus >= 202002L || (defined(_MSVC_LANG) && _MSVC_LANG >= 202002L))
#define RAZEZIR_FORMAT_CHECK 1
#include "razezir/format_check.h"
#else
#define RAZEZIR_FORMAT_CHECK 0
#endif

namespace QXSTD {

// Bits of the `flags` argument of StartTrace. Any non-zero flags value adds
// a line prefix "<time> <id-and-tag>: " to every message.
enum : int {
  TRACE_TIME = 0x01,       // the prefix begins with the local time
  TRACE_MODULE = 0x02,     // the prefix carries the module tag
  TRACE_THREAD_ID = 0x04,  // the prefix carries the thread id in hex
  TRACE_MSEC = 0x10,       // the time carries milliseconds
  TRACE_NO_LOCK = 0x20,    // lines are not serialised against each other
  // A call that writes a line (or a banner) to a log file returns only once
  // it is on stable storage, as far as the system can promise (fdatasync;
  // FlushFileBuffers on Windows). Lines written together share one sync.
  // Standard output is synced only when it is a regular file. Like every
  // bit, it alone makes the flags non-zero, so lines get the prefix.
  TRACE_DURABLE = 0x40,
  // The message's level, right-aligned in 2 characters, first in the
  // id-and-tag part: "<time>   1 <id><tag>: ".
  TRACE_LEVEL = 0x80,
  // The name the thread bound itself to (SetTraceThreadName) in brackets,
  // after the thread id: "[worker]"; "[]" for a thread bound to none.
  TRACE_THREAD_NAME = 0x100,
  // The time in ISO 8601 with the local offset from UTC:
  // "2026-12-10T04:12:25.123+01:00" (milliseconds with TRACE_MSEC).
  TRACE_ISO_TIME = 0x200,
  // The time in UTC: with TRACE_ISO_TIME "2026-12-10T03:12:25.123Z", and
  // without it the usual text of the UTC time.
  TRACE_UTC = 0x400,
};

// Creates the trace state; does nothing if it exists already.
RAZEZIR_EXPORT void InitTrace();

// Writes the Closed banner to the main output, closes every log file and
// destroys the trace state. REQUIRES: no other thread is inside the library.
RAZEZIR_EXPORT void DeinitTrace();

// Sets the main level (when `level` >= 1) and the prefix flags, and opens
// `fileName` in append mode as the main log (with a Started banner), or,
// when `fileName` is null or empty, closes the main log file (with a Closed
// banner) and traces to standard output. A file that cannot be opened is
// replaced by standard output. `fileName` is never written through.
RAZEZIR_EXPORT void StartTrace(int level, char* fileName, int flags);

// Sets the main level to 0. Messages routed to targets are not stopped.
RAZEZIR_EXPORT void StopTrace();

// Returns whether the main level is positive, and stores it through `level`
// when that is not null.
RAZEZIR_EXPORT bool IsTraceStarted(int* level);

// Stores the size of the main log file name, NUL included, through `size`,
// and copies the name into `buffer` when that is not null. The capacity of
// `buffer` is not checked: call once with a null buffer to learn the size.
RAZEZIR_EXPORT void GetTraceLogFileName(char* buffer, int* size);

// Emits a message if `level` is at or below the main level, and then at or
// below the level of the target that the message is routed to.
RAZEZIR_EXPORT void Trace(int level, const unsigned short* module,
                          const unsigned short* format, ...);

// Emit at a fixed level; only the routing decides whether the line is
// written, so a target with a higher level than the main log admits them.
RAZEZIR_EXPORT void Trace1(const unsigned short* module,
                           const unsigned short* format, ...);
RAZEZIR_EXPORT void Trace2(const unsigned short* module,
                           const unsigned short* format, ...);
RAZEZIR_EXPORT void Trace3(const unsigned short* module,
                           const unsigned short* format, ...);
RAZEZIR_EXPORT void Trace4(const unsigned short* module,
                           const unsigned short* format, ...);
RAZEZIR_EXPORT void Trace5(const unsigned short* module,
                           const unsigned short* format, ...);

// The common emitter, for hosts that wrap the trace calls in their own
// variadic functions.
RAZEZIR_EXPORT void TraceCommon(int level, const unsigned short* module,
                                const unsigned short* format, va_list args);

// Registers a module target: from the first one on, only messages whose tag
// equals a registered tag (case-sensitive) are written, to that target's
// file and against its level. `level` 0 takes the current main level; a null
// or empty `fileName` shares the main log file. A tag is registered once;
// later calls with it change nothing.
RAZEZIR_EXPORT void StartTraceModule(const unsigned short* module, int level,
                                     char* fileName);

// Registers a thread target: from the first one on, only messages from
// threads bound to a registered name are written, to that target's file and
// against its level, whatever module target the message matched.
RAZEZIR_EXPORT void StartTraceThread(const unsigned short* name, int level,
                                     char* fileName);

// Binds the calling thread to `name`. The first name sticks until
// UnregisterTraceThread.
RAZEZIR_EXPORT void SetTraceThreadName(const unsigned short* name);

// Removes the calling thread's binding, if any. Bindings are keyed by the
// thread's system id: a thread that ends without calling this leaves its
// binding until DeinitTrace, and a later thread that receives the same id
// inherits it.
RAZEZIR_EXPORT void UnregisterTraceThread();

// Opens again, by its name, every log file whose name now names another file
// than the one the library has open (or none), as after a rotation that
// renamed it: the main log (with a Closed banner at the end of the old file
// and a Started banner in the new one, as StartTrace with the same name
// writes), each target's own file, and each target that shares the main
// log's file. Files still at their names are left alone. Every line lands
// whole in the old file or the new one. Call it from the host's own code
// (it takes locks), for example on a flag that a SIGHUP handler sets; called
// from a signal handler that interrupted the library, it does nothing.
RAZEZIR_EXPORT void ReopenTraceFiles();

// Sets the level of the module target registered as `module`, or of the
// thread target registered as `name`; 0 takes the main level of the moment,
// as at registration. An unknown name changes nothing. Lines already past
// their level test are written; a call that begins after this returns
// meets the new level.
RAZEZIR_EXPORT void SetTraceModuleLevel(const unsigned short* module, int level);
RAZEZIR_EXPORT void SetTraceThreadLevel(const unsigned short* name, int level);

// Whether a module target is registered as `module` (a thread target as
// `name`); if so, stores its level through `level` when not null. An
// unknown name returns false and leaves `*level` alone.
RAZEZIR_EXPORT bool GetTraceModuleLevel(const unsigned short* module, int* level);
RAZEZIR_EXPORT bool GetTraceThreadLevel(const unsigned short* name, int* level);

// Returns once every line that any thread wrote before the call began is
// on stable storage, as far as the system can promise, in every file the
// library has open when it begins (fdatasync of each; FlushFileBuffers on
// Windows; standard output when it is a regular file). Threads that call it
// at once share syncs. Writes no banner and changes no stream. Closing a
// file (StartTrace, ReopenTraceFiles) does not sync it, unless TRACE_DURABLE
// lines were written there. Called from a signal handler that interrupted
// the library, it does nothing.
RAZEZIR_EXPORT void SyncTraceFiles();

// Overloads for `u"..."` literals. They are inline and export nothing; the
// trace calls among them pass their arguments with their types (TraceTyped).
//
// In every standard, and with the format check off, they refuse an
// argument that is no number, character, pointer or string, and a narrow
// format, each with a message that says what to write instead. Compiled as
// C++20, they also check a literal format against the types of its
// arguments (RAZEZIR_NO_FORMAT_CHECK turns that check off); the check costs
// nothing at run time. A format that is not a constant expression goes
// through RuntimeFormat and is not checked.
namespace detail {
inline const unsigned short* Units(const char16_t* s) {
  return reinterpret_cast<const unsigned short*>(s);
}

// Has `type` for `char` alone.
template <typename C>
struct IfNarrow {};
template <>
struct IfNarrow<char> {
  using type = void;
};

}  // namespace detail

// StartTrace with a `const char*` file name: a literal, or `name.c_str()`.
// A template that `char` alone matches, so that a null pointer constant
// (nullptr, NULL, 0) cannot be deduced for it and still goes to the exported
// function; beside a plain `const char*` overload those calls would be
// ambiguous.
template <typename C>
inline typename detail::IfNarrow<C>::type StartTrace(int level, const C* fileName,
                                                     int flags) {
  StartTrace(level, const_cast<char*>(fileName), flags);
}

#if RAZEZIR_FORMAT_CHECK
// A format the compiler checks against the argument types Args, as a trace
// call sees them (arrays decayed), and parses for the library.
template <typename... Args>
using WideFormat = format_check::CheckedFormat<typename arguments::Decay<Args>::type...>;

// Marks `format` as known only at run time: it is passed on unchecked.
constexpr format_check::RuntimeFormatString RuntimeFormat(
    const char16_t* format) {
  return format_check::RuntimeFormatString{format};
}

namespace detail {
template <typename... Args>
inline const TraceFormat& FormatOf(const format_check::CheckedFormat<Args...>& format) {
  return format.traced();
}
}  // namespace detail
#else
constexpr const char16_t* RuntimeFormat(const char16_t* format) {
  return format;
}

namespace detail {
template <typename Unit>
struct IfWideUnit {};
template <>
struct IfWideUnit<char16_t> {
  using type = int;
};

// A format that the library parses at run time, with the size of the array
// it is in when the call passes an array (a literal), so that the library
// may read its units in blocks. Its pieces stay unset: nPieces 0 says
// there are none.
class UncheckedFormat {
 public:
  template <size_t N>
  UncheckedFormat(const char16_t (&format)[N]) : format_(format, N) {}
  // A template, so that an array argument prefers the constructor above
  // rather than decaying to this one.
  template <typename Unit, typename IfWideUnit<Unit>::type = 0>
  UncheckedFormat(const Unit* const& format) : format_(format, 0) {}
  UncheckedFormat(decltype(nullptr)) : format_(nullptr, 0) {}

  const TraceFormat& traced() const { return format_; }

 private:
  struct Unparsed : TraceFormat {
    Unparsed(const char16_t* format, size_t extent) {
      units = format;
      nUnits = extent < 0xFFFFFFFFu ? static_cast<uint32_t>(extent) : 0;
      nPieces = 0;
    }
  };
  Unparsed format_;
};
inline const TraceFormat& FormatOf(const UncheckedFormat& format) { return format.traced(); }
}  // namespace detail

// Unchecked, a format is a pointer to units or an array of them.
template <typename...>
using WideFormat = detail::UncheckedFormat;
#endif  // RAZEZIR_FORMAT_CHECK

namespace detail {
// Hands the call to TraceTyped, with one record per argument built on the
// caller's stack.
template <typename... Args>
inline void TraceWith(int level, int how, const char16_t* module, const TraceFormat& format,
                      const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    TraceTyped(level, Units(module), &format, nullptr, 0, how);
  } else {
    const TraceArgument records[] = {arguments::Record(args)...};
    TraceTyped(level, Units(module), &format, records, static_cast<int>(sizeof...(Args)), how);
  }
}
}  // namespace detail

// Each front end forwards its arguments only when every one is taken
// (arguments::Taken), so that a refused argument gets one message, its own.
#define RAZEZIR_TYPED_FRONT_END(level, how)                                      \
  if constexpr ((arguments::Taken<Args>() && ...)) {                            \
    detail::TraceWith(level, how, module, detail::FormatOf(format), args...); \
  }

template <typename... Args>
inline void Trace(int level, const char16_t* module, WideFormat<Args...> format,
                  const Args&... args) {
  RAZEZIR_TYPED_FRONT_END(level, kTraceMainLevelToo)
}
template <typename... Args>
inline void Trace1(const char16_t* module, WideFormat<Args...> format, const Args&... args) {
  RAZEZIR_TYPED_FRONT_END(1, 0)
}
template <typename... Args>
inline void Trace2(const char16_t* module, WideFormat<Args...> format, const Args&... args) {
  RAZEZIR_TYPED_FRONT_END(2, 0)
}
template <typename... Args>
inline void Trace3(const char16_t* module, WideFormat<Args...> format, const Args&... args) {
  RAZEZIR_TYPED_FRONT_END(3, 0)
}
template <typename... Args>
inline void Trace4(const char16_t* module, WideFormat<Args...> format, const Args&... args) {
  RAZEZIR_TYPED_FRONT_END(4, 0)
}
template <typename... Args>
inline void Trace5(const char16_t* module, WideFormat<Args...> format, const Args&... args) {
  RAZEZIR_TYPED_FRONT_END(5, 0)
}
#undef RAZEZIR_TYPED_FRONT_END

// A narrow format, a literal without its u or a std::string's c_str(),
// would otherwise meet a bare "no matching function" and a list of every
// overload. Templates that a `char` format alone matches, so that they take
// no call that another overload serves; their assertion always fails.
#define RAZEZIR_NARROW_FORMAT \
  "razezir: a trace format is a 16-bit string: write u\"...\" (or pass a const char16_t*)"
template <typename C, typename... Args>
typename detail::IfNarrow<C>::type Trace(int, const char16_t*, const C*, const Args&...) {
  static_assert(sizeof(C) == sizeof(char16_t), RAZEZIR_NARROW_FORMAT);
}
template <typename C, typename... Args>
typename detail::IfNarrow<C>::type Trace1(const char16_t*, const C*, const Args&...) {
  static_assert(sizeof(C) == sizeof(char16_t), RAZEZIR_NARROW_FORMAT);
}
template <typename C, typename... Args>
typename detail::IfNarrow<C>::type Trace2(const char16_t*, const C*, const Args&...) {
  static_assert(sizeof(C) == sizeof(char16_t), RAZEZIR_NARROW_FORMAT);
}
template <typename C, typename... Args>
typename detail::IfNarrow<C>::type Trace3(const char16_t*, const C*, const Args&...) {
  static_assert(sizeof(C) == sizeof(char16_t), RAZEZIR_NARROW_FORMAT);
}
template <typename C, typename... Args>
typename detail::IfNarrow<C>::type Trace4(const char16_t*, const C*, const Args&...) {
  static_assert(sizeof(C) == sizeof(char16_t), RAZEZIR_NARROW_FORMAT);
}
template <typename C, typename... Args>
typename detail::IfNarrow<C>::type Trace5(const char16_t*, const C*, const Args&...) {
  static_assert(sizeof(C) == sizeof(char16_t), RAZEZIR_NARROW_FORMAT);
}
#undef RAZEZIR_NARROW_FORMAT

inline void TraceCommon(int level, const char16_t* module,
                        const char16_t* format, va_list args) {
  TraceCommon(level, detail::Units(module), detail::Units(format), args);
}
inline void StartTraceModule(const char16_t* module, int level,
                             const char* fileName = nullptr) {
  StartTraceModule(detail::Units(module), level, const_cast<char*>(fileName));
}
inline void StartTraceThread(const char16_t* name, int level,
                             const char* fileName = nullptr) {
  StartTraceThread(detail::Units(name), level, const_cast<char*>(fileName));
}
inline void SetTraceThreadName(const char16_t* name) {
  SetTraceThreadName(detail::Units(name));
}
inline void SetTraceModuleLevel(const char16_t* module, int level) {
  SetTraceModuleLevel(detail::Units(module), level);
}
inline void SetTraceThreadLevel(const char16_t* name, int level) {
  SetTraceThreadLevel(detail::Units(name), level);
}
inline bool GetTraceModuleLevel(const char16_t* module, int* level) {
  return GetTraceModuleLevel(detail::Units(module), level);
}
inline bool GetTraceThreadLevel(const char16_t* name, int* level) {
  return GetTraceThreadLevel(detail::Units(name), level);
}

}  // namespace QXSTD

#endif  // RAZEZIR_INCLUDE_RAZEZIR_TRACE_H_
