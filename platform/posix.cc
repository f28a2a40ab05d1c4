// POSIX implementations of the platform layer.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/file_system.h"
#include "platform/posix_file_system.h"
#include "platform/process.h"

namespace dtk {
namespace {

ErrorCode LastError() { return static_cast<ErrorCode>(errno); }

// Runs a system call again while a signal interrupts it.
template <class Call>
auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace

PosixFileSystem::PosixFileSystem() : calls_{::write, ::read} {}

ErrorCode PosixFileSystem::MakeDirectory(const char* path) {
  return ::mkdir(path, 0777) == 0 ? 0 : LastError();
}

ErrorCode PosixFileSystem::OpenForWrite(const char* path, FileHandle* file) {
  // POSIX has no share modes: other openers may always read and write. A
  // symbolic link in the place of a file is not followed: truncating what it
  // points to would destroy data outside the tree.
  int fd = RetryOnInterrupt(
      [&] { return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666); });
  if (fd < 0) {
    *file = kInvalidFile;
    return LastError();
  }
  *file = fd;
  return 0;
}

ErrorCode PosixFileSystem::OpenForRead(const char* path, FileHandle* file) {
  int fd = RetryOnInterrupt([&] { return ::open(path, O_RDONLY | O_CLOEXEC); });
  if (fd < 0) {
    *file = kInvalidFile;
    return LastError();
  }
  *file = fd;
  return 0;
}

ErrorCode PosixFileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  const char* next = static_cast<const char*>(data);
  size_t left = count;
  while (left > 0) {
    ssize_t written = calls_.write(static_cast<int>(file), next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    // A call that takes nothing and reports no error would loop for ever;
    // the system means there is no room.
    if (written == 0) return ENOSPC;
    next += written;
    left -= static_cast<size_t>(written);
  }
  return 0;
}

ErrorCode PosixFileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  ssize_t n = RetryOnInterrupt([&] { return calls_.read(static_cast<int>(file), data, count); });
  if (n < 0) {
    *got = 0;
    return LastError();
  }
  *got = static_cast<uint32_t>(n);
  return 0;
}

ErrorCode PosixFileSystem::Flush(FileHandle file) {
  return RetryOnInterrupt([&] { return ::fsync(static_cast<int>(file)); }) == 0 ? 0 : LastError();
}

ErrorCode PosixFileSystem::FlushDirectory(const char* path) {
  int fd = RetryOnInterrupt([&] { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return LastError();
  ErrorCode code = RetryOnInterrupt([&] { return ::fsync(fd); }) == 0 ? 0 : LastError();
  ::close(fd);
  // Some file systems cannot flush a directory; that loses nothing.
  if (code == EINVAL || code == EBADF) code = 0;
  return code;
}

ErrorCode PosixFileSystem::Close(FileHandle file) {
  // A close interrupted by a signal has released the descriptor all the
  // same on Linux; calling it again could close someone else's.
  return ::close(static_cast<int>(file)) == 0 || errno == EINTR ? 0 : LastError();
}

ErrorCode PosixFileSystem::DeleteFile(const char* path) {
  return ::unlink(path) == 0 ? 0 : LastError();
}

ErrorCode PosixFileSystem::RemoveDirectory(const char* path) {
  return ::rmdir(path) == 0 ? 0 : LastError();
}

FileSystem& SystemFileSystem() {
  static PosixFileSystem fileSystem;
  return fileSystem;
}

const char* SystemErrorText(ErrorCode code) {
  // Texts are kept for the life of the process, one per code; callers may
  // hold them until exit.
  static std::mutex mutex;
  static auto* texts = new std::unordered_map<ErrorCode, std::string>();
  std::lock_guard<std::mutex> lock(mutex);
  auto found = texts->find(code);
  if (found != texts->end()) return found->second.c_str();
  char buffer[256] = "";
  std::string text;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* message = ::strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
  text = message ? message : "";
#else
  if (::strerror_r(static_cast<int>(code), buffer, sizeof(buffer)) == 0) text = buffer;
#endif
  // The C library names codes it has no message for "Unknown error N".
  if (text.rfind("Unknown error", 0) == 0) text.clear();
  return texts->emplace(code, std::move(text)).first->second.c_str();
}

bool IsNotFoundError(ErrorCode code) {
  return code == ENOENT || code == ENOTDIR || code == ENAMETOOLONG;
}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

uint64_t PhysicalMemoryBytes() {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

namespace {

volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
  if (stopSignal != 0) {
    // The second request: stop now, as the signal would have.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  stopSignal = signal;
}

}  // namespace

void InstallStopHandlers() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  // One request is handled at a time, so two that come together are a first
  // and a second.
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  // Calls under way carry on: a line half written to a pipe or terminal
  // would otherwise fail with EINTR and be lost. The walks notice the
  // request at the next entry.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int StopRequested() { return stopSignal; }
void RequestStop(int signal) { stopSignal = signal; }
void ClearStopRequest() { stopSignal = 0; }

}  // namespace dtk
