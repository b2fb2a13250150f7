// Growth and spilling of OutBuffer; the paths that find room are inline.

#include "format/out_buffer.h"

#include <cstdlib>
#include <cstring>

namespace razezir {

namespace {

constexpr size_t kMinHeapBytes = 256;

}  // namespace

void OutBuffer::ReleaseHeap() noexcept { std::free(data_); }

bool OutBuffer::MakeRoom(size_t wantBytes) noexcept {
  if (size_ < capacity_) return true;
  return GrowOrSpill(wantBytes, spill_ != nullptr ? kSpillBytes : kMaxBytes);
}

bool OutBuffer::GrowOrSpill(size_t wantBytes, size_t limit) noexcept {
  // With a spill target, a buffer at the spill size is handed on rather
  // than grown, so memory stays bounded for lines of any length; so is one
  // that cannot grow, so that the line goes out in smaller pieces rather
  // than cut.
  const bool atSpillSize = spill_ != nullptr && size_ >= kSpillBytes;
  if (!atSpillSize && Grow(wantBytes, limit)) return true;
  if (spill_ != nullptr && size_ > 0) {
    Spill();
    return true;
  }
  truncated_ = true;
  return false;
}

void OutBuffer::Spill() noexcept {
  spill_(spillContext_, data_, size_);
  size_ = 0;
}

bool OutBuffer::Grow(size_t wantBytes, size_t limit) noexcept {
  if (!mayAllocate_ || capacity_ >= limit) return false;
  size_t newCapacity = capacity_ < kMinHeapBytes ? kMinHeapBytes : capacity_ * 2;
  if (wantBytes > newCapacity - size_ && wantBytes <= limit - size_) {
    newCapacity = size_ + wantBytes;
  }
  if (newCapacity > limit) newCapacity = limit;
  char* grown = static_cast<char*>(
      onHeap_ ? std::realloc(data_, newCapacity) : std::malloc(newCapacity));
  if (grown == nullptr) return false;
  if (!onHeap_ && size_ > 0) std::memcpy(grown, data_, size_);
  data_ = grown;
  capacity_ = newCapacity;
  onHeap_ = true;
  return true;
}

template <typename Fill>
void OutBuffer::AppendInPieces(size_t nBytes, Fill fill) noexcept {
  while (nBytes > 0) {
    if (size_ == capacity_ && !MakeRoom(nBytes)) return;
    size_t room = capacity_ - size_;
    size_t n = nBytes < room ? nBytes : room;
    fill(data_ + size_, n);
    size_ += n;
    nBytes -= n;
  }
}

void OutBuffer::AppendSlow(const char* s, size_t nBytes) noexcept {
  AppendInPieces(nBytes, [&s](char* dst, size_t n) {
    std::memcpy(dst, s, n);
    s += n;
  });
}

void OutBuffer::AppendRepeatedSlow(char c, size_t nBytes) noexcept {
  AppendInPieces(nBytes, [c](char* dst, size_t n) { std::memset(dst, c, n); });
}

char* OutBuffer::ReserveSlow(size_t nBytes) noexcept {
  // The piece must be contiguous: with a spill target, the buffer may pass
  // the spill size by one piece, so that the bytes are still handed on only
  // once the spill size is reached.
  while (capacity_ - size_ < nBytes) {
    if (!GrowOrSpill(nBytes, spill_ != nullptr ? kSpillBytes + nBytes : kMaxBytes)) {
      return nullptr;
    }
  }
  return data_ + size_;
}

}  // namespace razezir
