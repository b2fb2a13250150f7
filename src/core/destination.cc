// The table of destinations: finding a file's destination when a stream is
// opened, and giving a destination back for reuse when its last reference
// goes.

#include "core/destination.h"

#include <chrono>
#include <thread>
#include <utility>

#include "core/trace_state.h"

namespace razezir {

DestinationTable::DestinationTable() {
  LockGuard hold(lock_);
  all_.push_back(std::make_unique<Destination>());
  stdout_ = all_.back().get();
  stdout_->inUse = true;
  // The table's own reference: standard output is never given back.
  stdout_->refs.store(1, std::memory_order_relaxed);
}

Destination* DestinationTable::Take() {
  Destination* destination;
  if (!free_.empty()) {
    destination = free_.back();
    free_.pop_back();
  } else {
    // Room on the free list for every object, so that giving one back
    // cannot fail.
    free_.reserve(all_.size() + 1);
    all_.reserve(all_.size() + 1);
    all_.push_back(std::make_unique<Destination>());
    destination = all_.back().get();
  }
  // A thread that read an old pointer to this object may hold a passing
  // reference too; it counts the same and goes by itself.
  destination->refs.fetch_add(1, std::memory_order_seq_cst);
  destination->inUse = true;
  destination->keyed = false;
  destination->lineState.midLine.store(false, std::memory_order_relaxed);
  destination->queue.AllowSharedTurns(false);
  return destination;
}

bool DestinationTable::Open(const char* fileName, LogStream* opened) {
  platform::OpenedFile file{};
  if (!platform::OpenAppendStream(fileName, &file)) return false;
  Destination* destination = nullptr;
  bool created = false;
  const bool joined = UnlessOutOfMemory([&]() RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
    LockGuard hold(lock_);
    if (!file.hasIdentity) {
      destination = Take();
      created = true;
      return;
    }
    auto [slot, inserted] = byIdentity_.emplace(file.identity, nullptr);
    if (!inserted) {
      destination = slot->second;
      Ref(destination);
      return;
    }
    try {
      destination = Take();
    } catch (...) {
      byIdentity_.erase(slot);
      throw;
    }
    destination->keyed = true;
    destination->identity = file.identity;
    slot->second = destination;
    created = true;
  });
  if (!joined) {
    CloseLogStream(file.stream);
    return false;
  }
  // A file already open here may end inside a line that one of its
  // streams is writing in pieces: only a newly found file is judged by its
  // last byte.
  if (created) {
    if (file.endsMidLine) destination->lineState.midLine.store(true, std::memory_order_relaxed);
    destination->queue.AllowSharedTurns(file.appendsWhole);
  }
  *opened = LogStream{file.stream, destination};
  return true;
}

void DestinationTable::Close(const LogStream& stream) {
  CloseLogStream(stream.stream);
  Unref(stream.destination);
}

void DestinationTable::Unref(Destination* destination) {
  if (destination->refs.fetch_sub(1, std::memory_order_seq_cst) != 1) return;
  LockGuard hold(lock_);
  // A passing reference may have come and gone meanwhile, and the last of
  // those to go gives the destination back; once is enough.
  if (destination->refs.load(std::memory_order_seq_cst) != 0 || !destination->inUse ||
      destination == stdout_) {
    return;
  }
  if (destination->keyed) byIdentity_.erase(destination->identity);
  destination->inUse = false;
  free_.push_back(destination);
}

void StorageSync::CoverWrittenLines(platform::SyncHandle handle) {
  if (handle == platform::kNothingToSync) return;
  // Any sync numbered from `wanted` on begins after this point.
  const uint32_t wanted = started_.load(std::memory_order_acquire) + 1;
  pending_.fetch_add(1, std::memory_order_relaxed);
  const uint32_t inside = inside_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (inside > recentInside_.load(std::memory_order_relaxed)) {
    recentInside_.store(inside, std::memory_order_relaxed);
  }
  for (;;) {
    const uint32_t completed = completed_.load(std::memory_order_acquire);
    if (static_cast<int32_t>(completed - wanted) >= 0) break;
    uint32_t idle = 0;
    if (busy_.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) {
      // A sync that begins now covers this line.
      SyncForAll(handle);
      break;
    }
    // The sync under way may have begun before the line was written; once
    // it ends, the line's thread waits for the next or starts it.
    platform::WaitOnWord(&completed_, completed);
  }
  inside_.fetch_sub(1, std::memory_order_relaxed);
}

void StorageSync::SyncForAll(platform::SyncHandle handle) {
  using Clock = std::chrono::steady_clock;
  const auto linger =
      std::chrono::nanoseconds(lastSyncNanoseconds_.load(std::memory_order_relaxed) / 4);
  const uint32_t expected = recentInside_.load(std::memory_order_relaxed);
  const auto lingerEnd = Clock::now() + linger;
  while (pending_.load(std::memory_order_relaxed) < expected && Clock::now() < lingerEnd) {
    std::this_thread::yield();
  }
  // Threads that stopped writing leave the count, a sync at a time.
  const uint32_t now = inside_.load(std::memory_order_relaxed);
  recentInside_.store(expected > now ? expected - 1 : now, std::memory_order_relaxed);
  const uint32_t number = started_.fetch_add(1, std::memory_order_acq_rel) + 1;
  pending_.store(0, std::memory_order_relaxed);
  const auto began = Clock::now();
  platform::SyncToStorage(handle);
  lastSyncNanoseconds_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - began).count(),
      std::memory_order_relaxed);
  completed_.store(number, std::memory_order_release);
  busy_.store(0, std::memory_order_release);
  platform::WakeWord(&completed_);
}

size_t DestinationTable::ObjectCount() {
  LockGuard hold(lock_);
  return all_.size();
}

}  // namespace razezir
