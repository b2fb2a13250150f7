// Fuzz target for the public API: each input is a program of calls —
// StartTrace, StopTrace, the registrations, thread names, queries, target
// levels, rotations with ReopenTraceFiles and trace calls — with names,
// levels and flags taken from the input. Trace calls go through the
// exported varargs functions, or through the u"..." front ends, which hand
// the library typed arguments (strings of either width, std::string and
// std::u16string among them). Formats come from a table whose arguments
// match, so any crash, overrun or leak is the library's; the typed rows
// also hold a mismatch, a missing and a left-over argument, which the
// library must name in the line without reading past what it was given.
// Every input starts from InitTrace and ends with DeinitTrace, so state
// never leaks between inputs.
//
// Log files live in one scratch directory and are removed before each
// input, so the disk stays bounded however long the fuzzer runs. Standard
// output goes to /dev/null. Single-threaded.

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "razezir/trace.h"

namespace {

constexpr int kFiles = 4;
// The size of the buffer a line is rendered in before it grows or spills.
constexpr size_t kLineBufferBytes = 4096;
std::string g_files[kFiles];

// Reads the input front to back; past its end every read yields zero.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  int Level() { return static_cast<int8_t>(Byte()) % 8; }
  // A 16-bit name of up to 7 units; small alphabets make collisions, and so
  // registrations of one name twice, likely.
  std::u16string Name() {
    std::u16string name;
    int n = Byte() % 8;
    for (int i = 0; i < n; ++i) {
      uint8_t b = Byte();
      name.push_back(b < 200 ? static_cast<char16_t>(u'a' + b % 3)
                             : static_cast<char16_t>(0xD800 + b));  // lone surrogates too
    }
    return name;
  }
  // A file name, or null or empty for standard output.
  char* File() {
    uint8_t b = Byte() % (kFiles + 2);
    static char empty[] = "";
    if (b == kFiles) return nullptr;
    if (b == kFiles + 1) return empty;
    return &g_files[b][0];
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

const unsigned short* U(const std::u16string& s) {
  return reinterpret_cast<const unsigned short*>(s.c_str());
}

void ViaCommon(int level, const unsigned short* module, const unsigned short* format, ...) {
  va_list args;
  va_start(args, format);
  QXSTD::TraceCommon(level, module, format, args);
  va_end(args);
}

enum class Shade { kRed, kGreen };

// A literal about as long as the line's 4096-byte stack buffer, so that
// with the prefix it may end in the buffer's last bytes, then bare
// conversions: each must find room or hand over to the checked writes, and
// the line spill or grow whole. The literal is cut to a length the input
// picks.
std::u16string LongLiteral(Input* in) {
  static const std::u16string kLiteral(kLineBufferBytes + 128, u'=');
  return kLiteral.substr(0, kLineBufferBytes - 128 + in->Byte());
}

// One trace call through the typed front ends, in the shape `shape` of
// TraceSomething's table, with arguments of the types a C++ host passes.
// `how` picks Trace (at `level`) or Trace1 ... Trace5.
void TraceTypedSomething(int how, int level, const char16_t* module, int width,
                         const std::u16string& text, uint8_t shape, Input* in) {
  // A typed call through the front end that `how` picks. The format is
  // the first argument; each call site is a call of its own, so that a
  // C++20 build checks and parses the literal as a host's call would be.
#define RAZEZIR_FUZZ_TYPED(...)                 \
  switch (how) {                                \
    case 1:                                     \
      QXSTD::Trace1(module, __VA_ARGS__);       \
      break;                                    \
    case 2:                                     \
      QXSTD::Trace2(module, __VA_ARGS__);       \
      break;                                    \
    case 3:                                     \
      QXSTD::Trace3(module, __VA_ARGS__);       \
      break;                                    \
    case 4:                                     \
      QXSTD::Trace4(module, __VA_ARGS__);       \
      break;                                    \
    case 5:                                     \
      QXSTD::Trace5(module, __VA_ARGS__);       \
      break;                                    \
    default:                                    \
      QXSTD::Trace(level, module, __VA_ARGS__); \
      break;                                    \
  }
  std::string narrow(text.begin(), text.end());
  for (char& c : narrow) c = static_cast<char>(c & 0x7F);
  switch (shape) {
    case 0:
      RAZEZIR_FUZZ_TYPED(u"plain %s line %d %u %c %d\n", text, level, Shade::kGreen, 'x',
                         width < 0);
      break;
    case 1:
      RAZEZIR_FUZZ_TYPED(u"%*d|%-*.*s|%.*hs|\n", width, level, width, width / 3,
                         std::u16string_view(text), width % 7, narrow);
      break;
    case 2: {
      const long double real = width * 0.25L;
      RAZEZIR_FUZZ_TYPED(u"%hs %c %08X %p %s %lld %u %Lg\n", std::string("narrow"),
                         static_cast<char16_t>(0x263A), 0xBEEFu, static_cast<void*>(&g_files),
                         "caf\xC3\xA9", 5000000000LL * width, -1, real);
      break;
    }
    case 3:
      RAZEZIR_FUZZ_TYPED(u"%.*f %e %hd no line end", width % 20, 3.25f, -1e300,
                         static_cast<short>(width * 1000));
      break;
    case 4:
      // Not as the format says: the string given to %d and the argument
      // left over are named in the line, or the argument the format
      // lacks. A run-time format, since a C++20 build refuses these.
      if (width % 2 == 0) {
        RAZEZIR_FUZZ_TYPED(QXSTD::RuntimeFormat(u"%d items of %s%%\n"), narrow, text,
                           static_cast<unsigned char>(width));
      } else {
        RAZEZIR_FUZZ_TYPED(QXSTD::RuntimeFormat(u"%s %d %*.*s\n"), nullptr, width, width);
      }
      break;
    default: {
      const std::u16string format = LongLiteral(in);
      switch (in->Byte() % 4) {
        case 0:
          RAZEZIR_FUZZ_TYPED(QXSTD::RuntimeFormat((format + u"%d|%s|%hs\n").c_str()),
                             static_cast<long long>(width) * (1LL << 40), text, narrow);
          break;
        case 1:
          RAZEZIR_FUZZ_TYPED(QXSTD::RuntimeFormat((format + u"%%%x%s\n").c_str()), width,
                             text.c_str());
          break;
        case 2:
          RAZEZIR_FUZZ_TYPED(QXSTD::RuntimeFormat((format + u"%s%i\n").c_str()), narrow.c_str(),
                             static_cast<int8_t>(width));
          break;
        default:
          RAZEZIR_FUZZ_TYPED(QXSTD::RuntimeFormat((format + u"%hs%.2f\n").c_str()),
                             std::string_view(narrow), 2.5);
          break;
      }
      break;
    }
  }
#undef RAZEZIR_FUZZ_TYPED
}

// One trace call with a format from a table of matching argument sets.
// `how` picks the exported function, or with bit 3 the typed front ends.
void TraceSomething(Input* in) {
  const int how = in->Byte() % 16;
  const int level = in->Level();
  const std::u16string tag = in->Name();
  const bool noModule = in->Byte() % 16 == 0;
  const unsigned short* module = noModule ? nullptr : U(tag);
  const int width = static_cast<int8_t>(in->Byte());
  const std::u16string text = in->Name();
  const uint8_t shape = in->Byte() % 6;
  if (how >= 8) {
    TraceTypedSomething(how - 8, level, noModule ? nullptr : tag.c_str(), width, text, shape, in);
    return;
  }
  auto call = [&](const char16_t* format, auto... args) {
    const unsigned short* f = reinterpret_cast<const unsigned short*>(format);
    switch (how) {
      case 0: QXSTD::Trace(level, module, f, args...); break;
      case 1: QXSTD::Trace1(module, f, args...); break;
      case 2: QXSTD::Trace2(module, f, args...); break;
      case 3: QXSTD::Trace3(module, f, args...); break;
      case 4: QXSTD::Trace4(module, f, args...); break;
      case 5: QXSTD::Trace5(module, f, args...); break;
      default: ViaCommon(level, module, f, args...); break;
    }
  };
  switch (shape) {
    case 0: call(u"plain line\n"); break;
    case 1: call(u"%*d|%-*.*s|\n", width, level, width, width / 3, U(text)); break;
    case 2: call(u"%hs %c %08X %p\n", "narrow", 0x263A, 0xBEEFu, static_cast<void*>(&g_files)); break;
    case 3: call(u"%.*f %e no line end", width % 20, 3.25, -1e300); break;
    case 4: call(u"%s%%%n\n", U(text), static_cast<int*>(nullptr)); break;
    default: {
      const std::u16string format = LongLiteral(in);
      switch (in->Byte() % 4) {
        case 0: call((format + u"%d|%s|%hs\n").c_str(), width, U(text), "narrow"); break;
        case 1: call((format + u"%%%x%s\n").c_str(), width, U(text)); break;
        case 2: call((format + u"%s%i\n").c_str(), U(text), width); break;
        default: call((format + u"%hs%.2f\n").c_str(), "narrow", 2.5); break;
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int devNull = open("/dev/null", O_WRONLY);
  if (devNull >= 0) {
    dup2(devNull, 1);
    close(devNull);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_files[0].empty()) {
    const char* dir = std::getenv("TMPDIR");
    std::string base = std::string(dir != nullptr ? dir : "/tmp") + "/razezir_api_fuzz." +
                       std::to_string(getpid()) + ".";
    for (int i = 0; i < kFiles; ++i) g_files[i] = base + std::to_string(i) + ".log";
  }
  for (const std::string& file : g_files) {
    std::remove(file.c_str());
    std::remove((file + ".1").c_str());
  }

  Input in(data, size);
  QXSTD::InitTrace();
  for (int step = 0; step < 64 && !in.empty(); ++step) {
    switch (in.Byte() % 14) {
      case 0: {
        int level = in.Level();
        char* file = in.File();
        QXSTD::StartTrace(level, file, in.Byte() & 0x37);
        break;
      }
      case 1: QXSTD::StopTrace(); break;
      case 2: {
        std::u16string name = in.Name();
        int level = in.Level();
        QXSTD::StartTraceModule(U(name), level, in.File());
        break;
      }
      case 3: {
        std::u16string name = in.Name();
        int level = in.Level();
        QXSTD::StartTraceThread(U(name), level, in.File());
        break;
      }
      case 4: QXSTD::SetTraceThreadName(U(in.Name())); break;
      case 5: QXSTD::UnregisterTraceThread(); break;
      case 6: {
        int level = 0;
        QXSTD::IsTraceStarted(in.Byte() % 2 == 0 ? &level : nullptr);
        break;
      }
      case 7: {
        int nBytes = 0;
        QXSTD::GetTraceLogFileName(nullptr, &nBytes);
        std::string name(static_cast<size_t>(nBytes > 0 ? nBytes : 1), '\0');
        QXSTD::GetTraceLogFileName(&name[0], &nBytes);
        break;
      }
      case 8: {
        // A rotation: one of the files moves aside, and the files are
        // opened again by their names.
        const std::string& file = g_files[in.Byte() % kFiles];
        if (in.Byte() % 2 == 0) std::rename(file.c_str(), (file + ".1").c_str());
        QXSTD::ReopenTraceFiles();
        break;
      }
      case 9: {
        std::u16string name = in.Name();
        QXSTD::SetTraceModuleLevel(U(name), in.Level());
        break;
      }
      case 10: {
        std::u16string name = in.Name();
        QXSTD::SetTraceThreadLevel(U(name), in.Level());
        break;
      }
      default: TraceSomething(&in); break;
    }
  }
  QXSTD::UnregisterTraceThread();
  QXSTD::DeinitTrace();
  return 0;
}
