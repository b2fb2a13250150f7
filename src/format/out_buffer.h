// OutBuffer accumulates narrow output bytes for one formatting job. It starts
// in storage the caller owns (normally a stack array), moves to the heap only
// when that overflows, and can hand full chunks to a spill callback so that a
// line of any length is delivered whole while memory stays bounded. The
// printf engine writes into it directly: a line is made of many small
// pieces, so the checks for room are inline and everything else is not.
//
// When the heap cannot be had (no memory, or the caller forbade it) and a
// spill callback is set, the bytes so far are spilled and the caller's
// storage is reused, so a line is still delivered whole, in smaller pieces.
//
// An OutBuffer belongs to one thread at a time; it has no internal locking.

#ifndef RAZEZIR_SRC_FORMAT_OUT_BUFFER_H_
#define RAZEZIR_SRC_FORMAT_OUT_BUFFER_H_

#include <cstddef>
#include <cstring>

namespace razezir {

class OutBuffer {
 public:
  // Receives the buffered bytes when the buffer is about to grow past
  // kSpillBytes. After the call the buffer is empty again.
  using SpillFn = void (*)(void* context, const char* data, size_t nBytes);

  // Heap growth stops here when a spill callback is set: the bytes so far
  // are handed to it instead, in chunks of this size (a piece written
  // through Reserve may overshoot it by its own length). Chunks are smaller
  // when the buffer cannot grow.
  static constexpr size_t kSpillBytes = size_t{1} << 20;
  // Without a spill callback the buffer never grows past this; what does not
  // fit is dropped and truncated() reports it.
  static constexpr size_t kMaxBytes = size_t{64} << 20;

  // `storage` must outlive the buffer. `nBytes` may be 0.
  OutBuffer(char* storage, size_t nBytes) noexcept
      : data_(storage), size_(0), capacity_(nBytes), onHeap_(false),
        mayAllocate_(true), truncated_(false), spill_(nullptr),
        spillContext_(nullptr) {}
  ~OutBuffer() {
    if (onHeap_) ReleaseHeap();
  }

  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;

  void SetSpill(SpillFn fn, void* context) noexcept {
    spill_ = fn;
    spillContext_ = context;
  }

  // Keeps the buffer in the caller's storage for good: it never calls
  // malloc, so it may be used where allocating is unsafe, as in a signal
  // handler. What does not fit is spilled if a callback is set, and
  // otherwise dropped with truncated() set. Call before the first append.
  void ForbidHeap() noexcept { mayAllocate_ = false; }
  bool mayAllocate() const noexcept { return mayAllocate_; }

  void Append(char c) noexcept {
    if (size_ < capacity_ || MakeRoom(1)) data_[size_++] = c;
  }
  void Append(const char* s, size_t nBytes) noexcept {
    if (nBytes > capacity_ - size_) return AppendSlow(s, nBytes);
    // With nothing to write, `s` and data_ may be null, which memcpy forbids.
    if (nBytes > 0) std::memcpy(data_ + size_, s, nBytes);
    size_ += nBytes;
  }
  void AppendRepeated(char c, size_t nBytes) noexcept {
    if (nBytes > capacity_ - size_) return AppendRepeatedSlow(c, nBytes);
    if (nBytes > 0) std::memset(data_ + size_, c, nBytes);
    size_ += nBytes;
  }

  // Returns where `nBytes` more bytes may be written in one piece; Commit
  // then says how many were. Returns null, with truncated() set, when no
  // room can be made. For producers that write a small piece of unknown
  // length (a code point, an integer): `nBytes` is a few dozen at most.
  char* Reserve(size_t nBytes) noexcept {
    return nBytes <= capacity_ - size_ ? data_ + size_ : ReserveSlow(nBytes);
  }
  void Commit(size_t nBytes) noexcept { size_ += nBytes; }
  // How many bytes may be written after Reserve without another one.
  size_t room() const noexcept { return capacity_ - size_; }

  // The room as it stands, for a producer that writes several pieces
  // before it commits them: bytes may be written from Cursor() up to
  // Limit(), and CommitTo(end) keeps those before `end`.
  char* Cursor() noexcept { return data_ + size_; }
  const char* Limit() const noexcept { return data_ + capacity_; }
  void CommitTo(const char* end) noexcept { size_ = static_cast<size_t>(end - data_); }

  void Clear() noexcept { size_ = 0; }

  const char* data() const noexcept { return data_; }
  char* data() noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  // Sticky: set once any byte was dropped for lack of memory or room.
  bool truncated() const noexcept { return truncated_; }
  // For producers that had to leave text out before it reached the buffer.
  void MarkTruncated() noexcept { truncated_ = true; }

 private:
  // Makes room for at least one more byte, by growing towards `wantBytes`
  // more or by spilling. Returns false, with truncated_ set, when impossible.
  bool MakeRoom(size_t wantBytes) noexcept;
  // Grows towards `wantBytes` more, unless the spill size is reached, and
  // failing that spills. Returns false, with truncated_ set, when neither
  // made any room.
  bool GrowOrSpill(size_t wantBytes, size_t limit) noexcept;
  // Grows the heap copy towards `wantBytes` more, to at most `limit` bytes.
  // Returns false at the limit, without memory, or off the heap.
  bool Grow(size_t wantBytes, size_t limit) noexcept;
  // Frees the heap copy.
  void ReleaseHeap() noexcept;
  // Hands the bytes so far to the spill callback and empties the buffer.
  void Spill() noexcept;
  // Makes room and lets `fill(dst, n)` write the next `n` of `nBytes`
  // bytes, as often as it takes.
  template <typename Fill>
  void AppendInPieces(size_t nBytes, Fill fill) noexcept;
  void AppendSlow(const char* s, size_t nBytes) noexcept;
  void AppendRepeatedSlow(char c, size_t nBytes) noexcept;
  char* ReserveSlow(size_t nBytes) noexcept;

  char* data_;
  size_t size_;
  size_t capacity_;
  bool onHeap_;
  bool mayAllocate_;
  bool truncated_;
  SpillFn spill_;
  void* spillContext_;
};

}  // namespace razezir

#endif  // RAZEZIR_SRC_FORMAT_OUT_BUFFER_H_
