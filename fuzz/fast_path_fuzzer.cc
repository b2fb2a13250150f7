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
// The same format then goes through the typed entry point (FormatTyped),
// with records (QXSTD::TraceArgument) that the input gives, malformed ones
// among them: kinds that are none, count bits where there is no count,
// records missing or left over. The checked path with those records
// (FormatWideOn<false> over TypedArgs) is the reference; FormatTyped must
// match it byte for byte in every storage above, with the format's extent
// unknown (nUnits 0), with it known (nUnits one past the NUL, the format in
// a heap block of exactly that many units, so that a block read past it is
// an overrun), and, where the format has a compile-time parse, by its
// pieces. The records are a heap block of exactly their count, and
// everything they point at ends where the engine must stop reading
// (format_inputs.h), so a read past any of them is an overrun too.
//
// Input: an option byte (bit 0: the UTF-8 locale; the rest seed the
// arguments), a 16-bit little-endian storage word, then the format, read as
// ReadFormat reads it: 0xFFFF units ask for long literal runs, and a NUL
// unit ends it. The storage word picks three sizes. The first: with bit 15
// set, its low 13 bits, up to twice the line's 4096-byte stack buffer;
// otherwise its low byte counts back from a few bytes past the end of the
// whole text. The other two are counted from where the text of a
// conversion starts: bits 4-15 pick a '%' of the format, bits 0-3 count on
// from two bytes before its text, and the next size up follows. Literals
// that end in the last bytes of the storage, and the conversions after
// them, are so met at once, whatever the format's length.
//
// After the format's NUL, the typed call: an option byte (bit 0: integer
// values keep every bit the input gives, even where no real argument of
// their kind has them; bit 1: a made-up parse follows; bit 2: no records
// are a null array), then with bit 1 the parse as ReadMadeUpParse reads
// it, then the records as TypedArguments::Read reads them. Without a
// NUL, the records are those a host would pass: of the kinds the format's
// conversions show, from the pools. Values beyond their kind's width are
// read as their kind holds them, alike on every path. Made-up parses are
// only survived: they may render text other than the format's, but may
// read nothing they were not given.
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
#if __cplusplus >= 202002L
#include "razezir/format_check.h"
#endif

namespace {

using razezir::OutBuffer;
using razezir_fuzz::FuzzArgs;
using razezir_fuzz::TypedArguments;

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

// The typed entry reports nothing but its text.
bool SameText(const Rendering& a, const Rendering& b) {
  return a.text == b.text && a.truncated == b.truncated;
}

// Runs `format(OutBuffer*)`, which returns the malformed count, into
// storage of `nBytes` of the kind `storage`.
template <typename Format>
Rendering RenderInto(size_t nBytes, Storage storage, const Format& format) {
  Rendering result;
  std::unique_ptr<char[]> block(new char[nBytes]);
  OutBuffer out(block.get(), nBytes);
  if (storage != Storage::kGrowing) out.ForbidHeap();
  if (storage == Storage::kSpilled) out.SetSpill(razezir_fuzz::CollectSpill, &result.text);
  result.nMalformed = format(&out);
  result.text.append(out.data(), out.size());
  result.truncated = out.truncated();
  return result;
}

template <bool kFast>
Rendering Render(const char16_t* format, unsigned seed, size_t nBytes, Storage storage) {
  FuzzArgs args(seed, g_bounded ? kBoundedInt : 0);
  Rendering result = RenderInto(nBytes, storage, [&](OutBuffer* out) {
    if constexpr (kFast) {
      return razezir::FormatWide(out, format, args);
    } else {
      return razezir::FormatWideChecked(out, format, args);
    }
  });
  result.nReads = args.nReads();
  result.readReal = args.readReal;
  return result;
}

// Writes `text` to standard error, with C escapes for bytes that are not
// printable ASCII.
void Show(const char* label, const std::string& text) {
  std::fprintf(stderr, "%s (%zu bytes): \"", label, text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02X", c);
    }
  }
  std::fprintf(stderr, "\"\n");
}

// Aborts unless `holds`, saying what differed and where, and showing the
// two texts compared when they are given.
void Require(bool holds, const char* what, Storage storage, size_t nBytes,
             const char* path = "varargs", const Rendering* got = nullptr,
             const Rendering* want = nullptr) {
  if (holds) return;
  std::fprintf(stderr, "%s: %s storage of %zu bytes, %s\n", what,
               kStorageNames[static_cast<int>(storage)], nBytes, path);
  if (got != nullptr) Show(got->truncated ? "got, truncated" : "got", got->text);
  if (want != nullptr) Show(want->truncated ? "against, truncated" : "against", want->text);
  std::abort();
}

// The sizes the storage word asks for, for `format` (NUL-terminated) whose
// whole text is `nWhole` bytes long: one counted from the start or back
// from the end, and two from where the text of a conversion starts.
// `textBefore(end)` is the length of the text that the units before `end`
// make.
template <typename TextBefore>
std::vector<size_t> StorageSizes(unsigned word, const std::vector<char16_t>& format,
                                 size_t nWhole, const TextBefore& textBefore) {
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
  const size_t at = textBefore(conversions[(word >> 4) % conversions.size()]);
  const size_t nAfter = word & 0xF;
  const size_t nBytes = at + nAfter > kBeforeConversion ? at + nAfter - kBeforeConversion : 0;
  sizes.push_back(nBytes);
  sizes.push_back(nBytes + 1);
  return sizes;
}

// The units of `format` before `end`, NUL-terminated.
std::vector<char16_t> Head(const std::vector<char16_t>& format, size_t end) {
  std::vector<char16_t> head(format.begin(), format.begin() + static_cast<std::ptrdiff_t>(end));
  head.push_back(u'\0');
  return head;
}

void CheckVarargs(const std::vector<char16_t>& units, unsigned seed, unsigned word) {
  const char16_t* format = units.data();
  const Rendering whole = Render<false>(format, seed, 0, Storage::kGrowing);
  if (whole.truncated || whole.text.size() > kCompareBytes) {
    Render<true>(format, seed, word & 0x1FFF, Storage::kGrowing);
    return;
  }
  const size_t nWhole = whole.text.size();
  // Without the heap, a long rendering of a real is '?'; a text shorter
  // than one cannot hold one.
  const bool mayHoldLongReal = whole.readReal && nWhole >= kRealStackBytes;
  const Rendering spilledWhole = Render<false>(format, seed, kPieceBytes, Storage::kSpilled);
  Require(!spilledWhole.truncated, "spilled text truncated", Storage::kSpilled, kPieceBytes);
  Require(mayHoldLongReal || spilledWhole.text == whole.text, "spilled text differs",
          Storage::kSpilled, kPieceBytes);

  auto textBefore = [&](size_t end) {
    return Render<false>(Head(units, end).data(), seed, 0, Storage::kGrowing).text.size();
  };
  for (size_t nBytes : StorageSizes(word, units, nWhole, textBefore)) {
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
}

// ---------------------------------------------------------------------------
// The typed entry point.
// ---------------------------------------------------------------------------

// How a typed call is rendered: the checked path, the reference; and
// FormatTyped with the format's extent unknown, known, with the format's
// compile-time parse, or with a parse the input made up.
enum class TypedPath { kChecked, kUnbounded, kBounded, kParsed, kMadeUp };

const char* const kTypedPathNames[] = {"typed checked", "typed, nUnits 0",
                                       "typed, nUnits known", "typed, parsed",
                                       "typed, made-up parse"};

// One typed call: the format in a heap block of exactly its units and NUL,
// and the records.
struct TypedCall {
  std::unique_ptr<char16_t[]> units;
  uint32_t nUnits = 0;  // with the NUL
  const TypedArguments* arguments = nullptr;
  QXSTD::TraceFormat parsed{};  // nPieces 0 when there is no parse
  QXSTD::TraceFormat madeUp{};
  // The same records for the made-up parse, whose conversions may read
  // any of them, under any precision: no string is cut short.
  TypedArguments madeUpArguments;
};

Rendering RenderTyped(const TypedCall& call, TypedPath path, size_t nBytes, Storage storage) {
  return RenderInto(nBytes, storage, [&](OutBuffer* out) {
    razezir::Narrowing narrowing;
    const TypedArguments& arguments =
        path == TypedPath::kMadeUp ? call.madeUpArguments : *call.arguments;
    QXSTD::TraceFormat format{};
    format.units = call.units.get();
    switch (path) {
      case TypedPath::kChecked: {
        razezir::TypedArgs args(arguments.data(), arguments.count());
        return razezir::FormatWideOn<false>(out, format.units, args, &narrowing);
      }
      case TypedPath::kUnbounded:
        break;
      case TypedPath::kBounded:
        format.nUnits = call.nUnits;
        break;
      case TypedPath::kParsed:
        format = call.parsed;
        break;
      case TypedPath::kMadeUp:
        format = call.madeUp;
        break;
    }
    razezir::FormatTyped(out, format, arguments.data(), arguments.count(), &narrowing);
    return 0;
  });
}

// The length of the text that the units of the call's format before `end`
// make, with the records that the conversions there read.
size_t TypedTextBefore(const std::vector<char16_t>& units, const TypedArguments& arguments,
                       size_t end) {
  const std::vector<char16_t> head = Head(units, end);
  OutBuffer out(nullptr, 0);
  razezir::Narrowing narrowing;
  razezir::TypedArgs args(arguments.data(), arguments.ReadBefore(end));
  razezir::FormatWideOn<false>(&out, head.data(), args, &narrowing);
  return out.size();
}

// Reads a made-up parse: a count byte (up to one more than a parse
// holds), four bytes a piece, then the extent the parse claims, a 16-bit
// word counted down from the format's whole extent to no less than 1.
// Returns the bytes read.
size_t ReadMadeUpParse(const uint8_t* data, size_t nBytes, TypedCall* call) {
  size_t at = 0;
  auto byte = [&]() -> uint32_t { return at < nBytes ? data[at++] : 0; };
  QXSTD::TraceFormat& format = call->madeUp;
  format.units = call->units.get();
  format.nPieces = byte() % (QXSTD::kTraceFormatPieces + 2);
  for (uint32_t i = 0; i < format.nPieces && i < QXSTD::kTraceFormatPieces; ++i) {
    format.pieces[i] = byte() | byte() << 8 | byte() << 16 | byte() << 24;
  }
  const uint32_t back = byte() | byte() << 8;
  format.nUnits = call->nUnits - back % call->nUnits;
  return at;
}

void CheckTyped(const std::vector<char16_t>& units, size_t nUnits, unsigned seed, unsigned word,
                const uint8_t* tail, size_t nTailBytes, bool hasTail) {
  TypedCall call;
  call.nUnits = static_cast<uint32_t>(nUnits + 1);
  call.units.reset(new char16_t[call.nUnits]);
  std::copy(units.begin(), units.begin() + call.nUnits, call.units.get());
  const char16_t* format = call.units.get();

  TypedArguments arguments;
  const int32_t intBound = g_bounded ? kBoundedInt : 0;
  unsigned options = 0;
  if (hasTail) {
    size_t at = 0;
    options = at < nTailBytes ? tail[at++] : 0;
    const bool raw = (options & 1) != 0;
    const bool nullWhenNone = (options & 4) != 0;
    if ((options & 2) != 0) {
      at += ReadMadeUpParse(tail + at, nTailBytes - at, &call);
      call.madeUpArguments.Read(tail + at, at < nTailBytes ? nTailBytes - at : 0, raw);
      call.madeUpArguments.Place(format, intBound, nullWhenNone, TypedArguments::Order::kAny);
    }
    arguments.Read(tail + at, at < nTailBytes ? nTailBytes - at : 0, raw);
    arguments.Place(format, intBound, nullWhenNone);
  } else {
    arguments.Match(format, seed);
    arguments.Place(format, intBound, false);
  }
  call.arguments = &arguments;
#if __cplusplus >= 202002L
  call.parsed = QXSTD::format_check::ParseForTrace(format);
  call.parsed.nUnits = call.nUnits;
#endif
  std::vector<TypedPath> paths = {TypedPath::kUnbounded, TypedPath::kBounded};
  if (call.parsed.nPieces != 0) paths.push_back(TypedPath::kParsed);

  const Rendering whole = RenderTyped(call, TypedPath::kChecked, 0, Storage::kGrowing);
  if ((options & 2) != 0) {
    RenderTyped(call, TypedPath::kMadeUp, 0, Storage::kGrowing);
    RenderTyped(call, TypedPath::kMadeUp, word & 0x1FFF, Storage::kDropping);
  }
  if (whole.truncated || whole.text.size() > kCompareBytes) {
    for (TypedPath path : paths) {
      RenderTyped(call, path, word & 0x1FFF, Storage::kGrowing);
      RenderTyped(call, path, word & 0x1FFF, Storage::kDropping);
    }
    return;
  }
  const size_t nWhole = whole.text.size();
  const bool mayHoldLongReal = arguments.hasReal() && nWhole >= kRealStackBytes;
  const Rendering spilledWhole = RenderTyped(call, TypedPath::kChecked, kPieceBytes,
                                             Storage::kSpilled);
  const char* checkedName = kTypedPathNames[0];
  Require(!spilledWhole.truncated, "spilled text truncated", Storage::kSpilled, kPieceBytes,
          checkedName, &spilledWhole);
  Require(mayHoldLongReal || spilledWhole.text == whole.text, "spilled text differs",
          Storage::kSpilled, kPieceBytes, checkedName, &spilledWhole, &whole);

  auto textBefore = [&](size_t end) { return TypedTextBefore(units, arguments, end); };
  // Each path but the checked one, in `storage` of `nBytes`, must write `expected`.
  auto everyPathGives = [&](const Rendering& expected, Storage storage, size_t nBytes,
                            const char* what) {
    for (TypedPath path : paths) {
      const Rendering got = RenderTyped(call, path, nBytes, storage);
      Require(SameText(got, expected), what, storage, nBytes,
              kTypedPathNames[static_cast<int>(path)], &got, &expected);
    }
  };
  for (size_t nBytes : StorageSizes(word, units, nWhole, textBefore)) {
    Storage storage = Storage::kGrowing;
    const Rendering got = RenderTyped(call, TypedPath::kChecked, nBytes, storage);
    Require(SameText(got, whole), "checked path differs from the whole text", storage, nBytes,
            checkedName, &got, &whole);
    everyPathGives(whole, storage, nBytes, "fast path differs from the whole text");

    storage = Storage::kSpilled;
    const Rendering spilled = RenderTyped(call, TypedPath::kChecked, nBytes, storage);
    Require(nBytes < kPieceBytes || SameText(spilled, spilledWhole),
            "spilled text depends on the size", storage, nBytes, checkedName, &spilled,
            &spilledWhole);
    everyPathGives(spilled, storage, nBytes, "fast and checked paths differ");

    storage = Storage::kDropping;
    const Rendering dropped = RenderTyped(call, TypedPath::kChecked, nBytes, storage);
    Require(dropped.truncated || mayHoldLongReal || dropped.text == whole.text,
            "text lost without truncation", storage, nBytes, checkedName, &dropped, &whole);
    Require(mayHoldLongReal || whole.text.compare(0, dropped.text.size(), dropped.text) == 0,
            "dropping storage kept text after a loss", storage, nBytes, checkedName, &dropped,
            &whole);
    everyPathGives(dropped, storage, nBytes, "fast and checked paths differ");
  }
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
  size_t tailAt;
  const std::vector<char16_t> units =
      razezir_fuzz::ReadFormat(data + 3, size - 3, &nUnits, &tailAt);
  if (g_bounded && razezir_fuzz::HasLongDigitRun(units, kBoundedDigitRun)) return 0;
  CheckVarargs(units, seed, word);
  const size_t nRead = tailAt != 0 ? 3 + tailAt : size;
  CheckTyped(units, nUnits, seed, word, data + nRead, size - nRead, tailAt != 0);
  return 0;
}
