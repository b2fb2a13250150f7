// The shared sync of a file: which threads a sync covers, and that each is
// let go.

#include "write/storage_sync.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif  // _WIN32

#include <atomic>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/port.h"
#include "test_util.h"

namespace {

#ifndef _WIN32
// The syncs of a file, with points where a test holds the threads.
std::atomic<int> g_syncs{0};
std::atomic<bool> g_ending{false};
std::atomic<bool> g_aboutToSleep{false};
std::atomic<bool> g_firstReturned{false};

long CountSyncs(int, const razezir::platform::ByteSpan* spans, int) {
  if (spans == nullptr) g_syncs.fetch_add(1);
  return 0;
}

void HoldTheEnd(razezir::StorageSync::TestPoint point) {
  if (point == razezir::StorageSync::TestPoint::kBeginning) return;
  if (point == razezir::StorageSync::TestPoint::kSynced) {
    if (g_ending.exchange(true)) return;  // The first sync only.
    while (!g_aboutToSleep.load()) std::this_thread::yield();
  } else {
    g_aboutToSleep = true;
    while (!g_firstReturned.load()) std::this_thread::yield();
  }
}

// Two threads cover a line each with `hook` set: the second comes once the
// first has reached the point where the hook sets g_ending. Returns the
// number of syncs.
int SyncsForTwoLines(razezir::StorageSync::TestHook hook) {
  const std::string path = razezir_test::TempPath("log");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  EXPECT_GE(fd, 0);
  razezir::StorageSync sync;
  razezir::platform::SetWriteHookForTest(CountSyncs);
  razezir::StorageSync::SetTestHook(hook);
  std::thread first([&] {
    sync.Cover(fd);
    g_firstReturned = true;
  });
  while (!g_ending.load()) std::this_thread::yield();
  std::thread second([&] { sync.Cover(fd); });
  first.join();
  second.join();
  razezir::StorageSync::SetTestHook(nullptr);
  razezir::platform::SetWriteHookForTest(nullptr);
  close(fd);
  return g_syncs.load();
}

// The syncs of a file: a thread comes while the first sync is ending, when
// its outcome is recorded but no one told yet, and it goes to sleep only
// once that sync has ended and woken everyone. It must still be let go,
// with a sync of its own, since its line may have come after the first
// sync began. (Once, such a thread slept for good.)
TEST(StorageSync, ThreadThatSleepsOnlyAfterTheSyncEndedIsLetGo) {
  EXPECT_EQ(SyncsForTwoLines(HoldTheEnd), 2);
}

// A line that comes while the syncing thread waits for lines, before the
// sync begins, is covered by that sync. (Once, it waited for the next one,
// and threads writing durably shared each sync half as often.)
void HoldTheBeginning(razezir::StorageSync::TestPoint point) {
  if (point == razezir::StorageSync::TestPoint::kBeginning) {
    if (g_ending.exchange(true)) return;
    while (!g_aboutToSleep.load()) std::this_thread::yield();
  } else if (point == razezir::StorageSync::TestPoint::kSleeping) {
    g_aboutToSleep = true;
  }
}

TEST(StorageSync, LineThatComesBeforeTheSyncBeginsIsCoveredByIt) {
  EXPECT_EQ(SyncsForTwoLines(HoldTheBeginning), 1);
}
#endif  // _WIN32

}  // namespace
