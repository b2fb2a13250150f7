// Fuzz target for the wide printf engine. The input is a format after one
// option byte, read as ReadFormat reads it (format_inputs.h): 16-bit
// little-endian units, where 0xFFFF asks for a long run of the unit before
// it. Every argument the format asks for comes from the fixed pools of safe
// values there, so any crash, overrun or write is the engine's. Beyond
// surviving, each run checks that the output does not depend on how much
// caller storage there was, nor on whether it went out in spilled pieces
// from storage that may not grow, and, in the UTF-8 locale, that it is valid
// UTF-8: every argument is, so a precision that cut a character or a broken
// surrogate rule would show. One of the storages is a heap block of the
// exact size that the option byte's seed counts back from the end of the
// text, so that a write past the end of the caller's storage is an overrun
// the sanitizer sees.
//
// Fields as wide as the engine allows cost a mebibyte of padding each and
// would starve the search, so under libFuzzer (which alone calls
// LLVMFuzzerInitialize) widths and precisions stay small: inputs with long
// digit runs are skipped and int arguments are reduced. The replay of the corpus runs them all.
//
// setlocale is process-wide, so the target switches locale only between
// inputs, never while formatting; it runs single-threaded.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "format/wide_format_impl.h"
#include "format_inputs.h"

namespace {

using razezir::OutBuffer;
using razezir_fuzz::CollectSpill;
using razezir_fuzz::FuzzArgs;

bool g_boundedFields = false;

bool IsValidUtf8(const char* s, size_t nBytes) {
  size_t i = 0;
  while (i < nBytes) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80                ? 1
               : b >= 0xC2 && b < 0xE0 ? 2
               : b >= 0xE0 && b < 0xF0 ? 3
               : b >= 0xF0 && b < 0xF5 ? 4
                                       : 0;
    if (n == 0 || nBytes - i < n) return false;
    uint32_t c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      unsigned char next = static_cast<unsigned char>(s[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    bool overlong = (n == 3 && c < 0x800) || (n == 4 && c < 0x10000);
    if (overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Returns whether a floating-point argument was read.
bool Format(OutBuffer* out, const char16_t* format, unsigned seed) {
  FuzzArgs args(seed, g_boundedFields ? 100000 : 0);
  razezir::FormatWide(out, format, args);
  return args.readReal;
}

// Inputs whose output is at most this long are formatted a second time to
// compare; huge fields are checked for survival only.
constexpr size_t kCompareBytes = 64 * 1024;
// Renderings of a real shorter than this stay in the engine's stack space.
constexpr size_t kRealStackBytes = 512;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_boundedFields = true;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool utf8 = (data[0] & 1) != 0;
  const unsigned seed = data[0] >> 1;
  razezir_fuzz::UseLocale(utf8);

  size_t nUnits;
  const std::vector<char16_t> units = razezir_fuzz::ReadFormat(data + 1, size - 1, &nUnits);
  if (g_boundedFields && razezir_fuzz::HasLongDigitRun(units, 5)) return 0;

  char storage[1024];
  OutBuffer out(storage, sizeof storage);
  const bool readReal = Format(&out, units.data(), seed);

  if (!out.truncated() && out.size() <= kCompareBytes) {
    const std::string expected(out.data(), out.size());
    char tiny[3];
    OutBuffer again(tiny, sizeof tiny);
    Format(&again, units.data(), seed);
    if (std::string(again.data(), again.size()) != expected) std::abort();
    // Storage that may not grow, spilled whenever it is full: room for the
    // largest piece the engine reserves, and no more. The same text, except
    // that a real rendered longer than the engine's stack space for one is
    // '?' there, and no such text can be in a shorter output.
    const bool mayHoldLongReal = readReal && expected.size() >= kRealStackBytes;
    char fixed[64];
    std::string spilled;
    OutBuffer pieces(fixed, sizeof fixed);
    pieces.ForbidHeap();
    pieces.SetSpill(CollectSpill, &spilled);
    Format(&pieces, units.data(), seed);
    spilled.append(pieces.data(), pieces.size());
    if (pieces.truncated()) std::abort();
    if (!mayHoldLongReal && spilled != expected) std::abort();
    // Storage whose size the seed counts back from a little past the end
    // of the text, where the last literal or field meets its edge. (The
    // fast_path target tries sizes throughout, in every kind of storage.)
    const size_t back = seed;
    const size_t nBytes = expected.size() + 8 > back ? expected.size() + 8 - back : 0;
    std::unique_ptr<char[]> block(new char[nBytes]);
    OutBuffer edge(block.get(), nBytes);
    Format(&edge, units.data(), seed);
    if (std::string(edge.data(), edge.size()) != expected) std::abort();
    bool utf8Locale =
        utf8 && razezir::ClassifyLocale() == razezir::Charset::kUtf8;
    if (utf8Locale && !IsValidUtf8(out.data(), out.size())) std::abort();
  }

  // The same units as counted text: embedded NULs and a pair cut by the end.
  char textStorage[256];
  OutBuffer text(textStorage, sizeof textStorage);
  razezir::AppendNarrowed(&text, units.data(), nUnits);
  return 0;
}
