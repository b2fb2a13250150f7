// Growth and spilling of OutBuffer; the hot single-byte path is inline.

#include "format/out_buffer.h"

#include <cstdlib>
#include <cstring>

namespace razezir {

namespace {

constexpr size_t kMinHeapBytes = 256;

}  // namespace

OutBuffer::~OutBuffer() {
  if (onHeap_) std::free(data_);
}

bool OutBuffer::MakeRoom(size_t wantBytes) noexcept {
  if (size_ < capacity_) return true;
  // With a spill target, a full buffer at the spill size is handed on
  // rather than grown, so memory stays bounded for lines of any length.
  if (spill_ != nullptr && size_ >= kSpillBytes) {
    spill_(spillContext_, data_, size_);
    size_ = 0;
    return capacity_ > 0;
  }
  const size_t limit = spill_ != nullptr ? kSpillBytes : kMaxBytes;
  if (capacity_ >= limit) {
    truncated_ = true;
    return false;
  }
  size_t newCapacity = capacity_ < kMinHeapBytes ? kMinHeapBytes : capacity_ * 2;
  if (wantBytes > newCapacity - size_ && wantBytes <= limit - size_) {
    newCapacity = size_ + wantBytes;
  }
  if (newCapacity > limit) newCapacity = limit;
  char* grown = static_cast<char*>(
      onHeap_ ? std::realloc(data_, newCapacity) : std::malloc(newCapacity));
  if (grown == nullptr) {
    truncated_ = true;
    return false;
  }
  if (!onHeap_ && size_ > 0) std::memcpy(grown, data_, size_);
  data_ = grown;
  capacity_ = newCapacity;
  onHeap_ = true;
  return true;
}

void OutBuffer::Append(const char* s, size_t nBytes) noexcept {
  while (nBytes > 0) {
    if (size_ == capacity_ && !MakeRoom(nBytes)) return;
    size_t room = capacity_ - size_;
    size_t n = nBytes < room ? nBytes : room;
    std::memcpy(data_ + size_, s, n);
    size_ += n;
    s += n;
    nBytes -= n;
  }
}

void OutBuffer::AppendRepeated(char c, size_t nBytes) noexcept {
  while (nBytes > 0) {
    if (size_ == capacity_ && !MakeRoom(nBytes)) return;
    size_t room = capacity_ - size_;
    size_t n = nBytes < room ? nBytes : room;
    std::memset(data_ + size_, c, n);
    size_ += n;
    nBytes -= n;
  }
}

}  // namespace razezir
