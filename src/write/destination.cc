// The write of a line, from its destination's gate or queue to the file:
// judging it, giving it its time, writing it, closing off a cut line that a
// cut write left, and syncing it when it is durable; the turns; lines
// written in pieces; and the table that finds a file's destination when a
// stream is opened and takes it back for reuse when its last reference goes.

#include "write/destination.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "logtext/log_text.h"
#include "platform/out_of_memory.h"
#include "razezir/trace.h"

namespace razezir {

namespace {

bool IsDurableLine(int flags) { return (flags & QXSTD::TRACE_DURABLE) != 0; }

// The time of one clock reading, for the lines written together.
class TimeText {
 public:
  explicit TimeText(platform::WallClock now) : now_(now) {}

  // Puts the text that `flags` asks for at the end of the line's time gap
  // (TimeGap(flags) bytes at `start`). Returns where the line now starts.
  size_t Put(char* start, int flags) const {
    if (TimeGap(flags) == 0) return 0;
    return kPrefixTimeBytes - PutPrefixTime(now_, flags, start);
  }

 private:
  platform::WallClock now_;
};

size_t TotalBytes(const platform::ByteSpan* spans, size_t count) {
  size_t nBytes = 0;
  for (size_t i = 0; i < count; ++i) nBytes += spans[i].size;
  return nBytes;
}

}  // namespace

#ifndef NDEBUG
namespace {
thread_local int t_turnsHeld = 0;
}  // namespace

int TurnsHeldByCallingThread() { return t_turnsHeld; }
#endif  // NDEBUG

Destination::~Destination() { platform::CloseFileHandle(file_); }

void Destination::TakeTurn(CommitEntry* entry) {
  queue_.WaitForTurn(entry);
  CloseForAlone();
#ifndef NDEBUG
  ++t_turnsHeld;
#endif  // NDEBUG
}

void Destination::PassTurn(CommitEntry* entry) {
#ifndef NDEBUG
  --t_turnsHeld;
#endif  // NDEBUG
  OpenAfterAlone();
  queue_.PassTurn(entry);
}

void Destination::Unref() {
  if (refs_.fetch_sub(1, std::memory_order_seq_cst) == 1) table_->GiveBack(this);
}

size_t Destination::RawWrite(const platform::ByteSpan* spans, size_t count) {
  return standardOutput_ ? platform::WriteStandardOutput(spans, count)
                         : platform::WriteToFile(file_, spans, count);
}

bool Destination::CloseCutLine() {
  if (!cutLine_.load(std::memory_order_relaxed)) return true;
  // A line that was on its way through the gate when the write was cut may
  // have ended the file already; the file itself tells, where it can be
  // read.
  if (standardOutput_ || platform::ReadFileEnd(file_) != platform::FileEnd::kLineEnd) {
    const platform::ByteSpan lineEnd{"\n", 1};
    if (RawWrite(&lineEnd, 1) != 1) return false;
  }
  cutLine_.store(false, std::memory_order_relaxed);
  return true;
}

void Destination::NoteShortWrite(const platform::ByteSpan* spans, size_t written,
                                 bool continuesLine) {
  bool cut = continuesLine;
  if (written > 0) {
    for (const platform::ByteSpan* span = spans;; ++span) {
      if (written <= span->size) {
        cut = span->data[written - 1] != '\n';
        break;
      }
      written -= span->size;
    }
  }
  if (!cut) return;
  cutLine_.store(true, std::memory_order_relaxed);
  if (gate_.Allowed()) gate_.Refuse();
}

size_t Destination::WriteAlone(const platform::ByteSpan* spans, size_t count,
                               bool continuesLine) {
  // Until the cut line is closed off, nothing more goes after it: a line
  // that cannot be written whole is lost whole.
  if (!CloseCutLine()) return 0;
  const size_t written = RawWrite(spans, count);
  if (written < TotalBytes(spans, count)) NoteShortWrite(spans, written, continuesLine);
  return written;
}

size_t Destination::AppendBeside(const platform::ByteSpan* spans, size_t count) {
  const size_t written = platform::AppendOnceToFile(file_, spans, count);
  if (written < TotalBytes(spans, count)) NoteShortWrite(spans, written, false);
  return written;
}

bool Destination::TryAppend(OutgoingLine* line) {
  if (!EnterGate()) return false;
  bool durable;
  {
    GatePlace place(*this);
    // A cut line ends the file: the queue's leader closes it off first, with
    // the file alone.
    if (cutLine_.load(std::memory_order_relaxed)) return false;
    line->verdict = Judge(line->route, line->level, this);
    if (line->verdict != Verdict::kWrite) return true;
    size_t offset = 0;
    if (TimeGap(line->flags) != 0) {
      // Read in the gate: the line lands after every line stamped earlier.
      const platform::WallClock now = ReadTraceClock();
      if (!gate_.Stamp(Milliseconds(now))) return false;
      offset = TimeText(now).Put(line->start, line->flags);
    }
    const platform::ByteSpan span{line->start + offset, line->bytes - offset};
    AppendBeside(&span, 1);
    // The place in the gate keeps the destination in use until the
    // reference is had; the sync is waited for outside the gate.
    durable = IsDurableLine(line->flags);
    if (durable) Ref();
  }
  if (durable) DestinationRef::Adopt(this)->SyncIfDurable(*line, true);
  return true;
}

void Destination::WriteThroughQueue(OutgoingLine* line) {
  line->verdict = Verdict::kDrop;
  if (queue_.Enqueue(line)) {
    LedBatch batch(queue_, line);
    do {
      WriteBatch(batch);
    } while (batch.Next());
    queue_.LeadPassed();
  }
  SyncIfDurable(*line, true);
}

void Destination::SyncIfDurable(const OutgoingLine& line, bool shared) {
  if (!IsDurableLine(line.flags) || line.verdict != Verdict::kWrite) return;
  NoteDurableLine();
  if (shared) {
    SyncWritten();
  } else {
    platform::SyncToStorage(SyncFile());
  }
}

void Destination::EnterBesideAsLeader(bool timed, platform::WallClock* now) {
  if (!timed) {
    gate_.EnterAsLeaderUntimed();
    return;
  }
  gate_.EnterAsLeader([now] {
    *now = ReadTraceClock();
    return Milliseconds(*now);
  });
}

namespace {

// Gives the lines of `batch` that are to be written the time `now`, and
// returns their spans in `spans`, oldest first, and their count.
size_t PutTimes(const LedBatch& batch, platform::WallClock now, platform::ByteSpan* spans) {
  const TimeText text(now);
  size_t nSpans = 0;
  for (size_t i = 0; i < batch.count(); ++i) {
    OutgoingLine* line = static_cast<OutgoingLine*>(batch.entries()[i]);
    if (line->verdict != Verdict::kWrite) continue;
    const size_t offset = text.Put(line->start, line->flags);
    spans[nSpans++] = platform::ByteSpan{line->start + offset, line->bytes - offset};
  }
  return nSpans;
}

// The first of `spans` that a write of `written` bytes did not reach, or
// cut: a line that was cut stays cut.
size_t FirstUnwritten(const platform::ByteSpan* spans, size_t count, size_t written) {
  size_t next = 0;
  for (; next < count && written >= spans[next].size; ++next) written -= spans[next].size;
  return written > 0 ? next + 1 : next;
}

}  // namespace

void Destination::WriteBatch(const LedBatch& batch) {
  // Every entry of a batch carries a line: turns never join one.
  bool timed = false;
  for (size_t i = 0; i < batch.count(); ++i) {
    OutgoingLine* line = static_cast<OutgoingLine*>(batch.entries()[i]);
    line->verdict = Judge(line->route, line->level, this);
    timed |= line->verdict == Verdict::kWrite && TimeGap(line->flags) != 0;
  }
  platform::ByteSpan spans[CommitQueue::kMaxBatch];
  platform::WallClock now{};
  // Beside the threads in the gate, unless there is no gate, a cut line
  // must be closed off first, or the gate refuses since a cut (one whose
  // threads may still be in it): then with the file alone.
  if (gate_.Allowed() && !cutLine_.load(std::memory_order_relaxed) && !gate_.Refused()) {
    EnterBesideAsLeader(timed, &now);
    const size_t nSpans = PutTimes(batch, now, spans);
    const size_t next = nSpans > 0 ? FirstUnwritten(spans, nSpans, AppendBeside(spans, nSpans)) : 0;
    LeaveBesideAsLeader();
    if (next == nSpans) return;
    // Cut short beside the threads in the gate: the gate now refuses, and
    // the lines that the write did not reach go out with the file alone,
    // after the cut line is closed off.
    CloseForAlone();
    WriteAlone(spans + next, nSpans - next, false);
  } else {
    CloseForAlone();
    if (timed) now = ReadTraceClock();
    const size_t nSpans = PutTimes(batch, now, spans);
    if (nSpans > 0) WriteAlone(spans, nSpans, false);
  }
  if (timed) {
    OpenStampedAfterAlone(Milliseconds(now));
  } else {
    OpenAfterAlone();
  }
}

bool Destination::TakeTurnUnlessMoved(OutgoingLine* line) {
  TakeTurn(line);
  line->verdict = Judge(line->route, line->level, this);
  if (line->verdict != Verdict::kMoved) return true;
  PassTurn(line);
  return false;
}

bool Destination::CloseCutLineWithNoPlace() {
  if (!cutLine_.exchange(false, std::memory_order_relaxed)) return true;
  const platform::ByteSpan lineEnd{"\n", 1};
  if (RawWrite(&lineEnd, 1) == 1) return true;
  cutLine_.store(true, std::memory_order_relaxed);
  return false;
}

size_t Destination::WriteWithNoPlace(const platform::ByteSpan& span, bool continuesLine) {
  const size_t written = RawWrite(&span, 1);
  if (written < span.size) NoteShortWrite(&span, written, continuesLine);
  return written;
}

void Destination::WriteAtOnce(OutgoingLine* line) {
  line->verdict = Verdict::kWrite;
  if (!CloseCutLineWithNoPlace()) return;
  const size_t offset = TimeText(ReadTraceClock()).Put(line->start, line->flags);
  WriteWithNoPlace(platform::ByteSpan{line->start + offset, line->bytes - offset}, false);
  SyncIfDurable(*line, false);
}

namespace {
constexpr size_t kRuleBytes = 76;
}  // namespace

void Destination::WriteBanner(const char* head, const char* tail) {
  static const char kRule[kRuleBytes + 1] =
      "============================================================================";
  static_assert(sizeof kRule == kRuleBytes + 1, "a banner rule is 76 bytes");
  char line[3 * (kRuleBytes + 1) + 64 + kBannerTimeBytes];
  size_t n = 0;
  auto put = [&](const char* s, size_t nBytes) {
    std::memcpy(line + n, s, nBytes);
    n += nBytes;
  };
  put(kRule, kRuleBytes);
  put("\n", 1);
  put(head, std::strlen(head));
  n += FormatTraceTime(QXSTD::TRACE_MSEC, line + n, kBannerTimeBytes);
  put(tail, std::strlen(tail));
  put(kRule, kRuleBytes);
  put("\n", 1);
  const platform::ByteSpan span{line, n};
  WriteAlone(&span, 1, false);
}

void WriteStartedBanner(Destination& destination) {
  destination.WriteBanner("========== Trace Log File. Started - ", " ===========\n");
}

void WriteClosedBanner(Destination& destination) {
  // One letter shorter than Started, so one more equals sign at the end.
  destination.WriteBanner("========== Trace Log File. Closed - ", " ============\n");
}

void LongLine::Begin() {
  if (!inTurn_) {
    destination_ = table_->Hold(line_->route).Relinquish();
    line_->verdict = Verdict::kWrite;
    dropped_ = !destination_->CloseCutLineWithNoPlace();
    return;
  }
  destination_ = table_->Acquire(line_, [this](Destination& destination) {
    if (!destination.TakeTurnUnlessMoved(line_)) return Verdict::kMoved;
    KeepTurn(destination);
    return line_->verdict;
  }).Relinquish();
  dropped_ = line_->verdict == Verdict::kDrop;
}

void LongLine::Write(char* data, size_t nBytes) {
  const bool first = !Started();
  if (first) Begin();
  if (dropped_) return;
  const size_t offset = first ? TimeText(ReadTraceClock()).Put(data, line_->flags) : 0;
  const platform::ByteSpan piece{data + offset, nBytes - offset};
  size_t written;
  if (inTurn_) {
    destination_->ClaimKeptTurn();
    written = destination_->WriteAlone(&piece, 1, !first);
    KeepTurn();
  } else {
    written = destination_->WriteWithNoPlace(piece, !first);
  }
  dropped_ = written != piece.size;
}

void LongLine::Finish(const char* data, size_t nBytes) {
  Write(const_cast<char*>(data), nBytes);
  const DestinationRef held = DestinationRef::Adopt(destination_);
  if (inTurn_) {
    destination_->ClaimKeptTurn();
    destination_->PassTurn(line_);
  }
  held->SyncIfDurable(*line_, inTurn_);
}

DestinationTable::DestinationTable() {
  LockGuard hold(lock_);
  all_.push_back(std::make_unique<Destination>(this, 0));
  stdout_ = all_.back().get();
  stdout_->standardOutput_ = true;
  stdout_->inUse_ = true;
  // The table's own reference: standard output is never given back.
  stdout_->refs_.store(1, std::memory_order_relaxed);
}

DestinationTable::~DestinationTable() = default;

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
    all_.push_back(std::make_unique<Destination>(this, all_.size()));
    destination = all_.back().get();
  }
  // A thread that read an old pointer to this object may hold a passing
  // reference too; it counts the same and goes by itself.
  destination->refs_.fetch_add(1, std::memory_order_seq_cst);
  destination->inUse_ = true;
  destination->keyed_ = false;
  destination->cutLine_.store(false, std::memory_order_relaxed);
  destination->durableLines_.store(false, std::memory_order_relaxed);
  return destination;
}

bool DestinationTable::Open(const char* fileName, LogStream* opened) {
  platform::OpenedFile file{};
  if (!platform::OpenAppendStream(fileName, &file)) return false;
  Destination* destination = nullptr;
  bool created = false;
  const bool joined = UnlessOutOfMemory([&] {
    LockGuard hold(lock_);
    if (file.hasIdentity) {
      auto found = byIdentity_.find(file.identity);
      if (found != byIdentity_.end()) {
        destination = found->second;
        destination->Ref();
        return;
      }
    }
    // A new destination writes through a handle of its own, which no
    // stream's close can take away from it.
    const platform::FileHandle handle = platform::DuplicateFileHandle(file.stream);
    if (handle == platform::kNoFile) return;
    try {
      if (file.hasIdentity) byIdentity_.emplace(file.identity, nullptr);
      destination = Take();
    } catch (...) {
      if (file.hasIdentity) byIdentity_.erase(file.identity);
      platform::CloseFileHandle(handle);
      throw;
    }
    destination->file_ = handle;
    if (file.hasIdentity) {
      destination->keyed_ = true;
      destination->identity_ = file.identity;
      byIdentity_[file.identity] = destination;
    }
    created = true;
  });
  if (!joined || destination == nullptr) {
    CloseLogStream(file.stream);
    return false;
  }
  // A file already open here may end inside a line that one of its
  // streams is writing in pieces: only a newly found file is judged by its
  // last byte.
  if (created) {
    destination->cutLine_.store(file.endsMidLine, std::memory_order_relaxed);
    destination->gate_.Allow(file.appendsWhole);
    destination->queue_.SetLingering(!file.appendsWhole);
  }
  *opened = LogStream{file.stream, destination};
  return true;
}

void DestinationTable::Close(const LogStream& stream, bool sync) {
  if (sync || stream.destination->durableLines_.load(std::memory_order_relaxed)) {
    stream.destination->SyncWritten();
  }
  CloseLogStream(stream.stream);
  stream.destination->Unref();
}

void DestinationTable::SyncOpenFiles() {
  // Every destination in use now is held first, so that a file closed
  // meanwhile (by StartTrace or a reopen) stays open until its sync.
  std::vector<DestinationRef> held;
  try {
    LockGuard hold(lock_);
    held.reserve(all_.size());
    for (const auto& destination : all_) {
      if (destination->inUse_) held.emplace_back(destination.get());
    }
  } catch (const std::bad_alloc&) {
    // Without memory for the list, each is held only for its own sync.
    for (size_t i = 0; Destination* destination = Record(i); ++i) {
      DestinationRef one;
      {
        LockGuard hold(lock_);
        if (!destination->inUse_) continue;
        one = DestinationRef(destination);
      }
      one->SyncWritten();
    }
    return;
  }
  for (const DestinationRef& destination : held) destination->SyncWritten();
}

void DestinationTable::GiveBack(Destination* destination) {
  LockGuard hold(lock_);
  // A passing reference may have come and gone meanwhile, and the last of
  // those to go gives the destination back; once is enough.
  if (destination->refs_.load(std::memory_order_seq_cst) != 0 || !destination->inUse_ ||
      destination == stdout_) {
    return;
  }
  if (destination->keyed_) byIdentity_.erase(destination->identity_);
  platform::CloseFileHandle(destination->file_);
  destination->file_ = platform::kNoFile;
  destination->inUse_ = false;
  free_.push_back(destination);
}

DestinationRef DestinationTable::Hold(const LineRoute& route) {
  for (;;) {
    Destination* destination = route.destination->load(std::memory_order_seq_cst);
    destination->Ref();
    DestinationRef held = DestinationRef::Adopt(destination);
    // The destination may have been given back, and even reused, between
    // the read and the reference; if the route holds it still, so does the
    // reference.
    if (route.destination->load(std::memory_order_seq_cst) == destination) return held;
  }
}

void DestinationTable::Deliver(OutgoingLine* line) {
  // Through the gate the line needs no reference: while it is in the gate,
  // no stream of the destination can be closed (that takes the turn, which
  // waits for the gate to drain), and the judgement in the gate tells
  // whether the destination is the line's. A line that must queue, or
  // whose stream moved, goes through the acquisition.
  Destination* destination = line->route.destination->load(std::memory_order_acquire);
  if (destination->TryAppend(line) && line->verdict != Verdict::kMoved) return;
  DeliverThroughQueue(line);
}

void DestinationTable::DeliverThroughQueue(OutgoingLine* line) {
  // A line that moved once is rare enough to take the queue wherever it
  // goes next.
  Acquire(line, [line](Destination& here) {
    here.WriteThroughQueue(line);
    return line->verdict;
  });
}

void DestinationTable::DeliverAtOnce(OutgoingLine* line) {
  // No turn keeps the stream from being closed (by ReopenTraceFiles or a
  // target's change) meanwhile; the reference keeps the destination's handle
  // open until the line is written, in the old file or the new one, and
  // never through a number the host may have reused.
  DestinationRef held = Hold(line->route);
  held->WriteAtOnce(line);
}

bool DestinationTable::IdentityOf(const Destination& destination,
                                  platform::FileIdentity* identity) {
  LockGuard hold(lock_);
  if (!destination.keyed_) return false;
  *identity = destination.identity_;
  return true;
}

size_t DestinationTable::RecordCount() {
  LockGuard hold(lock_);
  return all_.size();
}

Destination* DestinationTable::Record(size_t index) {
  LockGuard hold(lock_);
  return index < all_.size() ? all_[index].get() : nullptr;
}

void DestinationTable::ResetDestinationsInForkChild(bool turnsHeld) {
#ifndef NDEBUG
  // The forking thread's turns went with the queues.
  t_turnsHeld = 0;
#endif  // NDEBUG
  LockGuard hold(lock_);
  for (const auto& destination : all_) {
    destination->queue_.ResetInForkChild();
    destination->gate_.ResetInForkChild();
    destination->sync_.ResetInForkChild();
    if (!turnsHeld) destination->cutLine_.store(true, std::memory_order_relaxed);
  }
}

}  // namespace razezir
