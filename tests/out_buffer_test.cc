// Tests for OutBuffer: the move from caller storage to the heap, spilling in
// fixed chunks, the hard cap without a spill target, and the sticky
// truncation flag. Single-threaded, like the buffer itself.

#include "format/out_buffer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace razezir {
namespace {

// Bytes that differ at every offset within a spill chunk, so that a chunk
// delivered twice, dropped or reordered shows.
char PatternByte(size_t offset) {
  return static_cast<char>((offset * 131 + offset / 251) & 0xFF);
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
    char piece[7];
    size_t nBytes = i % sizeof piece;
    for (size_t k = 0; k < nBytes; ++k)
      piece[k] = PatternByte(expected.size() + k);
    out.Append(piece, nBytes);
    out.AppendRepeated('z', i % 3);
    expected.append(piece, nBytes).append(i % 3, 'z');
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
  char piece[4099];  // a size that never divides the spill size
  while (expected.size() < total) {
    size_t nBytes = std::min(sizeof piece, total - expected.size());
    for (size_t k = 0; k < nBytes; ++k)
      piece[k] = PatternByte(expected.size() + k);
    out.Append(piece, nBytes);
    expected.append(piece, nBytes);
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

}  // namespace
}  // namespace razezir
