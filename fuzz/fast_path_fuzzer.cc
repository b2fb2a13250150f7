// Differential fuzz target for the engine's fast path. FormatWide writes the
// commonest pieces of a line, ASCII literal runs and bare conversions,
// straight into the buffer's room; FormatWideChecked is the same engine with
// every byte through the checked writes. The same format and arguments go
// through both, into caller storage of a size the input picks, of each kind
// the library formats into:
//   - storage that grows on the heap (a line in its stack buffer);
//   - storage that may not grow and spills whenever it is full (a line past
//     the spill size);
//   - storage that may not grow and drops what does not fit (a signal
//     handler's deferred line).
// In each, both paths must give the same bytes, read the same arguments and
// report the same truncation and malformed count. Besides, grown text is
// the same at every size, so is spilled text wherever the storage holds the
// largest piece the engine reserves, and dropped text is the start of the
// whole text. The storage is a heap block of exactly its size, so that a
// write past it is an overrun the sanitizer sees.
//
// Input: an option byte (bit 0: the UTF-8 locale; the rest seed the
// arguments), a 16-bit little-endian storage word, then the format, read as
// ReadFormat reads it: 0xFFFF units ask for long literal runs. The storage
// word picks three sizes. The first: with bit 15 set, its low 13 bits, up to
// twice the line's 4096-byte stack buffer; otherwise its low byte counts
// back from a few bytes past the end of the whole text. The other two are
// counted from where the text of a conversion starts: bits 4-15 pick a '%'
// of the format, bits 0-3 count on from two bytes before its text, and the
// next size up follows. Literals that end in the last bytes of the storage,
// and the conversions after them, are so met at once, whatever the format's
// length.
//
// Under libFuzzer (which alone calls LLVMFuzzerInitialize) widths and
// precisions stay small, so that an input costs little; the replay of the
// corpus takes them as they come. Single-threaded.

#include <cstddef>
#include <cstdint>
#include <cstdio>
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
using razezir_fuzz::FuzzArgs;

enum class Storage { kGrowing, kSpilled, kDropping };

const char* const kStorageNames[] = {"growing", "spilled", "dropping"};

// Room for the largest piece the engine reserves: text spilled from storage
// this large is whole.
constexpr size_t kPieceBytes = 64;
// Counted back from, in the storage word: a little past the whole text.
constexpr size_t kPastEnd = 8;
// Counted on from, in the storage word: a little before a conversion's text.
constexpr size_t kBeforeConversion = 2;
// Texts longer than this are formatted once each way, for survival only.
constexpr size_t kCompareBytes = 64 * 1024;
// A real rendered longer than this needs the heap, and is '?' without it.
constexpr size_t kRealStackBytes = 512;
// Under libFuzzer, ints (and so '*' widths and precisions) stay below this,
// which is still past the line's stack buffer.
constexpr int32_t kBoundedInt = 5000;
constexpr size_t kBoundedDigitRun = 4;

bool g_bounded = false;

// What one call made: the bytes, spilled ones first, and what it reported.
struct Rendering {
  std::string text;
  bool truncated = false;
  int nMalformed = 0;
  size_t nReads = 0;
  bool readReal = false;
};

bool SameReport(const Rendering& a, const Rendering& b) {
  return a.text == b.text && a.truncated == b.truncated && a.nMalformed == b.nMalformed &&
         a.nReads == b.nReads;
}

template <bool kFast>
Rendering Render(const char16_t* format, unsigned seed, size_t nBytes, Storage storage) {
  Rendering result;
  std::unique_ptr<char[]> block(new char[nBytes]);
  OutBuffer out(block.get(), nBytes);
  if (storage != Storage::kGrowing) out.ForbidHeap();
  if (storage == Storage::kSpilled) out.SetSpill(razezir_fuzz::CollectSpill, &result.text);
  FuzzArgs args(seed, g_bounded ? kBoundedInt : 0);
  if constexpr (kFast) {
    result.nMalformed = razezir::FormatWide(&out, format, args);
  } else {
    result.nMalformed = razezir::FormatWideChecked(&out, format, args);
  }
  result.text.append(out.data(), out.size());
  result.truncated = out.truncated();
  result.nReads = args.nReads();
  result.readReal = args.readReal;
  return result;
}

void Require(bool holds, const char* what, Storage storage, size_t nBytes) {
  if (holds) return;
  std::fprintf(stderr, "%s: %s storage of %zu bytes\n", what,
               kStorageNames[static_cast<int>(storage)], nBytes);
  std::abort();
}

// The length of the text that the units of `format` before `end` make.
size_t TextBefore(const std::vector<char16_t>& format, size_t end, unsigned seed) {
  std::vector<char16_t> head(format.begin(), format.begin() + static_cast<std::ptrdiff_t>(end));
  head.push_back(u'\0');
  return Render<false>(head.data(), seed, 0, Storage::kGrowing).text.size();
}

// The sizes the storage word asks for, for `format` (NUL-terminated) whose
// whole text is `nWhole` bytes long: one counted from the start or back
// from the end, and two from where the text of a conversion starts.
std::vector<size_t> StorageSizes(unsigned word, const std::vector<char16_t>& format,
                                 unsigned seed, size_t nWhole) {
  std::vector<size_t> sizes;
  if ((word & 0x8000) != 0) {
    sizes.push_back(word & 0x1FFF);
  } else {
    const size_t back = word & 0xFF;
    sizes.push_back(nWhole + kPastEnd > back ? nWhole + kPastEnd - back : 0);
  }
  std::vector<size_t> conversions;
  for (size_t i = 0; i + 1 < format.size(); ++i) {
    if (format[i] != u'%') continue;
    conversions.push_back(i);
    if (format[i + 1] == u'%') ++i;
  }
  if (conversions.empty()) {
    sizes.push_back(sizes[0] + 1);
    return sizes;
  }
  const size_t at = TextBefore(format, conversions[(word >> 4) % conversions.size()], seed);
  const size_t nAfter = word & 0xF;
  const size_t nBytes = at + nAfter > kBeforeConversion ? at + nAfter - kBeforeConversion : 0;
  sizes.push_back(nBytes);
  sizes.push_back(nBytes + 1);
  return sizes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_bounded = true;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  razezir_fuzz::UseLocale((data[0] & 1) != 0);
  const unsigned seed = data[0] >> 1;
  const unsigned word = data[1] | data[2] << 8;
  size_t nUnits;
  const std::vector<char16_t> units = razezir_fuzz::ReadFormat(data + 3, size - 3, &nUnits);
  if (g_bounded && razezir_fuzz::HasLongDigitRun(units, kBoundedDigitRun)) return 0;
  const char16_t* format = units.data();

  const Rendering whole = Render<false>(format, seed, 0, Storage::kGrowing);
  if (whole.truncated || whole.text.size() > kCompareBytes) {
    Render<true>(format, seed, word & 0x1FFF, Storage::kGrowing);
    return 0;
  }
  const size_t nWhole = whole.text.size();
  // Without the heap, a long rendering of a real is '?'; a text shorter
  // than one cannot hold one.
  const bool mayHoldLongReal = whole.readReal && nWhole >= kRealStackBytes;
  const Rendering spilledWhole = Render<false>(format, seed, kPieceBytes, Storage::kSpilled);
  Require(!spilledWhole.truncated, "spilled text truncated", Storage::kSpilled, kPieceBytes);
  Require(mayHoldLongReal || spilledWhole.text == whole.text, "spilled text differs",
          Storage::kSpilled, kPieceBytes);

  for (size_t nBytes : StorageSizes(word, units, seed, nWhole)) {
    Storage storage = Storage::kGrowing;
    Require(SameReport(Render<true>(format, seed, nBytes, storage), whole),
            "fast path differs from the whole text", storage, nBytes);
    Require(SameReport(Render<false>(format, seed, nBytes, storage), whole),
            "checked path differs from the whole text", storage, nBytes);

    storage = Storage::kSpilled;
    Rendering fast = Render<true>(format, seed, nBytes, storage);
    Rendering checked = Render<false>(format, seed, nBytes, storage);
    Require(SameReport(fast, checked), "fast and checked paths differ", storage, nBytes);
    Require(nBytes < kPieceBytes || SameReport(fast, spilledWhole),
            "spilled text depends on the size", storage, nBytes);

    storage = Storage::kDropping;
    fast = Render<true>(format, seed, nBytes, storage);
    checked = Render<false>(format, seed, nBytes, storage);
    Require(SameReport(fast, checked), "fast and checked paths differ", storage, nBytes);
    Require(fast.truncated || mayHoldLongReal || fast.text == whole.text,
            "text lost without truncation", storage, nBytes);
    Require(mayHoldLongReal || whole.text.compare(0, fast.text.size(), fast.text) == 0,
            "dropping storage kept text after a loss", storage, nBytes);
  }
  return 0;
}
