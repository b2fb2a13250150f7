// Group commit of log lines. Every destination (a file, or standard output)
// has a CommitQueue. A thread with a finished line joins the queue
// (Enqueue); if the queue was idle it leads at once, writes its line and
// leaves, which costs one write and two atomic operations. If another
// thread is writing, the line waits, in the joining thread's own stack
// frame, and that thread waits with it.
// The thread that writes next takes the lines waiting behind its own and
// writes them together with one system call, then tells the threads whose
// lines it wrote. If lines arrived while it wrote, it writes those too, for
// a few batches, and then passes the lead to the first of them. So under
// contention a write carries many lines, and still every caller returns
// only once its own line is written.
//
// A batch is bounded by count and by bytes: at most kMaxBatch lines and
// kMaxBatchBytes, and when its first line is small, that line plus
// kSmallBatchGrowth at most, so that a short line is not held up behind the
// writing of a big batch.
//
// The queue is a stack of entries linked from the newest to the oldest,
// pushed with compare-and-swap. An entry links to the one before it before
// it is published, so the leader can walk back from the newest entry to its
// own without waiting for anyone. Entries older than the leader's have been
// written and may be gone; a new leader's link to them is cleared before it
// is told, and the walk never goes past the leader.
//
// An entry may carry no line: its thread then takes a turn, holding the
// destination by itself (a line written in pieces, a change or close of a
// stream), and then passes the lead on. A batch never takes such an entry
// along.
//
// The queue knows nothing of files: Enqueue tells its caller whether it
// leads, and a leader takes its batches through a LedBatch and writes them
// itself, as its own caller would.

#ifndef RAZEZIR_SRC_WRITE_COMMIT_QUEUE_H_
#define RAZEZIR_SRC_WRITE_COMMIT_QUEUE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/thread_annotations.h"

namespace razezir {

// A place in a queue, in the stack frame of the thread that waits in it.
// The destination derives the line it commits from it.
struct CommitEntry {
  // Where the thread that queued the entry stands.
  enum State : uint32_t {
    kQueued,    // Waiting, spinning.
    kSleeping,  // Waiting, asleep on `state`: whoever changes it must wake it.
    kWritten,   // Another thread wrote the line; the caller may return.
    kLead,      // The caller now leads the queue.
  };

  bool isTurn = false;  // Carries no line; its thread takes a turn.
  size_t bytes = 0;    // The size of the line, for the batch's bounds.
  // The entry queued just before this one, or null if the queue was idle or
  // this entry leads.
  CommitEntry* older = nullptr;
  std::atomic<uint32_t> state{kQueued};
};

// The capability of a queue is its lead: held by a turn, or by the thread
// whose line leads, until the lead passes on.
class RAZEZIR_CAPABILITY("queue lead") CommitQueue {
 public:
  // The most lines one batch carries.
  static constexpr size_t kMaxBatch = 64;
  // The most bytes one batch carries, unless its first line alone is more.
  static constexpr size_t kMaxBatchBytes = size_t{1} << 20;
  // A batch whose first line is at most this long carries at most this
  // many bytes more.
  static constexpr size_t kSmallBatchGrowth = size_t{128} << 10;

  CommitQueue() = default;
  CommitQueue(const CommitQueue&) = delete;
  CommitQueue& operator=(const CommitQueue&) = delete;

  // Queues the line of `entry` (not a turn). Returns false once a leader
  // has taken the line into a batch and written it (as far as the leader
  // decided to); returns true when the caller leads instead: it then writes
  // its own line, and the lines behind it, through a LedBatch.
  bool Enqueue(CommitEntry* entry) RAZEZIR_TRY_ACQUIRE(true);
  // Where a leader's last LedBatch::Next returned false: the lead has
  // passed on, or the queue is idle.
  void LeadPassed() RAZEZIR_RELEASE() {}
  // A turn kept across calls that the analysis cannot follow (a line
  // written in pieces) is handed over to its holder's own keeping here.
  void KeepLeadAcrossCalls() RAZEZIR_RELEASE() {}

  // Queues `entry` as a turn, which carries no line, and waits until it
  // leads: then the caller holds the queue by itself until it calls
  // PassTurn(entry).
  void WaitForTurn(CommitEntry* entry) RAZEZIR_ACQUIRE();

  // REQUIRES: `entry` holds a turn. Passes the lead to the entry queued
  // after it, or leaves the queue idle.
  void PassTurn(CommitEntry* entry) RAZEZIR_RELEASE();

  // Whether a leader whose destination was contended a moment ago waits a
  // little for company (see AwaitCompany). Where threads append side by
  // side, a line in the queue is one that could not: nothing is gained by
  // holding it back. Set before the queue's destination is published.
  void SetLingering(bool linger) { lingers_.store(linger, std::memory_order_relaxed); }

  // Forgets the entries of threads that a fork left behind. REQUIRES: only
  // the calling thread runs in this process.
  void ResetInForkChild() { tail_.store(nullptr, std::memory_order_relaxed); }

  // The lines a leader writes, oldest (its own) first, with the entry that
  // leads after them when already known.
  struct Batch {
    CommitEntry* entries[kMaxBatch];
    size_t count;
    CommitEntry* next;
  };

  // Points in the queue's work where a test may act, so that a test can
  // make an interleaving happen instead of waiting for it. The hook runs on
  // the thread that reaches the point, with the entry concerned.
  enum class TestPoint {
    kJoined,       // The entry is in the queue (whether it leads or not).
    kLeading,      // The entry's thread leads, before it gathers a batch.
    kSleeping,     // The entry's thread is about to sleep until told.
    kBatchWritten  // The leader wrote a batch starting with the entry.
  };
  using TestHook = void (*)(TestPoint point, CommitEntry* entry);
  // Sets the hook for every queue; null removes it.
  static void SetTestHook(TestHook hook) { testHook_.store(hook, std::memory_order_release); }

 private:
  friend class LedBatch;

  // What a leader does with the lead after a batch, when more lines wait.
  enum class LeadChoice {
    kKeep,         // Write them too.
    kPassIfAwake,  // Pass the lead to the next line's thread if it is
                   // spinning; if it sleeps, write them too, rather than
                   // leave every line waiting until that thread is woken
                   // and scheduled.
    kPass,         // Pass the lead on.
  };

  // Appends `entry`. Returns true if the queue was idle: the caller leads.
  // (Should the newest entry be written and its storage reused by a new
  // entry meanwhile, the link still goes to the entry that is newest when
  // the swap succeeds, so the reuse does no harm.)
  bool Join(CommitEntry* entry);

  // Waits until another thread has written the line of `entry` (returns
  // false) or handed it the lead (returns true). Spins briefly; then
  // yields, while yielding has been paying off; then sleeps.
  bool Await(CommitEntry* entry);

  // REQUIRES: `leader` leads with a line. When the queue lingers, the
  // destination was contended a moment ago and no line waits behind the
  // leader's yet, waits a little for one: another thread is most likely
  // formatting its next line, and two lines in one write cost little more
  // than one.
  void AwaitCompany(CommitEntry* leader) const;

  // REQUIRES: the caller leads, and `first` is its own entry or the one
  // FinishBatch returned; it carries a line. Fills `batch` with the line of
  // `first` and those queued after it, within the batch's bounds and not
  // past a turn. Their threads wait until FinishBatch.
  void TakeBatch(CommitEntry* first, Batch* batch);

  // After `batch` was written: lets the threads of its lines return, but
  // the caller's own (`own`), and deals with the lines that came in after
  // it as `choice` says. Returns the entry the caller's next batch starts
  // from when it keeps the lead, or null when the lead has passed or the
  // queue went idle. The lead always passes to a turn.
  CommitEntry* FinishBatch(const Batch& batch, const CommitEntry* own, LeadChoice choice);

  // The entry queued right after `last`, or null when there is none: the
  // queue is then idle. REQUIRES: `last` leads or is in the leader's batch,
  // and its thread has not been told yet (so its address is not reused).
  CommitEntry* NextAfter(CommitEntry* last);

  // Runs the test hook, if any, at `point`.
  static void Reach(TestPoint point, CommitEntry* entry) {
    TestHook hook = testHook_.load(std::memory_order_relaxed);
    if (hook != nullptr) hook(point, entry);
  }

  // The newest entry, or null when the queue is idle.
  std::atomic<CommitEntry*> tail_{nullptr};
  // Whether the last batch carried more than one line or had a line
  // waiting after it. Written only by the leader.
  std::atomic<bool> contended_{false};
  // Whether waiters that yielded were told meanwhile, of late: positive
  // while yielding pays, decaying, updated from a sample of the waits.
  std::atomic<int32_t> yieldCredit_{0};
  std::atomic<uint32_t> waits_{0};
  std::atomic<bool> lingers_{true};
  static inline std::atomic<TestHook> testHook_{nullptr};
};

// The lead of a queue, from the line whose Enqueue returned true: the
// batches it writes, one after another, until the lead passes on or the
// queue goes idle. Each batch is the leader's to write in full while its
// lines' threads wait; Next lets them return.
class LedBatch {
 public:
  // Takes the first batch, `own` first. REQUIRES: Enqueue(own) returned
  // true.
  LedBatch(CommitQueue& queue, CommitEntry* own) RAZEZIR_REQUIRES(queue)
      : queue_(queue), own_(own) {
    queue_.TakeBatch(own, &batch_);
  }
  LedBatch(const LedBatch&) = delete;
  LedBatch& operator=(const LedBatch&) = delete;

  CommitEntry* const* entries() const { return batch_.entries; }
  size_t count() const { return batch_.count; }

  // Once the batch is written: lets its lines' threads return but the
  // leader's own, and takes the next batch when the leader keeps the lead.
  // Returns false when the lead has passed on or the queue went idle.
  bool Next();

 private:
  CommitQueue& queue_;
  CommitEntry* const own_;
  int round_ = 1;
  CommitQueue::Batch batch_;
};

}  // namespace razezir

#endif  // RAZEZIR_SRC_WRITE_COMMIT_QUEUE_H_
