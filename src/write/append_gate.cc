// The stamping, closing and opening of an AppendGate.

#include "write/append_gate.h"

#include <chrono>

#include "platform/port.h"

namespace razezir {

namespace {

// A leader closing the gate spins this long for the threads in it to leave
// (each writes one line) before it sleeps until the last one wakes it.
constexpr std::chrono::nanoseconds kDrainSpin{1000};

}  // namespace

void AppendGate::Allow(bool allow) {
  word_.fetch_and(~kRefused, std::memory_order_relaxed);
  allowed_.store(allow, std::memory_order_relaxed);
}

bool AppendGate::MoveStamp(int64_t millisecond) {
  const uint64_t stamp = StampBits(millisecond);
  uint64_t word = word_.load(std::memory_order_acquire);
  for (;;) {
    if ((word & kStampMask) == stamp) return true;
    // Another thread in the gate may carry the old stamp and land after
    // this line; the stamp moves only for the one thread in the gate.
    if ((word & kCountMask) != 1) return false;
    if (word_.compare_exchange_weak(word, stamp | (word & ~kStampMask), std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
      return true;
    }
  }
}

void AppendGate::Close() {
  word_.fetch_or(kClosed, std::memory_order_acq_rel);
  if (platform::SpinUntil(kDrainSpin, [this] {
        return (word_.load(std::memory_order_acquire) & kCountMask) == 0;
      })) {
    return;
  }
  for (;;) {
    // The count is read again with the drainer bit set, so that the last
    // thread out either saw the bit and wakes, or left before the read.
    const uint32_t seen = drained_.load(std::memory_order_acquire);
    if ((word_.fetch_or(kDrainer, std::memory_order_acq_rel) & kCountMask) == 0) break;
    // In a fork takeover the threads counted in the gate are not in the
    // child: none will leave.
    if (!platform::WaitOnWord(&drained_, seen)) break;
  }
  word_.fetch_and(~kDrainer, std::memory_order_relaxed);
}

void AppendGate::OpenStamped(int64_t millisecond, bool enter) {
  const uint64_t stamp = StampBits(millisecond);
  // Threads that found the gate closed may still be on their way out, so
  // the count is not overwritten.
  uint64_t word = word_.load(std::memory_order_relaxed);
  while (!word_.compare_exchange_weak(word, (stamp | (word & ~kStampMask)) + (enter ? 1 : 0),
                                      std::memory_order_acq_rel, std::memory_order_relaxed)) {
  }
  Open();
}

void AppendGate::WakeDrainer() {
  drained_.fetch_add(1, std::memory_order_release);
  platform::WakeWord(&drained_);
}

}  // namespace razezir
