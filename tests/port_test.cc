// The platform layer: recursive locks, cached thread ids, and tracing from a
// child forked while other threads are inside the library.

#include "platform/port.h"

#ifndef _WIN32
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif  // _WIN32

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::Lines;
using razezir_test::ReadFile;
using razezir_test::StartFile;
using razezir_test::TempPath;

// The analysis has no notion of a lock that its owner may enter again, so
// the inner Enter and Leave are hidden from it.
void EnterAgain(razezir::CriticalSectionLock& lock) RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
  lock.Enter();
}
void LeaveInner(razezir::CriticalSectionLock& lock) RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
  lock.Leave();
}

TEST(Port, LockIsRecursiveAndExcludesOtherThreads) {
  razezir::CriticalSectionLock lock;
  lock.Enter();
  EnterAgain(lock);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    lock.Enter();
    entered = true;
    lock.Leave();
  });
  usleep(20000);
  EXPECT_FALSE(entered.load());
  LeaveInner(lock);
  usleep(20000);
  EXPECT_FALSE(entered.load());
  lock.Leave();
  other.join();
  EXPECT_TRUE(entered.load());
}

#ifndef NDEBUG
// The owner tracking behind the lock-held asserts: held by the thread inside
// through every level of entry, and by no other thread.
TEST(Port, HeldByCurrentThreadFollowsTheOwner) {
  razezir::CriticalSectionLock lock;
  EXPECT_FALSE(lock.HeldByCurrentThread());
  {
    razezir::LockGuard outer(lock);
    EnterAgain(lock);
    LeaveInner(lock);
    EXPECT_TRUE(lock.HeldByCurrentThread());
    bool heldElsewhere = true;
    std::thread([&] { heldElsewhere = lock.HeldByCurrentThread(); }).join();
    EXPECT_FALSE(heldElsewhere);
  }
  EXPECT_FALSE(lock.HeldByCurrentThread());
  EXPECT_DEATH(lock.AssertHeld(), "HeldByCurrentThread");
}
#endif  // NDEBUG

TEST(Port, ThreadIdIsTheKernelIdAndDiffersPerThread) {
  const uint32_t mine = razezir::platform::CurrentThreadId();
#ifndef _WIN32
  EXPECT_EQ(mine, static_cast<uint32_t>(syscall(SYS_gettid)));
#endif  // _WIN32
  EXPECT_EQ(razezir::platform::CurrentThreadId(), mine);
  uint32_t theirs = 0;
  std::thread other([&] { theirs = razezir::platform::CurrentThreadId(); });
  other.join();
  EXPECT_NE(theirs, 0u);
  EXPECT_NE(theirs, mine);
}

// Forks repeatedly while other threads trace. Each child must be able to
// trace (no lock left held by a thread that does not exist in it) and must
// print its own thread id, not its parent's.
TEST(PortFork, ChildTracesWhileParentThreadsAreInside) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no fork";
#else
  std::string path = StartFile(1, 0x04);
  QXSTD::Trace1(u"m", u"parent warms its id cache\n");
  std::atomic<bool> stop{false};
  razezir_test::ThreadGroup tracers(2, [&stop](int) {
    while (!stop.load()) QXSTD::Trace1(u"m", u"busy\n");
  });
  std::set<pid_t> children;
  for (int i = 0; i < 20; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(20);  // A deadlocked child fails the test instead of hanging it.
      QXSTD::Trace1(u"m", u"child %d\n", i);
      QXSTD::StartTraceModule(u"m", 1, nullptr);
      QXSTD::Trace1(u"m", u"child %d again\n", i);
      _exit(0);
    }
    children.insert(child);
  }
  stop = true;
  tracers.Join();
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  QXSTD::DeinitTrace();

  int childLines = 0;
  for (const std::string& line : Lines(ReadFile(path))) {
    unsigned id = 0;
    int number = 0;
    if (std::sscanf(line.c_str(), "  %8X: child %d", &id, &number) == 2) {
      EXPECT_EQ(children.count(static_cast<pid_t>(id)), 1u) << line;
      ++childLines;
    }
  }
  EXPECT_EQ(childLines, 40);
#endif  // _WIN32
}

}  // namespace
