// A host built the way Microsoft's compiler builds one: clang with an MSVC
// target, linked by lld-link against an import library of the decorated
// names, with no C runtime at all. It calls every exported function, checks
// what the query functions return, and leaves five log files behind that
// the test compares byte for byte with the expected ones.
//
// The same source, compiled for i686 and x86-64, is what the export check
// reads the decorated names from: every name this host imports must be in
// the DLL's export table.
//
// Built against the 0.2.0 header (tests/windows/release-0.2.0), whose u"..."
// front ends call the exported varargs functions and which has neither the
// typed entry point nor the level queries, SyncTraceFiles and the prefix
// fields added since, the host leaves out the two sessions that use them and
// their logs (the typed header's include guard tells the two headers apart),
// and must leave the other three logs exactly as the current header's build
// does.

#include "razezir/trace.h"

extern "C" {
__declspec(dllimport) void __stdcall ExitProcess(unsigned int exitCode);
__declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
// The compiler references this symbol from every object that uses floating
// point, and the C runtime normally defines it.
int _fltused = 0;
}

namespace {

const unsigned short* W(const char16_t* text) {
  return reinterpret_cast<const unsigned short*>(text);
}

// Exit codes name the check that failed.
void Check(bool ok, unsigned int code) {
  if (!ok) ExitProcess(code);
}

bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// A host's own variadic wrapper, the reason TraceCommon exists: the
// argument pointer it passes is the Microsoft va_list, a plain char*.
void HostTrace(int level, const char16_t* module, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  QXSTD::TraceCommon(level, W(module), W(format), args);
  va_end(args);
}

#if defined(RAZEZIR_INCLUDE_RAZEZIR_TRACE_ARGUMENTS_H_)
// A string class of the shape the front ends pass by pointer and length
// (std::string_view's), which this host, without a C++ library, lacks.
struct NarrowTraits {
  using char_type = char;
};
struct NarrowView {
  using traits_type = NarrowTraits;
  const char* data() const { return text; }
  size_t size() const { return length; }
  const char* text;
  size_t length;
};

// The u"..." front ends hand each argument over with its type, through
// TraceTyped: numbers by their real width (a long is 32 bits here, a long
// double a double), strings by their own unit width, and a marker in the
// line where a value does not fit its conversion. A session of its own,
// in msabi_typed.log.
void TypedSession() {
  QXSTD::InitTrace();
  char typedLog[] = "msabi_typed.log";
  QXSTD::StartTrace(3, typedLog, 0);
  const char* narrow = "narrow";
  const char16_t* wide = u"wide";
  const long minusOne = -1;
  QXSTD::Trace1(u"TYPED", u"int %d, long long %d, %s and %s, %.2f\n", 42, 5000000000LL,
                narrow, wide, 0.25);
  QXSTD::Trace2(u"TYPED", u"%x %u %lx %llx %hd %Lf %c%c\n", 0x123456789ULL, 4000000000U,
                minusOne, -1, 70000, static_cast<long double>(2.5), 'n', u'w');
  const char text[] = "counted, not terminated";
  QXSTD::Trace3(u"TYPED", u"%s|%.3s|%s|%hs|%s\n", NarrowView{text, 7}, NarrowView{text, 7},
                L"wchar_t", u"char16_t", nullptr);
  // A number given to %s, a string to %d, and one argument too many: the
  // format is one the compiler does not check.
  QXSTD::Trace1(u"TYPED", QXSTD::RuntimeFormat(u"%s|%d|%d\n"), 7, narrow, 8, narrow);
  QXSTD::Trace1(u"TYPED", QXSTD::RuntimeFormat(u"missing %d %d\n"), 1);

  // Trace also tests the main level; Trace1 ... Trace5 leave it to routing.
  QXSTD::Trace(2, u"TYPED", u"Trace at %d\n", 2);
  QXSTD::Trace(4, u"TYPED", u"Trace above the main level, dropped\n");
  QXSTD::Trace4(u"TYPED", u"Trace4 without a target, dropped\n");
  QXSTD::StartTraceModule(u"TYPED", 5);
  QXSTD::Trace4(u"TYPED", u"Trace4 through its target at %d\n", 5);
  QXSTD::Trace(4, u"TYPED", u"Trace above the main level, still dropped\n");
  QXSTD::DeinitTrace();
}

// The level queries, SyncTraceFiles, and the prefix fields for the level,
// the thread's name and the ISO 8601 time, in a session of their own, in
// msabi_fields.log. The queries' exit codes start at 30.
void FieldsSession() {
  QXSTD::InitTrace();
  char fieldsLog[] = "msabi_fields.log";
  const int nameFields = QXSTD::TRACE_LEVEL | QXSTD::TRACE_THREAD_NAME | QXSTD::TRACE_MODULE;
  QXSTD::StartTrace(3, fieldsLog, nameFields);

  // No target yet: every query answers false and leaves the level alone.
  int level = -1;
  Check(!QXSTD::GetTraceModuleLevel(u"NET", &level) && level == -1, 30);
  Check(!QXSTD::GetTraceThreadLevel(u"worker", &level) && level == -1, 31);
  Check(!QXSTD::GetTraceModuleLevel(W(u"NET"), nullptr), 32);
  Check(!QXSTD::GetTraceThreadLevel(W(u"worker"), nullptr), 33);

  // The level, then the name: "[]" for a thread bound to none, and a control
  // character in a name written as '?'.
  QXSTD::Trace1(u"APP", u"unbound\n");
  QXSTD::Trace(3, u"APP", u"unbound at %d\n", 3);
  QXSTD::SetTraceThreadName(u"tab\there");
  QXSTD::Trace2(u"APP", u"bound\n");
  QXSTD::UnregisterTraceThread();
  QXSTD::Trace1(u"APP", u"unbound again\n");

  // The time in ISO 8601: in UTC with milliseconds, then local with its
  // offset; the test matches them by their shape, as they vary.
  QXSTD::StartTrace(3, fieldsLog,
                    QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC | QXSTD::TRACE_ISO_TIME |
                        QXSTD::TRACE_UTC | QXSTD::TRACE_LEVEL);
  QXSTD::Trace1(u"APP", u"ISO 8601 in UTC\n");
  QXSTD::StartTrace(3, fieldsLog, QXSTD::TRACE_TIME | QXSTD::TRACE_ISO_TIME | QXSTD::TRACE_MODULE);
  QXSTD::Trace1(u"APP", u"ISO 8601, local\n");

  // Targets on the main file: each query finds its own kind only, by the
  // exact name, and reads the level as registered and as changed.
  QXSTD::StartTrace(3, fieldsLog, nameFields);
  QXSTD::StartTraceModule(u"NET", 4);
  Check(QXSTD::GetTraceModuleLevel(u"NET", &level) && level == 4, 34);
  QXSTD::SetTraceModuleLevel(u"NET", 0);  // the main level, 3
  Check(QXSTD::GetTraceModuleLevel(W(u"NET"), &level) && level == 3, 35);
  Check(QXSTD::GetTraceModuleLevel(u"NET", nullptr), 36);
  level = -1;
  Check(!QXSTD::GetTraceModuleLevel(u"net", &level) && level == -1, 37);
  Check(!QXSTD::GetTraceThreadLevel(u"NET", &level) && level == -1, 38);
  QXSTD::StartTraceThread(u"worker", 5);
  Check(QXSTD::GetTraceThreadLevel(u"worker", &level) && level == 5, 39);
  QXSTD::SetTraceThreadLevel(u"worker", 2);
  Check(QXSTD::GetTraceThreadLevel(W(u"worker"), &level) && level == 2, 40);
  Check(QXSTD::GetTraceThreadLevel(u"worker", nullptr), 41);
  Check(!QXSTD::GetTraceModuleLevel(u"worker", &level) && level == 2, 42);

  QXSTD::SetTraceThreadName(u"worker");
  QXSTD::Trace2(u"NET", u"thread line at %d\n", 2);
  QXSTD::Trace3(u"NET", u"above the thread's level, dropped\n");
  // Returns once the lines before it are on the disk; the ones after it are
  // written as ever.
  QXSTD::SyncTraceFiles();
  QXSTD::Trace1(u"NET", u"after the sync\n");
  QXSTD::SyncTraceFiles();
  QXSTD::UnregisterTraceThread();
  QXSTD::DeinitTrace();

  // Without a state there is no target.
  level = -1;
  Check(!QXSTD::GetTraceModuleLevel(u"NET", &level) && level == -1, 43);
  Check(!QXSTD::GetTraceThreadLevel(u"worker", &level) && level == -1, 44);
  QXSTD::SyncTraceFiles();
}
#endif

}  // namespace

extern "C" void HostMain() {
  // A host built with /MD has the universal C runtime loaded from its start
  // and calls its setlocale; this one, without a runtime, loads it and calls
  // setlocale through its address.
  void* ucrt = LoadLibraryA("ucrtbase.dll");
  Check(ucrt != nullptr, 20);
  using SetLocale = char*(__cdecl*)(int category, const char* locale);
  auto setLocale = reinterpret_cast<SetLocale>(GetProcAddress(ucrt, "setlocale"));
  Check(setLocale != nullptr, 21);

  int level = -1;
  Check(!QXSTD::IsTraceStarted(&level), 10);
  QXSTD::InitTrace();
  char mainLog[] = "msabi_main.log";
  QXSTD::StartTrace(3, mainLog, 0);
  Check(QXSTD::IsTraceStarted(&level) && level == 3, 11);
  Check(QXSTD::IsTraceStarted(nullptr), 12);

  int size = 0;
  QXSTD::GetTraceLogFileName(nullptr, &size);
  Check(size == sizeof mainLog, 13);
  char name[sizeof mainLog + 8];
  QXSTD::GetTraceLogFileName(name, &size);
  Check(SameText(name, mainLog), 14);

  // Every fixed-level call; 4 and 5 are above the main level. The first three
  // go through the header's u"..." overloads, which check their formats at
  // compile time when the host is compiled as C++20; the rest pass the
  // exported functions' own pointer types, as a host without char16_t does.
  QXSTD::Trace1(u"APP", u"Trace1 %d %s %hs\n", 1, u"wide", "narrow");
  QXSTD::Trace2(u"APP", u"Trace2 %c%hc %ls\n", u'w', 'n', W(u"ls"));
  QXSTD::Trace3(u"APP", u"Trace3 %5.2f|%-6x|%#o|%e\n", 3.14159, 0xbeefu, 8u, -0.5);
  QXSTD::Trace4(W(u"APP"), W(u"Trace4 dropped\n"));
  QXSTD::Trace5(W(u"APP"), W(u"Trace5 dropped\n"));
  QXSTD::Trace(2, W(u"APP"), W(u"Trace %I64d %lld %u %Lf\n"), -1234567890123LL,
               9876543210LL, 4000000000u, static_cast<long double>(2.5));
  QXSTD::Trace(4, W(u"APP"), W(u"Trace above the main level\n"));
  QXSTD::Trace2(W(u"APP"), W(u"Trace2 exported %d %hs\n"), 2, "varargs");
  QXSTD::Trace3(W(u"APP"), W(u"Trace3 exported %lld %ls\n"), 5000000000LL, W(u"varargs"));
  HostTrace(3, u"APP", u"TraceCommon %s=%d, %.3f and %hs\n", W(u"answer"), 42, 1.0 / 8,
            "done");
  HostTrace(4, u"APP", u"TraceCommon dropped %d\n", 4);
  // Several lines in one message: every line end becomes CR LF.
  QXSTD::Trace1(W(u"APP"), W(u"first\nsecond\n"));

  // Text beyond ASCII: in the "C" locale as the library's own runtime
  // writes it (U+0080 to U+00FF as single bytes, '?' for the rest); once the
  // host's runtime is set to UTF-8 (LC_CTYPE is 2 there), in UTF-8, the
  // character beyond the Basic Multilingual Plane whole.
  const char16_t* text = u"Gr\u00FC\u00DFe \u6771\u4EAC \U0001F600";
  QXSTD::Trace1(W(u"APP"), W(u"%s, %.7hs\n"), W(text), "Gr\xC3\xBC\xC3\x9F");
  Check(setLocale(2, ".UTF-8") != nullptr, 22);
  QXSTD::Trace1(W(u"APP"), W(u"%s, %.3hs|%.2f\n"), W(text), "Gr\xC3\xBC\xC3\x9F", 0.5);
  setLocale(2, "C");

  // The same file again, now with the module tag in the prefix.
  QXSTD::StartTrace(3, mainLog, QXSTD::TRACE_MODULE);
  QXSTD::Trace1(W(u"APP"), W(u"tagged\n"));

  // A module target with its own file; from now on only NET passes.
  char moduleLog[] = "msabi_module.log";
  QXSTD::StartTraceModule(W(u"NET"), 4, moduleLog);
  QXSTD::Trace4(W(u"NET"), W(u"module line %d\n"), 4);
  // Below the level it has now; a name without a target changes nothing.
  QXSTD::SetTraceModuleLevel(W(u"NET"), 3);
  QXSTD::SetTraceModuleLevel(W(u"DISK"), 5);
  QXSTD::Trace4(W(u"NET"), W(u"above the module's new level, dropped\n"));
  // No file was renamed: nothing is written.
  QXSTD::ReopenTraceFiles();
  QXSTD::Trace1(W(u"DISK"), W(u"unregistered module, dropped\n"));

  // A thread target: only the bound thread's messages pass, to its file.
  char threadLog[] = "msabi_thread.log";
  QXSTD::StartTraceThread(W(u"worker"), 5, threadLog);
  QXSTD::Trace1(W(u"NET"), W(u"unbound thread, dropped\n"));
  QXSTD::SetTraceThreadName(W(u"worker"));
  QXSTD::Trace5(W(u"NET"), W(u"thread line %d\n"), 5);
  QXSTD::SetTraceThreadLevel(W(u"worker"), 4);
  QXSTD::Trace5(W(u"NET"), W(u"above the thread's new level, dropped\n"));
  QXSTD::UnregisterTraceThread();
  QXSTD::Trace1(W(u"NET"), W(u"unbound again, dropped\n"));

  QXSTD::StopTrace();
  Check(!QXSTD::IsTraceStarted(&level) && level == 0, 15);
  QXSTD::DeinitTrace();
  Check(!QXSTD::IsTraceStarted(nullptr), 16);

#if defined(RAZEZIR_INCLUDE_RAZEZIR_TRACE_ARGUMENTS_H_)
  TypedSession();
  FieldsSession();
#endif
  ExitProcess(0);
}
