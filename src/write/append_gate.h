// The append gate of a destination: where the system puts every write whole
// at the end of the file, whatever other writers do (a regular file opened
// for appending), threads append their own lines through the gate, side by
// side, instead of waiting in the destination's queue. On a kernel that
// overlaps appends this keeps many threads as fast as the same writes
// without a log, and it never holds a line back. A thread in the gate writes
// one whole line with one write and leaves.
//
// Only the thread that leads the destination's queue (with a batch or with
// the destination's turn) closes the gate; closing waits until the threads
// in the gate have left, so that a turn has the file alone. A line that
// finds the gate closed waits in the queue.
//
// A line's time is its writer's own clock reading, and times must never go
// backwards in a file, though lines in the gate land in any order. So the
// gate carries a stamp: the millisecond that every thread in the gate may
// give its line. A thread may use its own reading only when that is the
// stamp, or when it is the only thread in the gate and so may move the stamp;
// otherwise its line waits in the queue, whose leader closes the gate, waits
// for the threads in it and moves the stamp on (about once a millisecond
// under contention).
//
// A write cut short in a file that others append to leaves a cut line that
// the next append would be glued to. After one, the gate refuses every
// thread for good, and the lines of that file wait in its queue, where one
// thread writes at a time and the cut line is closed off first.
//
// The gate is one 64-bit word: the stamp in the high bits, the closed and
// refused bits, a bit saying that the leader sleeps until the gate drains,
// and the number of threads in the gate. Every thread may enter and leave;
// only the leader closes, opens and restamps.

#ifndef RAZEZIR_SRC_WRITE_APPEND_GATE_H_
#define RAZEZIR_SRC_WRITE_APPEND_GATE_H_

#include <atomic>
#include <cstdint>

namespace razezir {

class AppendGate {
 public:
  AppendGate() = default;
  AppendGate(const AppendGate&) = delete;
  AppendGate& operator=(const AppendGate&) = delete;

  // Whether the gate ever admits anyone: set once, before its destination
  // is published, for a file that appends every write whole. Clears the
  // refusal of an earlier file, without losing the count of threads that
  // may still pass through from when the destination stood for that file.
  void Allow(bool allow);
  bool Allowed() const { return allowed_.load(std::memory_order_relaxed); }

  // Lets the calling thread in, unless the gate admits no one, is closed or
  // refuses: then returns false, and the line waits in the queue.
  bool Enter() {
    if (!Allowed()) return false;
    if ((word_.fetch_add(1, std::memory_order_acquire) & (kClosed | kRefused)) == 0) return true;
    Leave();
    return false;
  }
  // REQUIRES: the caller is in the gate. Returns true if the caller may give
  // its line the time `millisecond` (a clock reading in milliseconds): the
  // gate carries that stamp, or the caller is the only thread in it and
  // moves the stamp to it. Returns false if its line must wait in the queue instead.
  bool Stamp(int64_t millisecond) {
    // Within a millisecond, as a rule, the stamp is the reading already.
    if ((word_.load(std::memory_order_acquire) & kStampMask) == StampBits(millisecond)) {
      return true;
    }
    return MoveStamp(millisecond);
  }
  // Lets the calling thread out.
  void Leave() {
    const uint64_t before = word_.fetch_sub(1, std::memory_order_release);
    if ((before & kDrainer) != 0 && (before & kCountMask) == 1) WakeDrainer();
  }

  // From now on the gate lets no one in. Any thread may call it.
  void Refuse() { word_.fetch_or(kRefused, std::memory_order_acq_rel); }
  bool Refused() const { return (word_.load(std::memory_order_acquire) & kRefused) != 0; }

  // REQUIRES: the caller leads the queue and the gate is open. Enters the
  // gate with a time that no line in it contradicts: reads the clock with
  // `readClock()` (which returns milliseconds) inside the gate, and when the
  // threads in it carry another stamp, closes the gate, waits for them,
  // reads the clock again and opens the gate stamped with that reading. The
  // caller gives its lines the last reading, then leaves.
  template <typename ReadClock>
  void EnterAsLeader(ReadClock&& readClock) {
    word_.fetch_add(1, std::memory_order_acquire);
    if (Stamp(readClock())) return;
    Leave();
    Close();
    OpenStamped(readClock(), true);
  }

  // REQUIRES: the caller leads the queue. Enters the gate, open or not, to
  // write beside the threads in it lines that carry no time.
  void EnterAsLeaderUntimed() { word_.fetch_add(1, std::memory_order_acquire); }

  // REQUIRES: the caller leads the queue. Closes the gate and waits until no
  // thread is in it.
  void Close();
  // REQUIRES: the caller closed the gate. Opens it with the stamp it had,
  // or stamped with `millisecond`, and with the caller let in when `enter`.
  void Open() { word_.fetch_and(~(kClosed | kDrainer), std::memory_order_release); }
  void OpenStamped(int64_t millisecond, bool enter);

  // Forgets the threads that a fork left in the gate, and a close under
  // way. REQUIRES: only the calling thread runs in this process.
  void ResetInForkChild() {
    word_.store(word_.load(std::memory_order_relaxed) & (kStampMask | kRefused),
                std::memory_order_relaxed);
  }

 private:
  // The stamp keeps the low 41 bits of the millisecond: enough to tell
  // apart readings less than 69 years apart.
  static constexpr int kStampShift = 23;
  static constexpr uint64_t kRefused = uint64_t{1} << 22;
  static constexpr uint64_t kDrainer = uint64_t{1} << 21;
  static constexpr uint64_t kClosed = uint64_t{1} << 20;
  static constexpr uint64_t kCountMask = kClosed - 1;
  static constexpr uint64_t kStampMask = ~uint64_t{0} << kStampShift;
  static uint64_t StampBits(int64_t millisecond) {
    return static_cast<uint64_t>(millisecond) << kStampShift;
  }

  // Stamp when the gate carries another stamp.
  bool MoveStamp(int64_t millisecond);
  void WakeDrainer();

  std::atomic<bool> allowed_{false};
  std::atomic<uint64_t> word_{0};
  // Bumped when the last thread leaves while the leader sleeps until then
  // (kDrainer).
  std::atomic<uint32_t> drained_{0};
};

}  // namespace razezir

#endif  // RAZEZIR_SRC_WRITE_APPEND_GATE_H_
