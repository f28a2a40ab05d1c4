// POSIX implementations of the platform layer.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/statfs.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__)
#include <sys/mount.h>
#include <sys/param.h>
#endif
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

size_t MaxPathLength() {
  // PATH_MAX counts the terminating NUL.
  return PATH_MAX - 1;
}

std::string FileSystemTypeName(const char* path) {
#if defined(__linux__)
  struct statfs info {};
  if (::statfs(path, &info) != 0) return std::string();
  // The magic numbers of <linux/magic.h> and of file systems built outside
  // the kernel.
  static const struct {
    uint64_t magic;
    const char* name;
  } kTypes[] = {
      {0xEF53, "ext4"},  // ext2, ext3 and ext4 share one number
      {0x01021994, "tmpfs"}, {0x858458F6, "ramfs"},    {0x58465342, "xfs"},
      {0x9123683E, "btrfs"}, {0xCA451A4E, "bcachefs"}, {0xF2F52010, "f2fs"},
      {0x2FC12FC1, "zfs"},   {0x3153464A, "jfs"},      {0x52654973, "reiserfs"},
      {0x3434, "nilfs2"},    {0x6969, "nfs"},          {0xFF534D42, "cifs"},
      {0xFE534D42, "smb2"},  {0x517B, "smb"},          {0x794C7630, "overlayfs"},
      {0x65735546, "fuse"},  {0x4D44, "vfat"},         {0x2011BAB0, "exfat"},
      {0x5346544E, "ntfs"},  {0x482B, "hfsplus"},      {0x9660, "iso9660"},
      {0x15013346, "udf"},   {0x73717368, "squashfs"}, {0xE0F5E1E2, "erofs"},
      {0x00C36400, "ceph"},  {0x01021997, "9p"},       {0x01161970, "gfs2"},
      {0x7461636F, "ocfs2"}, {0x5346414F, "afs"},      {0x0BD00BD0, "lustre"},
      {0xF15F, "ecryptfs"},  {0x9FA0, "proc"},         {0x62656572, "sysfs"},
      {0x47504653, "gpfs"},  {0x19830326, "beegfs"},
  };
  uint64_t magic = static_cast<uint64_t>(info.f_type) & 0xFFFFFFFFu;
  for (const auto& type : kTypes) {
    if (type.magic == magic) return type.name;
  }
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08llX", static_cast<unsigned long long>(magic));
  return text;
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__)
  struct statfs info {};
  if (::statfs(path, &info) != 0) return std::string();
  return info.f_fstypename;
#else
  (void)path;
  return std::string();
#endif
}

ErrorCode RenameOver(const char* from, const char* to) {
  return ::rename(from, to) == 0 ? 0 : LastError();
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
