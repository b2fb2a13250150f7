// Tests for OutBuffer: the move from caller storage to the heap, spilling in
// fixed chunks, spilling in smaller ones when the heap cannot or may not be
// used, the hard cap without a spill target, and the sticky truncation flag.
// Single-threaded, like the buffer itself.

#include "format/out_buffer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "alloc_counter.h"
#include "gtest/gtest.h"

namespace razezir {
namespace {

// Bytes that differ at every offset within a spill chunk, so that a chunk
// delivered twice, dropped or reordered shows.
char PatternByte(size_t offset) {
  return static_cast<char>((offset * 131 + offset / 251) & 0xFF);
}

// `nBytes` pattern bytes, as if they started at `offset`.
std::string Pattern(size_t offset, size_t nBytes) {
  std::string bytes(nBytes, '\0');
  for (size_t k = 0; k < nBytes; ++k) bytes[k] = PatternByte(offset + k);
  return bytes;
}

struct SpillLog {
  std::string bytes;
  size_t calls = 0;
  size_t unevenCalls = 0;
};

void CollectSpill(void* context, const char* data, size_t nBytes) {
  auto* log = static_cast<SpillLog*>(context);
  log->bytes.append(data, nBytes);
  ++log->calls;
  if (nBytes != OutBuffer::kSpillBytes) ++log->unevenCalls;
}

// A buffer in stack storage whose spills are collected in `log`.
struct SpillingBuffer {
  SpillingBuffer() { out.SetSpill(CollectSpill, &log); }
  char storage[1024];
  SpillLog log;
  OutBuffer out{storage, sizeof storage};
};

TEST(OutBuffer, StaysInCallerStorageUntilFull) {
  char storage[8];
  OutBuffer out(storage, sizeof storage);
  out.Append("abcd", 4);
  out.AppendRepeated('-', 3);
  out.Append('!');
  EXPECT_EQ(storage, out.data());
  EXPECT_EQ("abcd---!", std::string(out.data(), out.size()));

  out.Append('x');
  EXPECT_NE(storage, out.data());
  EXPECT_EQ("abcd---!x", std::string(out.data(), out.size()));
  out.AppendRepeated('.', 1000);
  EXPECT_EQ("abcd---!x" + std::string(1000, '.'), std::string(out.data(), out.size()));
  EXPECT_FALSE(out.truncated());
}

TEST(OutBuffer, GrowsFromEmptyStorageKeepingEveryByte) {
  OutBuffer out(nullptr, 0);
  std::string expected;
  for (size_t i = 0; i < 5000; ++i) {
    const std::string piece = Pattern(expected.size(), i % 7);
    out.Append(piece.data(), piece.size());
    out.AppendRepeated('z', i % 3);
    expected.append(piece).append(i % 3, 'z');
  }
  EXPECT_TRUE(expected == std::string(out.data(), out.size()));
  EXPECT_FALSE(out.truncated());
}

TEST(OutBuffer, SpillDeliversAllBytesInOrderInFullChunks) {
  SpillingBuffer spilling;
  OutBuffer& out = spilling.out;
  const SpillLog& log = spilling.log;

  const size_t total = 3 * OutBuffer::kSpillBytes + 12345;
  std::string expected;
  expected.reserve(total);
  while (expected.size() < total) {
    // Pieces of a size that never divides the spill size.
    const std::string piece =
        Pattern(expected.size(), std::min<size_t>(4099, total - expected.size()));
    out.Append(piece.data(), piece.size());
    expected.append(piece);
    out.AppendRepeated('#', 3);
    expected.append(3, '#');
  }

  EXPECT_EQ(3u, log.calls);
  EXPECT_EQ(0u, log.unevenCalls);
  EXPECT_LE(out.size(), OutBuffer::kSpillBytes);
  std::string delivered = log.bytes + std::string(out.data(), out.size());
  ASSERT_EQ(expected.size(), delivered.size());
  EXPECT_TRUE(expected == delivered) << "spilled bytes differ from the input";
  EXPECT_FALSE(out.truncated());
}

TEST(OutBuffer, CapsAtMaxBytesWithoutSpillAndStaysTruncated) {
  char storage[64];
  OutBuffer out(storage, sizeof storage);
  out.Append("head", 4);
  out.AppendRepeated('x', OutBuffer::kMaxBytes);
  EXPECT_TRUE(out.truncated());
  ASSERT_EQ(OutBuffer::kMaxBytes, out.size());
  EXPECT_EQ(0, std::memcmp(out.data(), "headxxxx", 8));
  EXPECT_EQ('x', out.data()[out.size() - 1]);

  out.Append('y');
  out.Append("more", 4);
  EXPECT_EQ(OutBuffer::kMaxBytes, out.size());

  // Truncation is sticky: room made by Clear does not undo it.
  out.Clear();
  out.Append("after", 5);
  EXPECT_TRUE(out.truncated());
  EXPECT_EQ("after", std::string(out.data(), out.size()));
}

// Writes `piece` through Reserve and Commit, as the engine writes a code
// point or an integer. Returns false if Reserve gave no room.
bool PutReserved(OutBuffer* out, const std::string& piece) {
  char* dst = out->Reserve(piece.size());
  if (dst == nullptr) return false;
  std::memcpy(dst, piece.data(), piece.size());
  out->Commit(piece.size());
  return true;
}

TEST(OutBufferReserve, PiecesMoveWholeFromStorageToHeap) {
  char storage[10];
  OutBuffer out(storage, sizeof storage);
  ASSERT_TRUE(PutReserved(&out, "abcdefg"));
  EXPECT_EQ(storage, out.data());
  ASSERT_TRUE(PutReserved(&out, "1234"));  // does not fit the 3 bytes left
  EXPECT_NE(storage, out.data());
  EXPECT_EQ("abcdefg1234", std::string(out.data(), out.size()));
  EXPECT_GE(out.room(), 1u);
  EXPECT_FALSE(out.truncated());
}

// A piece that meets the spill size is never split around a spill, and a
// line no longer than the spill size is delivered in one piece.
TEST(OutBufferReserve, PieceAtTheSpillSizeStaysWholeAndInOrder) {
  SpillingBuffer spilling;
  OutBuffer& out = spilling.out;
  const SpillLog& log = spilling.log;
  std::string expected;
  const std::string piece = "\xE2\x82\xAC!";  // 4 bytes
  out.AppendRepeated('.', OutBuffer::kSpillBytes - 2);
  expected.append(OutBuffer::kSpillBytes - 2, '.');
  ASSERT_TRUE(PutReserved(&out, piece));
  expected += piece;
  EXPECT_EQ(0u, log.calls);  // 2 bytes past the spill size, still in one piece
  ASSERT_TRUE(PutReserved(&out, piece));
  expected += piece;
  EXPECT_EQ(1u, log.calls);
  EXPECT_EQ(OutBuffer::kSpillBytes + 2, log.bytes.size());
  EXPECT_TRUE(expected == log.bytes + std::string(out.data(), out.size()));
  EXPECT_FALSE(out.truncated());
}

TEST(OutBufferReserve, NoRoomAtTheCapMeansNullAndTruncated) {
  OutBuffer out(nullptr, 0);
  out.AppendRepeated('x', OutBuffer::kMaxBytes - 2);
  EXPECT_FALSE(out.truncated());
  EXPECT_FALSE(PutReserved(&out, "four"));
  EXPECT_TRUE(out.truncated());
  EXPECT_EQ(OutBuffer::kMaxBytes - 2, out.size());
}

// Appends `bytes` in pieces of an awkward size, allocating nothing itself.
void AppendInPieces(OutBuffer* out, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size(); done += 333) {
    out->Append(bytes.data() + done, std::min<size_t>(333, bytes.size() - done));
  }
}

std::string Delivered(const SpillingBuffer& spilling) {
  return spilling.log.bytes + std::string(spilling.out.data(), spilling.out.size());
}

// Without memory, a buffer with a spill target hands on what it holds and
// goes on in the storage it has: every byte arrives, in order, and a
// reserved piece is never split.
TEST(OutBufferNoMemory, SpillsWhatItHasAndGoesOn) {
  SpillingBuffer spilling;
  OutBuffer& out = spilling.out;
  const std::string head = Pattern(0, 100000);
  const std::string piece(700, 'r');  // longer than the room a spill leaves
  const std::string tail = Pattern(7, 100000);
  spilling.log.bytes.reserve(head.size() + piece.size() + tail.size());
  if (!razezir_test::FailAllocations(1)) GTEST_SKIP() << "malloc is not ours here";
  AppendInPieces(&out, head);
  const bool reserved = PutReserved(&out, piece);
  AppendInPieces(&out, tail);
  razezir_test::StopFailingAllocations();

  EXPECT_TRUE(reserved);
  EXPECT_EQ(spilling.storage, out.data());
  EXPECT_FALSE(out.truncated());
  EXPECT_GE(spilling.log.calls, 200000 / sizeof spilling.storage);
  EXPECT_TRUE(head + piece + tail == Delivered(spilling)) << "spilled bytes differ";
}

// Memory that runs out after the buffer moved to the heap: the heap block
// it has is spilled and reused.
TEST(OutBufferNoMemory, SpillsTheHeapBlockItAlreadyHas) {
  SpillingBuffer spilling;
  OutBuffer& out = spilling.out;
  const std::string head = Pattern(0, 5000);
  const std::string tail = Pattern(3, 250000);
  spilling.log.bytes.reserve(head.size() + tail.size());
  AppendInPieces(&out, head);
  const char* heap = out.data();
  ASSERT_NE(spilling.storage, heap);
  if (!razezir_test::FailAllocations(1)) GTEST_SKIP() << "malloc is not ours here";
  AppendInPieces(&out, tail);
  razezir_test::StopFailingAllocations();

  EXPECT_EQ(heap, out.data());
  EXPECT_FALSE(out.truncated());
  EXPECT_GT(spilling.log.calls, 0u);
  EXPECT_TRUE(head + tail == Delivered(spilling)) << "spilled bytes differ";
}

// Without memory or a spill target, what does not fit is dropped.
TEST(OutBufferNoMemory, WithoutSpillDropsAndStaysTruncated) {
  char storage[16];
  OutBuffer out(storage, sizeof storage);
  if (!razezir_test::FailAllocations(1)) GTEST_SKIP() << "malloc is not ours here";
  out.Append("0123456789abcdefXYZ", 19);
  const bool reserved = PutReserved(&out, "more");
  razezir_test::StopFailingAllocations();
  EXPECT_FALSE(reserved);
  EXPECT_TRUE(out.truncated());
  EXPECT_EQ("0123456789abcdef", std::string(out.data(), out.size()));
}

// A buffer told to keep off the heap never allocates: it drops what does not
// fit, or spills it in pieces of its storage's size.
TEST(OutBufferFixed, DropsOrSpillsAndNeverAllocates) {
  const std::string pattern = Pattern(0, 4000);
  const std::string piece(1000, 'p');
  const std::string tooLong(1025, 'x');
  SpillingBuffer spilling;
  spilling.log.bytes.reserve(5000);
  char storage[32];
  OutBuffer dropping(storage, sizeof storage);
  const bool counting = razezir_test::StartCountingAllocations();
  const long before = razezir_test::AllocationCount();

  dropping.ForbidHeap();
  dropping.AppendRepeated('a', 30);
  const bool reservedFitting = PutReserved(&dropping, "bc");
  const bool truncatedWhenFull = dropping.truncated();
  const bool reservedPastEnd = PutReserved(&dropping, "d");
  dropping.Append('e');

  OutBuffer& out = spilling.out;
  out.ForbidHeap();
  AppendInPieces(&out, pattern);
  const bool reservedAfterSpill = PutReserved(&out, piece);
  const size_t spillsBefore = spilling.log.calls;
  const bool reservedTooLong = PutReserved(&out, tooLong);

  const long allocations = razezir_test::AllocationCount() - before;
  if (counting) {
    EXPECT_EQ(0, allocations);
  }
  EXPECT_FALSE(dropping.mayAllocate());
  EXPECT_TRUE(reservedFitting);
  EXPECT_FALSE(truncatedWhenFull);
  EXPECT_FALSE(reservedPastEnd);
  EXPECT_TRUE(dropping.truncated());
  EXPECT_EQ(storage, dropping.data());
  EXPECT_EQ(std::string(30, 'a') + "bc",
            std::string(dropping.data(), dropping.size()));

  EXPECT_TRUE(reservedAfterSpill);  // after a spill, not split around one
  EXPECT_EQ(4u, spillsBefore);
  EXPECT_FALSE(reservedTooLong);  // no spill makes room for it
  EXPECT_TRUE(out.truncated());
  EXPECT_EQ(spilling.storage, out.data());
  EXPECT_TRUE(pattern + piece == Delivered(spilling)) << "spilled bytes differ";
}

}  // namespace
}  // namespace razezir
