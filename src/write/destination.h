// Destinations: the places where bytes land, and the one way a line gets
// there. A destination is one open file, known by its identity (device and
// inode, or volume and file index), or standard output. Every stream that
// writes into a file shares the file's destination, so that lines and the
// pieces of a long line from any stream take their turns there, and a write
// cut short through one stream is closed off before the next write from any
// stream. Standard output is always a destination of its own, even when it
// is redirected to a file that is also open as a log.
//
// A destination owns the whole write of a line. A thread reaches the file
// from one of four places, each a type of its own, and only those reach the
// write primitives:
//   - a shared place in the append gate (Destination::TryAppend), where
//     lines are appended once each, side by side;
//   - a batch led from the queue (LedBatch), written beside the gate, or
//     with the gate closed when a cut line must be closed off first;
//   - an exclusive turn (ExclusiveTurn), the file alone: banners, lines
//     written in pieces, the control calls;
//   - a write at once with the destination held by a reference
//     (TRACE_NO_LOCK), which no other place waits for.
// Delivery takes the first place it can, judges the line there (has its stream moved to
// another destination, does its level still admit it), gives it its time,
// writes it through the destination's own handle of the file, and, for a
// durable line, syncs the file once the line's thread holds nothing that
// other lines need. Emission only routes and formats: it hands the finished
// line to DestinationTable::Deliver.
//
// A destination lives while a stream or a line on its way refers to it:
// each holds a reference. The last reference to go sends it back to the
// table for reuse, and only then is its handle closed. The objects
// themselves stay until the table goes (at DeinitTrace), so a thread may
// read a destination from an atomic pointer, take a place in it (a
// reference, or a place in its gate) and then check that the pointer still
// holds it.
//
// Thread safety: everything here may be called from any thread at once, but
// for what a REQUIRES line restricts.

#ifndef RAZEZIR_SRC_WRITE_DESTINATION_H_
#define RAZEZIR_SRC_WRITE_DESTINATION_H_

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "write/append_gate.h"
#include "write/commit_queue.h"
#include "write/storage_sync.h"
#include "platform/port.h"
#include "platform/thread_annotations.h"

namespace razezir {

class Destination;
class DestinationTable;

// Where a line goes and what admits it there, read again when the line is
// about to be written: the destination of its stream as it stands (the main
// log's, or a target's), and the level in force for it (the main log's,
// which StopTrace lowers for the lines still on their way; a target's line
// is written once past its level test: null).
struct LineRoute {
  const std::atomic<Destination*>* destination;
  const std::atomic<int>* level;
};

// What becomes of a line once its writer holds a place in the destination.
enum class Verdict {
  kWrite,  // It is written here.
  kDrop,   // Its level no longer admits it.
  kMoved,  // Its stream writes elsewhere now: it is delivered there.
};

// The one judgement of every line, a main-log line or a target's alike.
// REQUIRES: the caller holds a place in `here` (its turn, its queue's lead,
// or a place in its gate), so that the route's destination cannot move to
// or away from `here` meanwhile.
inline Verdict Judge(const LineRoute& route, int level, const Destination* here) {
  if (route.destination->load(std::memory_order_acquire) != here) return Verdict::kMoved;
  if (route.level != nullptr && level > route.level->load(std::memory_order_relaxed)) {
    return Verdict::kDrop;
  }
  return Verdict::kWrite;
}

// A line formatted whole, on its way: it waits in a destination's queue as
// this entry. Its first TimeGap(flags) bytes stand in for its time, which
// the destination puts in when it writes the line.
struct OutgoingLine : CommitEntry {
  char* start = nullptr;
  int flags = 0;
  int level = 0;  // The message's.
  LineRoute route{};
  Verdict verdict = Verdict::kDrop;  // Set by whoever writes it.
};

// A stream the library opened or standard output, with its destination.
struct LogStream {
  FILE* stream;
  Destination* destination;
};

#ifndef NDEBUG
// For asserts only: how many turns the calling thread holds, where it must
// hold none (before it waits for the global lock, or for a sync).
int TurnsHeldByCallingThread();
#endif  // NDEBUG

// The capability of a destination is its file: held exclusively by a turn,
// or by a queue's leader that closed the gate (the file alone), and shared
// by the threads in the gate and a leader writing beside them.
class RAZEZIR_CAPABILITY("file") Destination {
 public:
  Destination(DestinationTable* table, size_t record) : table_(table), record_(record) {}
  ~Destination();
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

  // Takes the destination for the caller alone: after the lines queued
  // before, with no thread in the gate. `entry` stands for the caller in the
  // queue until PassTurn. A thread holds at most one turn, but for
  // those that hold the global lock (a control call, the fork handler).
  void TakeTurn(CommitEntry* entry) RAZEZIR_ACQUIRE(this, queue_) RAZEZIR_REQUIRES(!&queue_);
  void PassTurn(CommitEntry* entry) RAZEZIR_RELEASE(this, queue_);
  // The fork prepare handler's turn, with an entry of the destination's own.
  // REQUIRES: the global lock (one fork at a time).
  void TakeTurnForFork() RAZEZIR_ACQUIRE(this, queue_) RAZEZIR_REQUIRES(!&queue_) {
    TakeTurn(&forkTurn_);
  }
  void PassTurnAfterFork() RAZEZIR_RELEASE(this, queue_) { PassTurn(&forkTurn_); }

  // Returns once what was written to the file before the call is on stable
  // storage, as far as the system can promise. The caller holds no turn:
  // the lines it would hold back may be the ones the sync waits for.
  void SyncWritten() RAZEZIR_EXCLUDES(this) {
    assert(TurnsHeldByCallingThread() == 0);
    sync_.Cover(SyncFile());
  }

  bool IsStandardOutput() const { return standardOutput_; }
  // The destination's position among the table's records, the order in which a
  // thread takes several turns.
  size_t record() const { return record_; }

 private:
  // Takes and drops a reference, through a DestinationRef. REQUIRES for
  // Ref: the destination has a reference that cannot go meanwhile, or the
  // caller checks after Ref that it still reached the destination through
  // a live pointer (and lets it go if not).
  void Ref() { refs_.fetch_add(1, std::memory_order_seq_cst); }
  void Unref();

  friend class DestinationTable;
  friend class ExclusiveTurn;
  friend class LongLine;
  friend class DestinationRef;
  friend void WriteStartedBanner(Destination& destination);
  friend void WriteClosedBanner(Destination& destination);

  // Appends `line` from a shared place in the gate, beside other threads'
  // lines, when the gate lets it in and its time allows, and sets its
  // verdict. Returns false when the line must wait in the queue instead.
  bool TryAppend(OutgoingLine* line);
  // A shared place in the gate, for one line: entered (which the gate may
  // refuse), then held by a GatePlace, which leaves when it goes.
  bool EnterGate() RAZEZIR_TRY_ACQUIRE_SHARED(true) { return gate_.Enter(); }
  class RAZEZIR_SCOPED_CAPABILITY GatePlace {
   public:
    explicit GatePlace(Destination& destination) RAZEZIR_REQUIRES_SHARED(destination)
        : gate_(destination.gate_) {}
    ~GatePlace() RAZEZIR_RELEASE_GENERIC() { gate_.Leave(); }
    GatePlace(const GatePlace&) = delete;
    GatePlace& operator=(const GatePlace&) = delete;

   private:
    AppendGate& gate_;
  };
  // The file alone, for a turn or a queue's leader: the gate closed, where
  // there is one, and drained; only the queue's leader closes it (see
  // AppendGate). Then opened again, with the stamp it had or stamped with
  // `millisecond`.
  void CloseForAlone() RAZEZIR_REQUIRES(queue_) RAZEZIR_ACQUIRE() {
    if (gate_.Allowed()) gate_.Close();
  }
  void OpenAfterAlone() RAZEZIR_RELEASE() {
    if (gate_.Allowed()) gate_.Open();
  }
  void OpenStampedAfterAlone(int64_t millisecond) RAZEZIR_RELEASE() {
    if (gate_.Allowed()) gate_.OpenStamped(millisecond, false);
  }
  // A queue's leader writing beside the threads in the gate: in the gate
  // with them, and, when its lines are `timed`, with a time that no line in
  // the gate contradicts, read into `now`.
  void EnterBesideAsLeader(bool timed, platform::WallClock* now) RAZEZIR_REQUIRES(queue_)
      RAZEZIR_ACQUIRE_SHARED();
  void LeaveBesideAsLeader() RAZEZIR_RELEASE_SHARED() { gate_.Leave(); }

  // A long line's turn, held across the formatter's calls: taken, when the
  // line's stream still writes here (else passed on at once, returning
  // false), then handed over to the long line's own keeping, and claimed
  // back by it, checked in debug builds, for each piece and to pass it.
  bool TakeTurnUnlessMoved(OutgoingLine* line) RAZEZIR_TRY_ACQUIRE(true, this, queue_);
  void KeepTurnAcrossCalls() RAZEZIR_RELEASE() {}
  void ClaimKeptTurn() RAZEZIR_ACQUIRE(this, queue_) { AssertTurnKept(); }
  void AssertTurnKept() RAZEZIR_ASSERT_CAPABILITY(this) RAZEZIR_ASSERT_CAPABILITY(queue_) {
    assert(TurnsHeldByCallingThread() > 0);
  }
  // Queues `line`, and writes its batch when it comes to lead, and sets its
  // verdict; returns once it is written (or judged) and, when durable,
  // synced. REQUIRES: the caller holds a reference.
  void WriteThroughQueue(OutgoingLine* line) RAZEZIR_REQUIRES(!&queue_);
  // Writes the lines of a batch the caller leads: beside the threads in the
  // gate, or with the gate closed when a cut line must be closed off first.
  void WriteBatch(const LedBatch& batch) RAZEZIR_REQUIRES(queue_);
  // The one sync decision of a line, once its thread holds no place: a
  // durable line that was written is synced, through the sync that threads
  // share (`shared`), or on its own, with TRACE_NO_LOCK, which shares
  // nothing.
  void SyncIfDurable(const OutgoingLine& line, bool shared) RAZEZIR_EXCLUDES(this);
  // Writes `line` at once, without a place (TRACE_NO_LOCK). REQUIRES: the
  // caller holds a reference.
  void WriteAtOnce(OutgoingLine* line);

  // The write primitives, each for one place. Each notes a write cut short
  // and returns the bytes written.
  // With the file alone (a turn, or a leader that closed the gate): a
  // cut line that ends the file is closed off first, and then the rest of
  // a write cut short is written too. `continuesLine`: earlier pieces of
  // the same line were written.
  size_t WriteAlone(const platform::ByteSpan* spans, size_t count, bool continuesLine)
      RAZEZIR_REQUIRES(this);
  // Beside the threads in the gate (from the gate, or by the queue's
  // leader while the gate is open): one write, never completed after a
  // cut, since another line may already follow its first part.
  size_t AppendBeside(const platform::ByteSpan* spans, size_t count)
      RAZEZIR_REQUIRES_SHARED(this);
  // With no place at all (TRACE_NO_LOCK).
  size_t WriteWithNoPlace(const platform::ByteSpan& span, bool continuesLine);
  // REQUIRES: the file alone. Ends a cut line that ends the file with a
  // line end, unless the file is seen to end with one already. Returns
  // false if it could not.
  bool CloseCutLine() RAZEZIR_REQUIRES(this);
  // The same with no place (TRACE_NO_LOCK): the thread that finds the
  // cut line first closes it off.
  bool CloseCutLineWithNoPlace();
  // After a write of `spans` that took only `written` bytes: notes that the
  // file ends inside a line when it does, and then refuses the gate, since
  // a line appended beside would be glued to the cut line.
  void NoteShortWrite(const platform::ByteSpan* spans, size_t written, bool continuesLine);
  size_t RawWrite(const platform::ByteSpan* spans, size_t count);
  // Three lines with the time between `head` and `tail`, with the file
  // alone.
  void WriteBanner(const char* head, const char* tail) RAZEZIR_REQUIRES(this);
  void NoteDurableLine() {
    if (!durableLines_.load(std::memory_order_relaxed)) {
      durableLines_.store(true, std::memory_order_relaxed);
    }
  }
  platform::FileHandle SyncFile() const {
    return standardOutput_ ? platform::StandardOutputFile() : file_;
  }

  DestinationTable* const table_;
  const size_t record_;
  CommitQueue queue_;
  AppendGate gate_;
  StorageSync sync_;
  // A write cut short, or a file found so when opened, left the file ending
  // inside a line: the next write there, with the file alone, starts with
  // a line end.
  std::atomic<bool> cutLine_{false};
  // A durable line was written here: a stream of the file that closes syncs
  // the file first.
  std::atomic<bool> durableLines_{false};
  std::atomic<int> refs_{0};
  // The destination's own handle of its file; kNoFile for standard output,
  // which is written through the runtime's stream.
  platform::FileHandle file_ = platform::kNoFile;
  bool standardOutput_ = false;

  // Kept by the table, under its lock: whether the destination is in use,
  // and the file it stands for, when it is found by it (not standard
  // output, nor a file whose identity could not be read).
  bool inUse_ = false;
  bool keyed_ = false;
  platform::FileIdentity identity_{};
  // The fork handler's entry in the queue.
  CommitEntry forkTurn_;
};

// Holds a destination for the caller alone for the guard's lifetime. The
// thread is not cancelled while it waits or holds the turn, which it could
// not pass on.
class RAZEZIR_SCOPED_CAPABILITY ExclusiveTurn {
 public:
  explicit ExclusiveTurn(Destination& destination)
      RAZEZIR_ACQUIRE(destination, destination.queue_)
      : destination_(destination) {
    destination_.TakeTurn(&entry_);
  }
  ~ExclusiveTurn() RAZEZIR_RELEASE() { destination_.PassTurn(&entry_); }
  ExclusiveTurn(const ExclusiveTurn&) = delete;
  ExclusiveTurn& operator=(const ExclusiveTurn&) = delete;

 private:
  platform::NoCancellation noCancellation_;
  Destination& destination_;
  CommitEntry entry_;
};

// A reference to a destination for the guard's lifetime: the destination,
// and its file's handle, stay until it goes.
class DestinationRef {
 public:
  DestinationRef() = default;
  // Takes a reference to `destination`. REQUIRES: a reference that cannot
  // go meanwhile is held (else see DestinationTable::Hold).
  explicit DestinationRef(Destination* destination) : destination_(destination) {
    destination_->Ref();
  }
  ~DestinationRef() { Drop(); }
  DestinationRef(const DestinationRef&) = delete;
  DestinationRef& operator=(const DestinationRef&) = delete;
  DestinationRef(DestinationRef&& other) noexcept : destination_(other.destination_) {
    other.destination_ = nullptr;
  }
  DestinationRef& operator=(DestinationRef&& other) noexcept {
    if (this != &other) {
      Drop();
      destination_ = other.destination_;
      other.destination_ = nullptr;
    }
    return *this;
  }

  Destination* get() const { return destination_; }
  Destination* operator->() const { return destination_; }
  Destination& operator*() const { return *destination_; }

  // Hands the reference over to the caller, who must give it back to
  // Adopt: for a holder that keeps it across calls and would rather not
  // pay for a destructor on every path.
  Destination* Relinquish() {
    Destination* destination = destination_;
    destination_ = nullptr;
    return destination;
  }
  // Takes over a reference that Relinquish handed over.
  static DestinationRef Adopt(Destination* destination) {
    return DestinationRef(destination, Adopted{});
  }

 private:
  struct Adopted {};
  DestinationRef(Destination* destination, Adopted) : destination_(destination) {}
  void Drop() {
    if (destination_ != nullptr) destination_->Unref();
    destination_ = nullptr;
  }

  Destination* destination_ = nullptr;
};

// Write the Started or Closed banner, three lines with the time (with
// milliseconds always), in `turn`.
void WriteStartedBanner(Destination& destination) RAZEZIR_REQUIRES(destination);
void WriteClosedBanner(Destination& destination) RAZEZIR_REQUIRES(destination);

// A line too long to be held whole (past the buffer's spill size, or with no
// memory to grow), written in pieces. The first piece takes the line's
// destination alone, so that nothing from any stream comes between the
// pieces; with TRACE_NO_LOCK (no turns) they go out as they come. Once a
// piece fails, the rest of the line is left out rather than written after a
// gap.
class LongLine {
 public:
  // `line` carries the flags, level and route; `inTurn` is false with
  // TRACE_NO_LOCK.
  LongLine(OutgoingLine* line, DestinationTable* table, bool inTurn)
      : line_(line), table_(table), inTurn_(inTurn) {}
  LongLine(const LongLine&) = delete;
  LongLine& operator=(const LongLine&) = delete;

  bool Started() const { return destination_ != nullptr; }
  // Writes the next piece. The line's own buffer is lent for it: the first
  // piece still has the time's gap to fill.
  void Write(char* data, size_t nBytes) RAZEZIR_REQUIRES(!destination_);
  // Writes the last piece, gives the destination back and, for a durable
  // line, syncs the file. REQUIRES: Started().
  void Finish(const char* data, size_t nBytes) RAZEZIR_REQUIRES(!destination_);

 private:
  // Before the first piece: takes the turn of the line's destination as it
  // stands once the turn is had (with TRACE_NO_LOCK, only a reference), and
  // judges the line there.
  void Begin();
  // Hands the turn over to this object's keeping across the formatter's
  // calls, which the analysis cannot follow; each piece, and the pass at
  // Finish, claims it back (Destination::ClaimKeptTurn).
  static void KeepTurn(Destination& destination)
      RAZEZIR_RELEASE(destination, destination.queue_) {
    destination.KeepTurnAcrossCalls();
    destination.queue_.KeepLeadAcrossCalls();
  }
  void KeepTurn() RAZEZIR_RELEASE(*destination_, destination_->queue_) {
    KeepTurn(*destination_);
  }

  OutgoingLine* const line_;
  DestinationTable* const table_;
  const bool inTurn_;
  // Held (a relinquished reference), with its turn, once begun.
  Destination* destination_ = nullptr;
  bool dropped_ = false;  // Not admitted, or a piece failed: the rest goes.
};

// The destinations of a trace state, keyed by file identity.
class DestinationTable {
 public:
  DestinationTable();
  ~DestinationTable();
  DestinationTable(const DestinationTable&) = delete;
  DestinationTable& operator=(const DestinationTable&) = delete;

  // Standard output's destination. It is never given back.
  Destination* StandardOutput() const { return stdout_; }

  // Opens `fileName` for appending and joins its stream to the file's
  // destination, with a reference for the stream. A file that no stream of
  // the table has open and that ends with a cut line makes its destination
  // start the next write with a line end (a file already open here is known
  // better by its destination: its last line may be one being written).
  // Returns false, with nothing open, when the file cannot be opened, no
  // handle is left for a new destination, or memory runs out.
  bool Open(const char* fileName, LogStream* opened);

  // Closes a stream that Open opened and drops its reference, after a sync
  // of its file when `sync` or when durable lines were written there.
  // REQUIRES: no turn held.
  void Close(const LogStream& stream, bool sync);

  // Writes a line formatted whole to its route's destination, with other
  // threads' lines beside or in a batch, and returns once it is in the file
  // (and on stable storage, when durable), or dropped by its level. A line
  // whose stream moved meanwhile goes where it writes now.
  void Deliver(OutgoingLine* line);
  // With TRACE_NO_LOCK: writes the line at once, with no turn, through the
  // route's destination held for the write.
  void DeliverAtOnce(OutgoingLine* line);

  // Returns once what was written before the call to every destination in
  // use when it begins is on stable storage: each is held open and synced
  // (syncs shared with other threads, as durable lines share them).
  // REQUIRES: no turn held.
  void SyncOpenFiles() RAZEZIR_REQUIRES(!&lock_);

  // The route's destination as it stands, with a reference that keeps it
  // from being given back while the reference is held.
  DestinationRef Hold(const LineRoute& route);

  // The one acquisition of a place for `line`: holds the route's
  // destination as it stands, lets `place` take its place there, judge the
  // line and write it (returning the verdict), and goes again while the
  // verdict is that the line's stream moved meanwhile. Returns the
  // destination, still held, where the line was written or dropped.
  template <typename Place>
  DestinationRef Acquire(OutgoingLine* line, Place&& place) {
    for (;;) {
      DestinationRef held = Hold(line->route);
      line->verdict = place(*held);
      if (line->verdict != Verdict::kMoved) return held;
    }
  }

  // The identity of the file `destination` stands for; false for standard
  // output and for a file whose identity could not be read.
  bool IdentityOf(const Destination& destination, platform::FileIdentity* identity)
      RAZEZIR_REQUIRES(!&lock_);

  // The records, in use or kept for reuse, in the order they were made,
  // which is the order in which a thread takes several turns. Records are
  // never removed, so an index stays valid; one is added only by Open.
  size_t RecordCount() RAZEZIR_REQUIRES(!&lock_);
  Destination* Record(size_t index) RAZEZIR_REQUIRES(!&lock_);

  // The table's lock, for callers above that order their own locks before
  // it; it is taken only by the table itself.
  const CriticalSectionLock& TableLock() const RAZEZIR_RETURN_CAPABILITY(lock_) {
    return lock_;
  }

  // Around fork: the prepare handler holds the table's lock, so that the
  // child gets it unlocked and the table whole; a handler that must not
  // wait only tries it (it is free of every thread, the caller included).
  void LockForFork() RAZEZIR_ACQUIRE(lock_) RAZEZIR_REQUIRES(!&lock_) { lock_.Enter(); }
  bool TryLockForFork() RAZEZIR_TRY_ACQUIRE(true, lock_) { return lock_.TryEnterFree(); }
  void UnlockAfterFork() RAZEZIR_RELEASE(lock_) { lock_.Leave(); }
  // The child's table lock, afresh. REQUIRES: only the calling thread runs
  // in this process, and the prepare handler held the lock.
  void ResetLockInForkChild() { lock_.ResetInForkChild(); }
  // Every record forgotten by the threads that stayed behind: queues,
  // gates and syncs start afresh. `turnsHeld`: the forking thread held
  // every turn, so no line was half written; otherwise every file may end
  // inside a line of another thread, and the child's first line starts on
  // a line of its own. REQUIRES: only the calling thread runs in this
  // process, and no call of it is inside a destination.
  void ResetDestinationsInForkChild(bool turnsHeld) RAZEZIR_REQUIRES(!&lock_);

 private:
  friend class Destination;

  // Deliver's way when the gate does not take the line: the queue of the
  // line's destination as it stands, and again wherever its stream moved.
  // Kept out of Deliver, whose common case is the gate.
#if defined(__GNUC__)
  __attribute__((noinline))
#endif
  void DeliverThroughQueue(OutgoingLine* line);

  // A destination for a new stream, from the free ones or new, with one
  // reference. Throws std::bad_alloc.
  Destination* Take() RAZEZIR_REQUIRES(lock_);
  // Called by the last reference to go.
  void GiveBack(Destination* destination) RAZEZIR_REQUIRES(!&lock_);

  CriticalSectionLock lock_;
  Destination* stdout_;
  // The destinations of files by identity; a file whose identity could not
  // be read has one of its own, found by no other stream.
  std::map<platform::FileIdentity, Destination*> byIdentity_ RAZEZIR_GUARDED_BY(lock_);
  std::vector<Destination*> free_ RAZEZIR_GUARDED_BY(lock_);
  std::vector<std::unique_ptr<Destination>> all_ RAZEZIR_GUARDED_BY(lock_);
};

}  // namespace razezir

#endif  // RAZEZIR_SRC_WRITE_DESTINATION_H_
