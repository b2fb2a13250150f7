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
  char storage[1024];
  OutBuffer out(storage, sizeof storage);
  SpillLog log;
  out.SetSpill(CollectSpill, &log);

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

}  // namespace
}  // namespace razezir
