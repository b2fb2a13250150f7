// Benchmarks of the wide printf engine on typical trace lines, each next to
// the C runtime's snprintf of the same line written narrow, into a stack
// buffer of the size the tracer uses. The allocs/iter counter shows that an
// ordinary line never reaches the heap (counted on glibc; elsewhere it reads
// zero).
//
// Single-threaded.

#include <clocale>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "alloc_counter.h"
#include "benchmark/benchmark.h"
#include "format/out_buffer.h"
#include "format/wide_format.h"

namespace razezir {
namespace {

constexpr size_t kLineBytes = 2048;

void Format(OutBuffer* out, const char16_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  Narrowing narrowing;
  FormatWideV(out, format, ap, &narrowing);
  va_end(ap);
}

// Runs `body(out, i)` per iteration on a cleared stack buffer and reports
// allocations per iteration.
template <typename Body>
void RunWide(benchmark::State& state, Body body) {
  char storage[kLineBytes];
  OutBuffer out(storage, sizeof storage);
  int i = 0;
  long before = razezir_test::AllocationCount();
  for (auto _ : state) {
    out.Clear();
    body(&out, ++i);
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(out.size());
    benchmark::ClobberMemory();
  }
  state.counters["allocs/iter"] =
      benchmark::Counter(static_cast<double>(razezir_test::AllocationCount() - before),
                         benchmark::Counter::kAvgIterations);
}

template <typename Body>
void RunNarrow(benchmark::State& state, Body body) {
  char storage[kLineBytes];
  int i = 0;
  long before = razezir_test::AllocationCount();
  for (auto _ : state) {
    int nBytes = body(storage, sizeof storage, ++i);
    benchmark::DoNotOptimize(storage);
    benchmark::DoNotOptimize(nBytes);
    benchmark::ClobberMemory();
  }
  state.counters["allocs/iter"] =
      benchmark::Counter(static_cast<double>(razezir_test::AllocationCount() - before),
                         benchmark::Counter::kAvgIterations);
}

const char16_t* const kModule = u"network";
const char* const kNarrowModule = "network";

void BM_Literal_Wide(benchmark::State& state) {
  RunWide(state,
          [](OutBuffer* out, int) { Format(out, u"service started\n"); });
}
void BM_Literal_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int) {
    // Hidden from the compiler, which would otherwise turn the call into a
    // copy of the constant.
    const char* format = "service started\n";
    benchmark::DoNotOptimize(format);
    return std::snprintf(buf, n, format, 0);
  });
}

void BM_Int_Wide(benchmark::State& state) {
  RunWide(state, [](OutBuffer* out, int i) { Format(out, u"value %d\n", i); });
}
void BM_Int_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int i) {
    return std::snprintf(buf, n, "value %d\n", i);
  });
}

void BM_String_Wide(benchmark::State& state) {
  RunWide(state, [](OutBuffer* out, int) {
    Format(out, u"module %ls started\n", kModule);
  });
}
void BM_String_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int) {
    return std::snprintf(buf, n, "module %s started\n", kNarrowModule);
  });
}

void BM_PaddedString_Wide(benchmark::State& state) {
  RunWide(state, [](OutBuffer* out, int) {
    Format(out, u"[%-12s] %6ls\n", kModule, u"net");
  });
}
void BM_PaddedString_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int) {
    return std::snprintf(buf, n, "[%-12s] %6s\n", kNarrowModule, "net");
  });
}

// The message of emit_bench's and threads_bench's lines.
void BM_TraceMessage_Wide(benchmark::State& state) {
  RunWide(state, [](OutBuffer* out, int i) {
    Format(out, u"message %d of %s\n", i, u"payload");
  });
}
void BM_TraceMessage_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int i) {
    return std::snprintf(buf, n, "message %d of %s\n", i, "payload");
  });
}

// The fields of a line prefix that the engine renders: the thread id in
// eight hex digits and the tag right-aligned in six units.
void BM_PrefixFields_Wide(benchmark::State& state) {
  RunWide(state, [](OutBuffer* out, int i) {
    out->Append("  ", 2);
    AppendUpperHex(out, static_cast<uint32_t>(i) * 2654435761u, 8);
    out->Append(' ');
    AppendRightAligned(out, u"net", 6);
    out->Append(": ", 2);
  });
}
void BM_PrefixFields_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int i) {
    return std::snprintf(buf, n, "  %.8X %6s: ", static_cast<uint32_t>(i) * 2654435761u,
                         "net");
  });
}

void BM_Double_Wide(benchmark::State& state) {
  RunWide(state, [](OutBuffer* out, int i) {
    Format(out, u"ratio %.3f\n", i * 0.001);
  });
}
void BM_Double_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int i) {
    return std::snprintf(buf, n, "ratio %.3f\n", i * 0.001);
  });
}

void BM_Mixed_Wide(benchmark::State& state) {
  RunWide(state, [](OutBuffer* out, int i) {
    Format(out, u"%-8ls pid %5d flags %08X load %.3f\n", kModule, i,
           static_cast<unsigned>(i) * 2654435761u, i * 0.001);
  });
}
void BM_Mixed_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int i) {
    return std::snprintf(buf, n, "%-8s pid %5d flags %08X load %.3f\n",
                         kNarrowModule, i,
                         static_cast<unsigned>(i) * 2654435761u, i * 0.001);
  });
}

void BM_IntsAndHex_Wide(benchmark::State& state) {
  RunWide(state, [](OutBuffer* out, int i) {
    Format(out, u"%lld %u %x %03d %I64X\n", i * 1000003LL, i, i, i % 1000,
           i * 0x9E3779B97F4A7C15ull);
  });
}
void BM_IntsAndHex_Snprintf(benchmark::State& state) {
  RunNarrow(state, [](char* buf, size_t n, int i) {
    return std::snprintf(buf, n, "%lld %u %x %03d %llX\n", i * 1000003LL, i, i,
                         i % 1000, i * 0x9E3779B97F4A7C15ull);
  });
}

// Non-ASCII text in a UTF-8 locale: the one locale query per call and the
// in-house encoder. snprintf has no equivalent of narrowing here.
void BM_Utf8Text_Wide(benchmark::State& state) {
  std::setlocale(LC_ALL, "C.UTF-8");
  RunWide(state, [](OutBuffer* out, int) {
    Format(out, u"caf\u00E9 %ls \U0001F600\n", u"\u20AC10 \u00FCber");
  });
  std::setlocale(LC_ALL, "C");
}

BENCHMARK(BM_Literal_Wide);
BENCHMARK(BM_Literal_Snprintf);
BENCHMARK(BM_Int_Wide);
BENCHMARK(BM_Int_Snprintf);
BENCHMARK(BM_String_Wide);
BENCHMARK(BM_String_Snprintf);
BENCHMARK(BM_PaddedString_Wide);
BENCHMARK(BM_PaddedString_Snprintf);
BENCHMARK(BM_IntsAndHex_Wide);
BENCHMARK(BM_IntsAndHex_Snprintf);
BENCHMARK(BM_TraceMessage_Wide);
BENCHMARK(BM_TraceMessage_Snprintf);
BENCHMARK(BM_PrefixFields_Wide);
BENCHMARK(BM_PrefixFields_Snprintf);
BENCHMARK(BM_Double_Wide);
BENCHMARK(BM_Double_Snprintf);
BENCHMARK(BM_Mixed_Wide);
BENCHMARK(BM_Mixed_Snprintf);
BENCHMARK(BM_Utf8Text_Wide);

}  // namespace
}  // namespace razezir

BENCHMARK_MAIN();
