// Differential fuzz target: the compile-time format check, and the parse it
// hands the library, against the engine. Three things must hold for every
// input:
//   - The check's walk reads as many arguments as the engine reads through
//     a va_list, ints for each '*', and both find the same malformed
//     conversions (the check refuses those, so it must see every one).
//   - For a well-formed format without %n, the check's verdict on a list of
//     argument kinds is the engine's: the check accepts the call exactly when
//     the typed engine, given records of those kinds, writes no marker.
//   - Wherever ParseForTrace gives a format pieces, they cover it as the
//     library requires; where it gives none, the format has a reason to
//     have none. The typed engine writes the same bytes with the parse, and
//     with the format's size alone, as with neither.
// Any difference aborts.
//
// Input: a count byte (arguments, up to kMaxArguments), a storage byte (its
// low bit: storage that spills rather than grows; the rest, the storage's
// size in 4-byte steps), two bytes per argument (its kind, and a value from
// the kind's pool), then the format as format_inputs.h reads it. The pools
// hold no '%' and no '!', and '!' in the format is read as '?', so that "%!"
// in the output is a marker and nothing else.
//
// Built as C++20, where the check exists. Single-threaded.

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "format/wide_format_impl.h"
#include "format_inputs.h"
#include "razezir/format_check.h"
#include "razezir/format_grammar.h"

namespace {

namespace check = QXSTD::format_check;
namespace grammar = razezir::grammar;
using QXSTD::TraceArgument;
using QXSTD::TraceArgumentKind;
using QXSTD::TraceFormat;
using QXSTD::TracePieceKind;
using razezir::IntArg;
using razezir::OutBuffer;
using razezir_fuzz::CountOf;

constexpr size_t kMaxArguments = 8;
// Fields this wide would only spend time on padding.
constexpr int kMaxField = 100000;

// Integers, chosen so that none has '!' or '%' in its low byte or unit:
// %c shows those.
constexpr uint64_t kIntegers[] = {0,
                                  1,
                                  7,
                                  42,
                                  0x7F,
                                  0x80,
                                  0xFF,
                                  1000,
                                  0x7FFF,
                                  0xFFFF,
                                  70000,
                                  0x7FFFFFFF,
                                  0x80000000,
                                  0xFFFFFFFF,
                                  5000000000,
                                  0x123456789,
                                  0x7FFFFFFFFFFFFFFF,
                                  0x8000000000000000,
                                  ~uint64_t{0},
                                  static_cast<uint64_t>(-2),
                                  static_cast<uint64_t>(-1000),
                                  static_cast<uint64_t>(-70000),
                                  static_cast<uint64_t>(-5000000000)};
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kDoubles[] = {0.0,  -0.0, 1.5, -2.25, 1e300, 4.9e-324, 0.1, kInf, -kInf,
                           std::numeric_limits<double>::quiet_NaN(), 123456.789};
const long double kLongDoubles[] = {0.0L, -1.25L, 1e4000L, 0.1L,
                                    std::numeric_limits<long double>::infinity()};
const char* const kNarrow[] = {"", "a", "host", "h\xC3\xA9llo", "\xFF\xFE bytes",
                               "tab\tline\nend", "a narrow string of some forty bytes..."};
const char16_t kLoneSurrogate[] = {u'x', 0xD800, u'y', 0};
const char16_t* const kWide[] = {u"", u"a", u"wide", u"h\u00E9llo", u"\U0001F600 pair",
                                 kLoneSurrogate, u"a 16-bit string of some forty units.."};
// Counted strings: units and their count, NULs among them.
struct Counted {
  const void* data;
  size_t nUnits;
};
const Counted kCountedNarrow[] = {{nullptr, 0}, {"", 0}, {"abc\0def", 7}, {"h\xC3\xA9", 3},
                                  {"counted", 7}};
const Counted kCountedWide[] = {{nullptr, 0}, {u"", 0}, {u"abc\0def", 7}, {u"\U0001F600", 2},
                                {u"counted", 7}};
const int kObject = 0;

// The record of an argument of `kind`, its value picked by `pick`.
TraceArgument MakeRecord(TraceArgumentKind kind, unsigned pick) {
  const uint64_t header = static_cast<uint64_t>(kind);
  const uint64_t bits = kIntegers[pick % CountOf(kIntegers)];
  auto address = [](const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); };
  // Integers travel sign-extended from their width, or zero-extended.
  switch (kind) {
    case TraceArgumentKind::kInt8:
      return {header, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(bits)))};
    case TraceArgumentKind::kInt16:
      return {header, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(bits)))};
    case TraceArgumentKind::kInt32:
      return {header, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(bits)))};
    case TraceArgumentKind::kInt64:
      return {header, bits};
    case TraceArgumentKind::kUInt8:
      return {header, bits & 0xFF};
    case TraceArgumentKind::kUInt16:
    case TraceArgumentKind::kChar16:
      return {header, bits & 0xFFFF};
    case TraceArgumentKind::kUInt32:
      return {header, bits & 0xFFFFFFFF};
    case TraceArgumentKind::kUInt64:
      return {header, bits};
    case TraceArgumentKind::kChar:
      return {header, static_cast<uint64_t>(static_cast<int64_t>(static_cast<char>(bits)))};
    case TraceArgumentKind::kDouble: {
      uint64_t real;
      std::memcpy(&real, &kDoubles[pick % CountOf(kDoubles)], sizeof real);
      return {header, real};
    }
    case TraceArgumentKind::kLongDouble:
#if RAZEZIR_LONG_DOUBLE_IS_DOUBLE
      return MakeRecord(TraceArgumentKind::kDouble, pick);
#else
      return {header, address(&kLongDoubles[pick % CountOf(kLongDoubles)])};
#endif
    case TraceArgumentKind::kPointer:
      // Only %p reads a pointer, and only its value.
      return {header, pick % 2 == 0 ? address(&kObject) : 0x1234};
    case TraceArgumentKind::kNull:
      return {header, 0};
    case TraceArgumentKind::kString:
      return {header, address(kNarrow[pick % CountOf(kNarrow)])};
    case TraceArgumentKind::kString16:
      return {header, address(kWide[pick % CountOf(kWide)])};
    case TraceArgumentKind::kCountedString:
    case TraceArgumentKind::kCountedString16: {
      const Counted& s = kind == TraceArgumentKind::kCountedString
                             ? kCountedNarrow[pick % CountOf(kCountedNarrow)]
                             : kCountedWide[pick % CountOf(kCountedWide)];
      // Any count up to the string's own.
      const size_t nUnits = s.nUnits - (pick / 8) % (s.nUnits + 1);
      return {header | static_cast<uint64_t>(nUnits) << 8, address(s.data)};
    }
  }
  return {header, 0};
}

// Logs whether each argument the engine reads through a va_list is an int,
// handing out zeros and empty strings.
class LoggingArgs {
 public:
  uint64_t Integer(IntArg kind) { return Log(kind == IntArg::kInt, 0); }
  double Double() { return Log(false, 0.0); }
  long double LongDouble() { return Log(false, 0.0L); }
  const void* Pointer() { return Log(false, nullptr); }
  const char* NarrowString(int) { return Log(false, ""); }
  const char16_t* WideString(int) { return Log(false, u""); }
  // Both character conversions read an int holding the character.
  int NarrowChar() { return Log(true, 0); }
  unsigned WideChar() { return Log(true, 0u); }

  std::vector<bool> isInt;

 private:
  template <typename T>
  T Log(bool readAsInt, T value) {
    isInt.push_back(readAsInt);
    return value;
  }
};

void CollectSpill(void* context, const char* data, size_t nBytes) {
  static_cast<std::string*>(context)->append(data, nBytes);
}

// What the typed engine writes for `format`, with `storage` bytes of
// caller storage that grows on the heap or, with `spill`, spills when full.
// Returns false if bytes were dropped.
bool RenderTyped(const TraceFormat& format, const std::vector<TraceArgument>& records,
                 size_t storage, bool spill, std::string* text) {
  std::vector<char> bytes(storage);
  OutBuffer out(bytes.data(), storage);
  if (spill) {
    out.ForbidHeap();
    out.SetSpill(CollectSpill, text);
  }
  razezir::Narrowing narrowing;
  razezir::FormatTyped(&out, format, records.data(), records.size(), &narrowing);
  text->append(out.data(), out.size());
  return !out.truncated();
}

// Holds `parsed` to the contract of TraceFormat for the `length` units
// before the NUL at `units`: pieces that cover the format one after the
// other, each of its kind; or none, for a reason.
void CheckParse(const TraceFormat& parsed, const char16_t* units, size_t length) {
  if (parsed.units != units || parsed.nUnits != length + 1 ||
      parsed.nPieces > QXSTD::kTraceFormatPieces) {
    std::abort();
  }
  uint32_t next = 0;
  bool afterLiteral = false;
  for (uint32_t i = 0; i < parsed.nPieces; ++i) {
    const uint32_t piece = parsed.pieces[i];
    const uint32_t offset = piece & 0xFFFF;
    const uint32_t nUnits = piece >> 16 & QXSTD::kTracePieceMaxUnits;
    const auto kind = static_cast<TracePieceKind>(piece >> 30);
    if (offset != next || nUnits == 0) std::abort();
    const char16_t* p = units + offset;
    if (kind == TracePieceKind::kConversion) {
      const grammar::Conversion c = grammar::ParseConversion(p);
      if (p[0] != u'%' || c.state == grammar::kMalformed ||
          static_cast<uint32_t>(c.nUnits) != nUnits) {
        std::abort();
      }
      afterLiteral = false;
    } else {
      // A literal run is whole: a conversion or the end follows it.
      if (afterLiteral || (p[nUnits] != u'\0' && p[nUnits] != u'%')) std::abort();
      bool ascii = true;
      for (uint32_t k = 0; k < nUnits; ++k) {
        if (p[k] == u'\0' || p[k] == u'%') std::abort();
        if (p[k] >= 0x80) ascii = false;
      }
      if (ascii != (kind == TracePieceKind::kAscii)) std::abort();
      if (kind != TracePieceKind::kAscii && kind != TracePieceKind::kText) std::abort();
      afterLiteral = true;
    }
    next += nUnits;
  }
  if (parsed.nPieces > 0) {
    if (units[next] != u'\0') std::abort();
    return;
  }
  // None: the format is empty or malformed, or needs more pieces, a longer
  // piece or more units than the parse holds.
  size_t nPieces = 0;
  size_t longest = 0;
  size_t at = 0;
  while (units[at] != u'\0') {
    size_t nUnits = 0;
    if (units[at] == u'%') {
      const grammar::Conversion c = grammar::ParseConversion(units + at);
      if (c.state == grammar::kMalformed) return;
      nUnits = static_cast<size_t>(c.nUnits);
    } else {
      while (units[at + nUnits] != u'\0' && units[at + nUnits] != u'%') ++nUnits;
    }
    ++nPieces;
    if (nUnits > longest) longest = nUnits;
    at += nUnits;
  }
  if (at > 0 && nPieces <= QXSTD::kTraceFormatPieces && longest <= QXSTD::kTracePieceMaxUnits &&
      at <= 0xFFFF) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto byteAt = [&](size_t i) -> unsigned { return i < size ? data[i] : 0; };
  const size_t count = byteAt(0) % (kMaxArguments + 1);
  const unsigned storageByte = byteAt(1);
  std::vector<TraceArgument> records;
  std::vector<check::Category> categories;
  constexpr int kNumKinds = static_cast<int>(TraceArgumentKind::kCountedString16);
  for (size_t i = 0; i < count; ++i) {
    const auto kind = static_cast<TraceArgumentKind>(byteAt(2 + 2 * i) % kNumKinds + 1);
    records.push_back(MakeRecord(kind, byteAt(3 + 2 * i)));
    categories.push_back(check::Classify(static_cast<int>(kind)));
  }
  const size_t header = 2 + 2 * count;
  size_t nUnits = 0;
  const std::vector<char16_t> read = razezir_fuzz::ReadFormat(
      data + (header < size ? header : size), header < size ? size - header : 0, &nUnits);
  // In a block of exactly its size, so that the engine's reads in blocks
  // of units are held to it.
  const std::unique_ptr<char16_t[]> block(new char16_t[nUnits + 1]);
  for (size_t i = 0; i <= nUnits; ++i) block[i] = read[i] == u'!' ? u'?' : read[i];
  const char16_t* const units = block.get();
  size_t length = 0;  // before the first NUL, where the format ends
  while (units[length] != u'\0') ++length;

  // The check's walk against the engine's reads through a va_list.
  std::vector<bool> stars;  // for each argument the walk reads: whether it is a '*'
  int nBadChecked = 0;
  bool percentN = false;
  bool bigStar = false;
  grammar::ArgumentWalk walk(units);
  for (;;) {
    const grammar::ArgumentWalk::Step step = walk.Next();
    if (step == grammar::ArgumentWalk::kEnd) break;
    if (step == grammar::ArgumentWalk::kBadConversion) {
      ++nBadChecked;
      continue;
    }
    const grammar::Conversion& c = walk.conversion();
    if (c.width > kMaxField || c.precision > kMaxField) return 0;
    const bool star = step != grammar::ArgumentWalk::kValue;
    if (!star && c.state == grammar::kArgCount) percentN = true;
    // A '*' from an integer argument this large asks for a long field.
    const size_t argument = stars.size();
    if (star && argument < count && categories[argument] == check::Category::kInteger) {
      const uint64_t value = records[argument].value;
      const auto kind = static_cast<TraceArgumentKind>(records[argument].header & 0xFF);
      const bool isSigned = kind == TraceArgumentKind::kInt8 || kind == TraceArgumentKind::kInt16 ||
                            kind == TraceArgumentKind::kInt32 || kind == TraceArgumentKind::kInt64 ||
                            (kind == TraceArgumentKind::kChar && CHAR_MIN < 0);
      const uint64_t magnitude =
          isSigned && static_cast<int64_t>(value) < 0 ? 0 - value : value;
      if (magnitude > static_cast<uint64_t>(kMaxField)) bigStar = true;
    }
    stars.push_back(star);
  }
  {
    char storage[512];
    OutBuffer out(storage, sizeof storage);
    LoggingArgs args;
    const int nBadEngine = razezir::FormatWide(&out, units, args);
    if (!out.truncated()) {
      if (nBadEngine != nBadChecked || args.isInt.size() != stars.size()) std::abort();
      for (size_t i = 0; i < stars.size(); ++i) {
        if (stars[i] && !args.isInt[i]) std::abort();
      }
    }
  }
  if (bigStar) return 0;

  // The verdict against the typed engine's markers.
  TraceFormat unparsed{};
  unparsed.units = units;
  std::string text;
  const bool whole = RenderTyped(unparsed, records, 512, false, &text);
  const check::Verdict verdict = check::Examine(units, categories.data(), static_cast<int>(count));
  if (whole && nBadChecked == 0 && !percentN) {
    const bool marker = text.find("%!") != std::string::npos;
    if (marker != (verdict.problem != check::Verdict::kNone)) std::abort();
  }

  // The parse, and the format's size, against neither.
  const TraceFormat parsed = check::ParseForTrace(units);
  CheckParse(parsed, units, length);
  TraceFormat sized = unparsed;
  sized.nUnits = parsed.nUnits;
  const size_t storage = 4 * (storageByte >> 1);
  const bool spill = (storageByte & 1) != 0;
  std::string reference;
  if (!RenderTyped(unparsed, records, storage, spill, &reference)) return 0;
  const TraceFormat* const variants[] = {&parsed, &sized};
  for (const TraceFormat* format : variants) {
    std::string other;
    if (RenderTyped(*format, records, storage, spill, &other) && other != reference) std::abort();
  }
  return 0;
}
