// Faults in the library's writes, through the platform's write hook: every
// write of log bytes goes straight to the kernel, except into the file a
// test armed, where the planned fault happens instead.

#include "fault_injection.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "platform/port.h"

namespace razezir_test {

namespace {

// The file armed, by identity: the library writes a file through a
// descriptor of its own, which is not the one its stream has.
std::atomic<bool> g_armed{false};
std::atomic<dev_t> g_device{0};
std::atomic<ino_t> g_inode{0};
std::mutex g_mutex;  // Guards the plan below while a faulted call runs.
WriteFault g_fault = WriteFault::kNone;
int g_every = 1;
size_t g_shortBytes = 7;
long g_calls = 0;
bool g_failNext = false;
std::atomic<long> g_injected{0};

ssize_t KernelWritev(int fd, const struct iovec* iov, int count) {
  return syscall(SYS_writev, fd, iov, count);
}

// Writes at most `limit` bytes of the vector.
ssize_t WritevPrefix(int fd, const struct iovec* iov, int count, size_t limit) {
  struct iovec cut[64];
  int n = 0;
  for (int i = 0; i < count && n < 64 && limit > 0; ++i) {
    size_t take = iov[i].iov_len < limit ? iov[i].iov_len : limit;
    cut[n].iov_base = iov[i].iov_base;
    cut[n].iov_len = take;
    limit -= take;
    ++n;
  }
  return n == 0 ? 0 : KernelWritev(fd, cut, n);
}

size_t TotalBytes(const struct iovec* iov, int count) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += iov[i].iov_len;
  return total;
}

ssize_t Fail(int error) {
  g_injected.fetch_add(1);
  errno = error;
  return -1;
}

ssize_t FaultedWritev(int fd, const struct iovec* iov, int count) {
  std::lock_guard<std::mutex> hold(g_mutex);
  const size_t total = TotalBytes(iov, count);
  const bool due = ++g_calls % g_every == 0;
  switch (g_fault) {
    case WriteFault::kHalfThenNoSpace:
      if (g_failNext) {
        g_failNext = false;
        return Fail(ENOSPC);
      }
      if (due && total > 1) {
        g_failNext = true;
        g_injected.fetch_add(1);
        return WritevPrefix(fd, iov, count, total / 2);
      }
      break;
    case WriteFault::kShortWrites:
      if (total > g_shortBytes) {
        g_injected.fetch_add(1);
        return WritevPrefix(fd, iov, count, g_shortBytes);
      }
      break;
    case WriteFault::kEio:
      if (due) return Fail(EIO);
      break;
    case WriteFault::kEintr:
      if (due) return Fail(EINTR);
      break;
    case WriteFault::kNone:
      break;
  }
  return KernelWritev(fd, iov, count);
}

bool Armed(int fd) {
  struct stat info;
  return g_armed.load() && fstat(fd, &info) == 0 && info.st_dev == g_device.load() &&
         info.st_ino == g_inode.load();
}

long HookedWrite(int fd, const razezir::platform::ByteSpan* spans, int count) {
  static_assert(sizeof(razezir::platform::ByteSpan) == sizeof(struct iovec),
                "a span is laid out as an iovec");
  const auto* iov = reinterpret_cast<const struct iovec*>(spans);
  if (!Armed(fd)) return KernelWritev(fd, iov, count);
  return FaultedWritev(fd, iov, count);
}

}  // namespace

void ArmWriteFault(int fd, WriteFault fault, int every, size_t shortBytes) {
  razezir::platform::SetWriteHookForTest(HookedWrite);
  std::lock_guard<std::mutex> hold(g_mutex);
  g_fault = fault;
  g_every = every > 0 ? every : 1;
  g_shortBytes = shortBytes;
  g_calls = 0;
  g_failNext = false;
  g_injected.store(0);
  struct stat info;
  g_armed.store(fstat(fd, &info) == 0);
  g_device.store(info.st_dev);
  g_inode.store(info.st_ino);
}

void DisarmWriteFaults() {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_armed.store(false);
  g_fault = WriteFault::kNone;
}

long InjectedWriteFaults() { return g_injected.load(); }

int DescriptorOf(const std::string& path) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (struct dirent* entry = readdir(dir)) {
    char link[PATH_MAX];
    std::string name = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t n = readlink(name.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    char* real = realpath(path.c_str(), nullptr);
    bool same = real != nullptr && std::string(link) == real;
    std::free(real);
    if (same) {
      found = std::atoi(entry->d_name);
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace razezir_test
