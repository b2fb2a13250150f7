// Destinations: the places where bytes land. A destination is one open file,
// known by its identity (device and inode, or volume and file index), or
// standard output. Every stream that writes into a file shares the file's
// destination: its commit queue, so that lines and the pieces of a long line
// from any stream take turns there, and its line state, so that a write cut
// short on one stream is closed off by the next write from any stream.
// Standard output is always a destination of its own, even when it is
// redirected to a file that is also open as a log.
//
// A destination lives while a stream or a line on its way refers to it:
// each holds a reference. The last reference to go sends it back to the
// table for reuse. The objects themselves stay until the table goes (at
// DeinitTrace), so a thread may take a reference to the destination it read
// from an atomic pointer and then check that the pointer still holds it;
// the number of objects never exceeds the most destinations alive at once.

#ifndef RAZEZIR_SRC_CORE_DESTINATION_H_
#define RAZEZIR_SRC_CORE_DESTINATION_H_

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "core/commit_queue.h"
#include "logtext/log_text.h"
#include "platform/port.h"
#include "platform/thread_annotations.h"

namespace razezir {

// Syncs of one file shared between the threads that wait for them: a
// thread whose line was written waits for a sync that began after its write
// ended, starting one itself when none is under way. While one sync runs,
// the lines written meanwhile gather behind it, and the next sync covers
// them all. The threads that the last sync let go are writing their next
// lines at once, as a rule: the thread that starts the next sync waits a
// little (a quarter of the last sync's time at most) until as many lines
// are waiting as threads have lately been writing durably, so that one sync
// covers every thread's line instead of every other sync half of them.
class StorageSync {
 public:
  // Returns once a sync of the file (through `handle`, or another thread's
  // handle of the same file) that began after this call did has ended. A
  // failed sync is not reported: the next line's call syncs again. The
  // caller need hold no turn: should a stream of the file be closed
  // meanwhile, the Closed banner's sync covered its lines.
  void CoverWrittenLines(platform::SyncHandle handle);

  // Forgets a sync that a fork left running. REQUIRES: only the calling
  // thread runs in this process.
  void ResetInForkChild() {
    busy_.store(0, std::memory_order_relaxed);
    pending_.store(0, std::memory_order_relaxed);
    inside_.store(0, std::memory_order_relaxed);
  }

 private:
  // Syncs the file as the thread whose turn it is to: after waiting a
  // little for the lines that are about to come, and then tells the
  // threads that wait. REQUIRES: the caller set `busy_`.
  void SyncForAll(platform::SyncHandle handle);

  std::atomic<uint32_t> started_{0};    // Syncs begun.
  std::atomic<uint32_t> completed_{0};  // The number of the last sync ended.
  std::atomic<uint32_t> busy_{0};       // A sync is under way.
  // Lines written that no sync has begun to cover; threads inside a call
  // that waits for a sync; the most of those lately (decaying by one a
  // sync); the last sync's time. Hints: only the waiting uses them.
  std::atomic<uint32_t> pending_{0};
  std::atomic<uint32_t> inside_{0};
  std::atomic<uint32_t> recentInside_{0};
  std::atomic<int64_t> lastSyncNanoseconds_{0};
};

struct Destination {
  // The lines and turns of every stream writing here.
  CommitQueue queue;
  StorageSync sync;
  LineState lineState;
  // Streams and lines that refer to this destination.
  std::atomic<int> refs{0};
  // Kept by the table, under its lock: whether the destination is in use,
  // and the file it stands for, when it is found by it (not standard
  // output, nor a file whose identity could not be read).
  bool inUse = false;
  bool keyed = false;
  platform::FileIdentity identity{};
};

// A stream the library opened or standard output, with its destination.
struct LogStream {
  FILE* stream;
  Destination* destination;
};

// The destinations of a trace state, keyed by file identity.
class DestinationTable {
 public:
  DestinationTable();
  DestinationTable(const DestinationTable&) = delete;
  DestinationTable& operator=(const DestinationTable&) = delete;

  // Standard output's destination. It is never given back.
  Destination* StandardOutput() const { return stdout_; }

  // Opens `fileName` for appending and joins its stream to the file's
  // destination, with a reference for the stream. A file that no stream of
  // the table has open and that ends with a cut line makes its destination
  // start the next write with a line end (a file already open here is known
  // better by its destination: its last line may be one being written).
  // Returns false, with nothing open, when the file cannot be opened or
  // memory runs out.
  bool Open(const char* fileName, LogStream* opened);

  // Closes a stream that Open opened and drops its reference.
  void Close(const LogStream& stream);

  // Takes and drops a reference to `destination`. REQUIRES for Ref: the
  // destination has a reference that cannot go meanwhile, or the caller
  // checks after Ref that it still reached the destination through a live
  // reference (and calls Unref if not).
  static void Ref(Destination* destination) {
    destination->refs.fetch_add(1, std::memory_order_seq_cst);
  }
  void Unref(Destination* destination);

  // Calls `visit(destination)` for every destination record, in use or
  // kept for reuse. REQUIRES: only the calling thread runs in this process
  // (a fork child), or the visit needs nothing but the queue's address.
  template <typename Visit>
  void ForEach(Visit&& visit) {
    LockGuard hold(lock_);
    for (const auto& destination : all_) visit(destination.get());
  }

  // Around fork: the prepare handler holds the table's lock, so that the
  // child gets it unlocked and the table whole.
  void LockForFork() RAZEZIR_ACQUIRE(lock_) { lock_.Enter(); }
  void UnlockAfterFork() RAZEZIR_RELEASE(lock_) { lock_.Leave(); }
  void ResetInForkChild() RAZEZIR_NO_THREAD_SAFETY_ANALYSIS { lock_.ResetInForkChild(); }

  // For tests: how many destination objects exist, in use or not.
  size_t ObjectCount();

 private:
  friend struct TraceState;  // Orders its locks before this one.

  // A destination for a new stream, from the free ones or new, with one
  // reference. Throws std::bad_alloc.
  Destination* Take() RAZEZIR_REQUIRES(lock_);

  CriticalSectionLock lock_;
  Destination* stdout_;
  // The destinations of files by identity; a file whose identity could not
  // be read has one of its own, found by no other stream.
  std::map<platform::FileIdentity, Destination*> byIdentity_ RAZEZIR_GUARDED_BY(lock_);
  std::vector<Destination*> free_ RAZEZIR_GUARDED_BY(lock_);
  std::vector<std::unique_ptr<Destination>> all_ RAZEZIR_GUARDED_BY(lock_);
};

}  // namespace razezir

#endif  // RAZEZIR_SRC_CORE_DESTINATION_H_
