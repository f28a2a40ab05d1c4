// What the tool needs of a POSIX process beyond files: the memory it may
// use, stop requests (SIGINT, SIGTERM, SIGHUP), and standard streams that
// never hold a stop up.
#include <errno.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/process.h"

namespace dtk {

uint64_t PhysicalMemoryBytes() {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

namespace {

// The number in a control group's limit file, or 0 when it holds none
// ("max") or cannot be read. Values near 2^63 are how cgroup v1 says "no
// limit".
uint64_t ReadLimitFile(const std::string& path) {
  std::ifstream file(path);
  std::string text;
  if (!(file >> text) || text.empty() || text[0] < '0' || text[0] > '9') return 0;
  uint64_t value = std::strtoull(text.c_str(), nullptr, 10);
  return value >= (uint64_t{1} << 62) ? 0 : value;
}

uint64_t Least(uint64_t a, uint64_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return a < b ? a : b;
}

// The least memory limit of the control group at `path` below `root` and
// of every group above it, whose limits bound it too.
uint64_t GroupLimit(const std::string& root, std::string path, const char* file) {
  uint64_t least = 0;
  for (;;) {
    least = Least(least, ReadLimitFile(root + path + "/" + file));
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || path.empty()) break;
    path.resize(slash);
  }
  return least;
}

// The memory limit of the process's control group: cgroup v2 (a line
// "0::/path") or the v1 memory controller (a line "N:...memory...:/path").
uint64_t CgroupMemoryLimit(const MemoryLimitSources& sources) {
  std::ifstream groups(sources.procSelfCgroup);
  std::string line;
  uint64_t least = 0;
  while (std::getline(groups, line)) {
    size_t first = line.find(':');
    size_t second = line.find(':', first == std::string::npos ? 0 : first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (path == "/") path.clear();
    if (controllers.empty()) {
      least = Least(least, GroupLimit(sources.cgroupRoot, path, "memory.max"));
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      least = Least(least, GroupLimit(std::string(sources.cgroupRoot) + "/memory", path,
                                      "memory.limit_in_bytes"));
    }
  }
  return least;
}

// What a resource limit leaves, or 0 when there is none.
uint64_t ResourceLimit(int resource) {
  struct rlimit limit {};
  if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace

uint64_t UsableMemoryBytes(const MemoryLimitSources& sources) {
  uint64_t least = Least(PhysicalMemoryBytes(), CgroupMemoryLimit(sources));
  least = Least(least, ResourceLimit(RLIMIT_AS));
#if defined(RLIMIT_DATA)
  least = Least(least, ResourceLimit(RLIMIT_DATA));
#endif
  return least;
}

namespace {

// Set in a signal handler and read by every thread of a run at each entry:
// a lock-free atomic is safe for both.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
// The file status flags of standard output and error before the run, or -1
// for a stream that is not open.
int streamFlags[3] = {-1, -1, -1};

void SetStreamFlags(bool nonBlocking) {
  for (int fd = 1; fd <= 2; ++fd) {
    if (streamFlags[fd] == -1) continue;
    ::fcntl(fd, F_SETFL, nonBlocking ? streamFlags[fd] | O_NONBLOCK : streamFlags[fd]);
  }
}

void OnStopSignal(int signal) {
  int savedErrno = errno;
  if (stopSignal.load(std::memory_order_relaxed) != 0) {
    // The second request: stop now, as the signal would have.
    SetStreamFlags(false);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    errno = savedErrno;
    return;
  }
  stopSignal.store(signal, std::memory_order_relaxed);
  // A write to a stream that nobody reads (a full pipe) must not hold the
  // cleanup up: from now on such a write returns at once, and
  // WriteStandardStream gives up on it after a while.
  SetStreamFlags(true);
  errno = savedErrno;
}

}  // namespace

void InstallStopHandlers() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  for (int fd = 1; fd <= 2; ++fd) {
    struct stat info {};
    // Regular files never block; the flags of other streams are kept so
    // that they can be put back.
    if (::fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) streamFlags[fd] = ::fcntl(fd, F_GETFL);
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  // One request is handled at a time, so two that come together are a first
  // and a second.
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  // Calls under way carry on: a line half written to a pipe or terminal
  // would otherwise fail with EINTR and be lost. The walks notice the
  // request at the next entry.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
#if defined(__GLIBC__)
  // Under a limit of address space (ulimit -v) the C library's arenas, one
  // for each of up to eight threads a processor, would take most of it
  // before any is used (64 MiB each): threads share as many as there are
  // processors, and the run's memory goes where the plan expects it.
  struct rlimit space {};
  if (::getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY) {
    long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    ::mallopt(M_ARENA_MAX, processors > 0 ? static_cast<int>(processors) : 1);
  }
#endif
  // Every level of the tree holds its directory open while the walk is
  // below it.
  struct rlimit files {};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

void RestoreStandardStreams() { SetStreamFlags(false); }

bool WriteStandardStream(int stream, const char* data, size_t count) {
  while (count > 0) {
    ssize_t written = ::write(stream, data, count);
    if (written > 0) {
      data += written;
      count -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Once a stop was requested, a reader gets a second to take the line.
      struct pollfd ready = {stream, POLLOUT, 0};
      int waited = ::poll(&ready, 1, StopRequested() != 0 ? 1000 : -1);
      if (waited > 0 || (waited < 0 && errno == EINTR)) continue;
      return false;
    }
    return false;
  }
  return true;
}

int StopRequested() { return stopSignal.load(std::memory_order_relaxed); }
void RequestStop(int signal) { stopSignal.store(signal, std::memory_order_relaxed); }
void ClearStopRequest() { stopSignal.store(0, std::memory_order_relaxed); }

}  // namespace dtk
