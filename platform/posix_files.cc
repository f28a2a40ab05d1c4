// The POSIX file system: the calls on the tree, probes, and error texts.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/statfs.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__)
#include <sys/mount.h>
#include <sys/param.h>
#endif
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/file_system.h"
#include "platform/output_file.h"
#include "platform/posix_file_system.h"

namespace dtk {
namespace {

ErrorCode LastError() { return static_cast<ErrorCode>(errno); }

// The calls on the tree go straight to the kernel on Linux: the C library's
// wrappers first mark each one as a point where a thread may be cancelled,
// which costs a few percent of a run of small files once the process has a
// second thread (the threads of -threads N, the sampler of a timeline), and
// dtk cancels no thread. Each sets errno and returns -1 on failure, as the
// wrappers do.
#if defined(__linux__)
int OpenAt(int dir, const char* name, int flags, mode_t mode = 0) {
  return static_cast<int>(::syscall(SYS_openat, dir, name, flags, mode));
}
int CloseFd(int fd) { return static_cast<int>(::syscall(SYS_close, fd)); }
ssize_t WriteFd(int fd, const void* data, size_t count) {
  return ::syscall(SYS_write, fd, data, count);
}
ssize_t ReadFd(int fd, void* data, size_t count) { return ::syscall(SYS_read, fd, data, count); }
int UnlinkAt(int dir, const char* name, int flags) {
  return static_cast<int>(::syscall(SYS_unlinkat, dir, name, flags));
}
int MkdirAt(int dir, const char* name, mode_t mode) {
  return static_cast<int>(::syscall(SYS_mkdirat, dir, name, mode));
}
int SyncFd(int fd) { return static_cast<int>(::syscall(SYS_fsync, fd)); }
#else
int OpenAt(int dir, const char* name, int flags, mode_t mode = 0) {
  return ::openat(dir, name, flags, mode);
}
int CloseFd(int fd) { return ::close(fd); }
ssize_t WriteFd(int fd, const void* data, size_t count) { return ::write(fd, data, count); }
ssize_t ReadFd(int fd, void* data, size_t count) { return ::read(fd, data, count); }
int UnlinkAt(int dir, const char* name, int flags) { return ::unlinkat(dir, name, flags); }
int MkdirAt(int dir, const char* name, mode_t mode) { return ::mkdirat(dir, name, mode); }
int SyncFd(int fd) { return ::fsync(fd); }
#endif

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

PosixFileSystem::PosixFileSystem() : calls_{WriteFd, ReadFd} {}

namespace {

// The checks every call on an entry of the tree makes first: a path longer
// than the system takes names nothing, as the call by path would have said.
ErrorCode CheckPlace(const EntryPlace& at) {
  if (at.dir == kInvalidDir) return at.dirError != 0 ? at.dirError : EBADF;
  if (at.pathLength > MaxPathLength()) return ENAMETOOLONG;
  return 0;
}

// Why an existing entry `info` may not be reused as a file to write: only a
// regular file with no other name may be.
ErrorCode RefusalToReuse(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return ELOOP;
  if (S_ISDIR(info.st_mode)) return EISDIR;
  if (!S_ISREG(info.st_mode)) return EEXIST;  // a FIFO, a device, a socket
  if (info.st_nlink != 1) return EMLINK;      // its data is also someone else's
  return 0;
}

// The flags that open a file for `mode` where the system takes them at
// open (O_DIRECT on Linux and FreeBSD).
int OpenFlagsFor(IoMode mode) {
#if defined(O_DIRECT)
  return mode == IoMode::kDirect ? O_DIRECT : 0;
#else
  (void)mode;
  return 0;
#endif
}

// Turns the file cache off for the open file `fd` where the system does
// that after opening (F_NOCACHE on macOS); closes it when that fails.
ErrorCode AfterOpen(int fd, IoMode mode) {
#if !defined(O_DIRECT) && defined(F_NOCACHE)
  if (mode == IoMode::kDirect && ::fcntl(fd, F_NOCACHE, 1) == -1) {
    ErrorCode code = LastError();
    CloseFd(fd);
    return code;
  }
#else
  (void)fd;
  (void)mode;
#endif
  return 0;
}

// Opens `name` relative to `dir` for writing, with the open flags `extra`
// too: makes it, or reuses an existing regular file with one link,
// truncated. The common case, nothing there, takes one call.
ErrorCode CreateOrReuse(int dir, const char* name, int extra, int* fd) {
  *fd = RetryOnInterrupt([&] {
    return OpenAt(dir, name, kCreateFileFlags | O_CLOEXEC | extra, 0666);
  });
  if (*fd >= 0) return 0;
  if (errno != EEXIST) return LastError();
  // Something is there. It is looked at before it is opened, so that no
  // device is opened for writing; opened without waiting for a FIFO's
  // reader; and looked at again through the descriptor, in case it was
  // swapped meanwhile.
  struct stat before {};
  if (::fstatat(dir, name, &before, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  if (ErrorCode refusal = RefusalToReuse(before)) return refusal;
  int opened = RetryOnInterrupt([&] {
    return OpenAt(dir, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | extra);
  });
  if (opened < 0) return LastError();
  struct stat after {};
  ErrorCode code = ::fstat(opened, &after) == 0 ? RefusalToReuse(after) : LastError();
  if (code == 0 && (after.st_dev != before.st_dev || after.st_ino != before.st_ino)) code = EEXIST;
  if (code == 0 && RetryOnInterrupt([&] { return ::ftruncate(opened, 0); }) != 0) {
    code = LastError();
  }
  if (code == 0) {
    int flags = ::fcntl(opened, F_GETFL);
    if (flags == -1 || ::fcntl(opened, F_SETFL, flags & ~O_NONBLOCK) == -1) code = LastError();
  }
  if (code != 0) {
    CloseFd(opened);
    return code;
  }
  *fd = opened;
  return 0;
}

// Opens a directory by `name` relative to `dir` (or a path, with AT_FDCWD).
// A directory that may not be read is still opened as a place to work in
// (O_PATH), where the system has that.
ErrorCode OpenDirectoryAt(int dir, const char* name, int flags, DirHandle* result) {
  int fd = RetryOnInterrupt([&] { return OpenAt(dir, name, O_RDONLY | flags); });
#if defined(O_PATH)
  if (fd < 0 && errno == EACCES) {
    fd = RetryOnInterrupt([&] { return OpenAt(dir, name, O_PATH | flags); });
  }
#endif
  if (fd < 0) {
    *result = kInvalidDir;
    return LastError();
  }
  *result = fd;
  return 0;
}

}  // namespace

ErrorCode PosixFileSystem::OpenTarget(const char* path, DirHandle* dir) {
  return OpenDirectoryAt(AT_FDCWD, path, O_DIRECTORY | O_CLOEXEC, dir);
}

ErrorCode PosixFileSystem::LockDirectory(DirHandle dir) {
  return RetryOnInterrupt([&] { return ::flock(static_cast<int>(dir), LOCK_EX | LOCK_NB); }) == 0
             ? 0
             : LastError();
}

ErrorCode PosixFileSystem::MakeDirectory(const EntryPlace& at) {
  if (ErrorCode code = CheckPlace(at)) return code;
  return MkdirAt(static_cast<int>(at.dir), at.name, 0777) == 0 ? 0 : LastError();
}

ErrorCode PosixFileSystem::OpenDirectory(const EntryPlace& at, DirHandle* dir) {
  *dir = kInvalidDir;
  if (ErrorCode code = CheckPlace(at)) return code;
  return OpenDirectoryAt(static_cast<int>(at.dir), at.name, O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC,
                         dir);
}

ErrorCode PosixFileSystem::FlushDirectory(DirHandle dir) {
  ErrorCode code =
      RetryOnInterrupt([&] { return SyncFd(static_cast<int>(dir)); }) == 0 ? 0 : LastError();
  // Some file systems cannot flush a directory, and a directory opened only
  // as a place to work in cannot be flushed; that loses nothing.
  if (code == EINVAL || code == EBADF) code = 0;
  return code;
}

ErrorCode PosixFileSystem::CloseDirectory(DirHandle dir) {
  return CloseFd(static_cast<int>(dir)) == 0 || errno == EINTR ? 0 : LastError();
}

ErrorCode PosixFileSystem::OpenForWrite(const EntryPlace& at, FileHandle* file, IoMode mode) {
  *file = kInvalidFile;
  if (ErrorCode code = CheckPlace(at)) return code;
  int fd;
  ErrorCode code = CreateOrReuse(static_cast<int>(at.dir), at.name, OpenFlagsFor(mode), &fd);
  if (code == 0) code = AfterOpen(fd, mode);
  if (code == 0) *file = fd;
  return code;
}

ErrorCode PosixFileSystem::OpenForRead(const EntryPlace& at, FileHandle* file, IoMode mode) {
  *file = kInvalidFile;
  if (ErrorCode code = CheckPlace(at)) return code;
  // O_NONBLOCK: a FIFO at the name is not waited on (it reads as empty);
  // on regular files it changes nothing.
  int fd = RetryOnInterrupt([&] {
    return OpenAt(static_cast<int>(at.dir), at.name,
                    kReadFileFlags | O_CLOEXEC | OpenFlagsFor(mode));
  });
  if (fd < 0) return LastError();
  if (ErrorCode code = AfterOpen(fd, mode)) return code;
  *file = fd;
  return 0;
}

ErrorCode PosixFileSystem::WriteAll(int fd, const char* next, size_t left) {
  while (left > 0) {
    ssize_t written = calls_.write(fd, next, left);
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

ErrorCode PosixFileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  return WriteAll(static_cast<int>(file), static_cast<const char*>(data), count);
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

ErrorCode PosixFileSystem::SetFileSize(FileHandle file, int64_t size) {
  return RetryOnInterrupt([&] { return ::ftruncate(static_cast<int>(file), size); }) == 0
             ? 0
             : LastError();
}

ErrorCode PosixFileSystem::Flush(FileHandle file) {
  return RetryOnInterrupt([&] { return SyncFd(static_cast<int>(file)); }) == 0 ? 0 : LastError();
}

ErrorCode PosixFileSystem::Close(FileHandle file) {
  // A close interrupted by a signal has released the descriptor all the
  // same on Linux; calling it again could close someone else's.
  return CloseFd(static_cast<int>(file)) == 0 || errno == EINTR ? 0 : LastError();
}

ErrorCode PosixFileSystem::DeleteFile(const EntryPlace& at) {
  if (ErrorCode code = CheckPlace(at)) return code;
  return UnlinkAt(static_cast<int>(at.dir), at.name, 0) == 0 ? 0 : LastError();
}

ErrorCode PosixFileSystem::RemoveDirectory(const EntryPlace& at) {
  if (ErrorCode code = CheckPlace(at)) return code;
  return UnlinkAt(static_cast<int>(at.dir), at.name, AT_REMOVEDIR) == 0 ? 0 : LastError();
}

ErrorCode PosixFileSystem::DirectoryIsAt(DirHandle dir, const EntryPlace& at) {
  if (ErrorCode code = CheckPlace(at)) return code;
  struct stat held {};
  struct stat there {};
  if (::fstat(static_cast<int>(dir), &held) != 0) return LastError();
  if (::fstatat(static_cast<int>(at.dir), at.name, &there, AT_SYMLINK_NOFOLLOW) != 0) {
    return LastError();
  }
  return held.st_dev == there.st_dev && held.st_ino == there.st_ino ? 0 : ENOENT;
}

ErrorCode PosixFileSystem::WriteWholeFile(const char* path, std::string_view text) {
  return WriteOutputFile(path, text);
}

namespace {

// Whether `code`, from a probe of unbuffered I/O, says that the file
// system does not take it, rather than that the probe met another trouble
// (a full disk) that the phases will meet as well.
bool IsRefusal(ErrorCode code) { return code == EINVAL || code == EOPNOTSUPP || code == ENOTSUP; }

// Turns the file cache off for the probe file `fd`, finds the block size
// and moves one block out and back. 0, or the reason of a refusal.
ErrorCode ProbeOpenFile(int fd, uint32_t* blockSize) {
#if defined(O_DIRECT)
  // A file system without unbuffered I/O refuses the flag here.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) == -1) return LastError();
#elif defined(F_NOCACHE)
  if (::fcntl(fd, F_NOCACHE, 1) == -1) return LastError();
#endif
#if defined(__linux__) && defined(STATX_DIOALIGN)
  // Linux 6.1 and later tell the alignment of a regular file's unbuffered
  // transfers (not a directory's); a file system that takes none says 0.
  struct statx info {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &info) == 0 &&
      (info.stx_mask & STATX_DIOALIGN) != 0) {
    if (info.stx_dio_offset_align == 0) return EINVAL;
    *blockSize = std::max(info.stx_dio_offset_align, info.stx_dio_mem_align);
  }
#endif
  // Some file systems take the flag and refuse the transfers.
  const size_t size = *blockSize;
  const std::align_val_t alignment{std::max<size_t>(size, 4096)};
  auto* block = static_cast<char*>(::operator new(size, alignment, std::nothrow));
  if (block == nullptr) return 0;
  std::memset(block, 0, size);
  ErrorCode code = 0;
  if (RetryOnInterrupt([&] { return ::pwrite(fd, block, size, 0); }) < 0 ||
      RetryOnInterrupt([&] { return ::pread(fd, block, size, 0); }) < 0) {
    code = LastError();
  }
  ::operator delete(block, alignment);
  return IsRefusal(code) ? code : 0;
}

}  // namespace

ErrorCode PosixFileSystem::ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) {
  *blockSize = kDefaultDirectBlockSize;
  if (CheckPlace(at) != 0) return 0;
  const int dir = static_cast<int>(at.dir);
  int fd = -1;
#if defined(O_TMPFILE)
  // A file without a name: nothing is left behind whatever happens.
  fd = RetryOnInterrupt([&] { return OpenAt(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
#endif
  if (fd < 0) {
    fd = RetryOnInterrupt([&] {
      return OpenAt(dir, at.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                      0600);
    });
    // No file can be made here at all (a read-only file system, a target
    // that may not be written): the phases meet that cause themselves.
    if (fd < 0) return 0;
    // The name goes at once; only this file's, should another have taken
    // it meanwhile.
    struct stat mine {};
    struct stat there {};
    if (::fstat(fd, &mine) == 0 && ::fstatat(dir, at.name, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        mine.st_dev == there.st_dev && mine.st_ino == there.st_ino) {
      UnlinkAt(dir, at.name, 0);
    }
  }
  ErrorCode code = ProbeOpenFile(fd, blockSize);
  CloseFd(fd);
  return code;
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

bool IsNotFoundError(ErrorCode code) {
  return code == ENOENT || code == ENOTDIR || code == ENAMETOOLONG;
}

bool IsBusyError(ErrorCode code) { return code == EWOULDBLOCK || code == EAGAIN; }

ErrorCode OutOfMemoryError() { return ENOMEM; }

}  // namespace dtk
