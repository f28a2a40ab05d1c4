// Files outside the tree on POSIX systems: what is at the name is opened
// relative to its open directory without following a link, and only then
// looked at; a regular file is replaced by renaming a file of our own over
// it.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

#include "platform/output_file.h"
#include "platform/process.h"

namespace dtk {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How long a FIFO's reader or a full pipe is waited for once a stop was
// requested, and how often a FIFO is looked at for a reader.
constexpr std::chrono::milliseconds kGraceAfterStop{1000};
constexpr int kReaderPollMilliseconds = 20;

ErrorCode LastError() { return static_cast<ErrorCode>(errno); }

// An open descriptor, closed at the end of its scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  // Holds `fd` instead of what it held.
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  int get() const { return fd_; }
  // Closes it now; 0, or why the data written may not have reached the file.
  ErrorCode Close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0 || errno == EINTR ? 0 : LastError();
  }

 private:
  int fd_;
};

// Whether the time to wait on something that does not come is over: never
// before a stop was requested, a second after it was first seen.
class StopGrace {
 public:
  bool Over() {
    if (StopRequested() == 0) return false;
    if (!seen_) {
      seen_ = true;
      since_ = SteadyClock::now();
    }
    return SteadyClock::now() - since_ >= kGraceAfterStop;
  }

 private:
  bool seen_ = false;
  SteadyClock::time_point since_;
};

void Pause(int milliseconds) {
  struct timespec pause = {0, milliseconds * 1000000L};
  ::nanosleep(&pause, nullptr);
}

// Writes all of `text` into the open, non-blocking `fd` (a device, a FIFO,
// a terminal), waiting while it cannot take more, until a stop's grace is
// over.
ErrorCode WriteInto(int fd, std::string_view text, StopGrace& grace) {
  const char* next = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(fd, next, left);
    if (written > 0) {
      next += written;
      left -= static_cast<size_t>(written);
      continue;
    }
    if (written == 0) return ENOSPC;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LastError();
    if (grace.Over()) return LastError();
    struct pollfd ready = {fd, POLLOUT, 0};
    ::poll(&ready, 1, 100);
  }
  return 0;
}

// Writes all of `text` into the regular file `fd`.
ErrorCode WriteAllOf(int fd, std::string_view text) {
  const char* next = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return LastError();
    if (written == 0) return ENOSPC;
    next += written;
    left -= static_cast<size_t>(written);
  }
  return 0;
}

// A name for a new file beside `base` that nobody can guess: its own name,
// hidden, with random letters after it.
std::string TemporaryName(const std::string& base, std::mt19937_64& random) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  // Short enough for any system's longest name.
  std::string name = "." + base.substr(0, 200) + ".";
  for (int i = 0; i < 10; ++i) name += kLetters[random() % (sizeof(kLetters) - 1)];
  return name;
}

// Replaces the entry `base` of the open directory `dir` with a new file
// holding `text`: written under a name of its own, flushed, then renamed
// over `base`. The new file goes again when anything fails, if it still
// has its name.
ErrorCode Replace(int dir, const std::string& base, std::string_view text) {
  std::random_device seed;
  std::mt19937_64 random((uint64_t{seed()} << 32) ^ seed() ^ static_cast<uint64_t>(::getpid()));
  std::string temporary;
  Descriptor file;
  for (int attempt = 0; attempt < 100 && file.get() < 0; ++attempt) {
    temporary = TemporaryName(base, random);
    file.Reset(::openat(dir, temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
    if (file.get() < 0 && errno != EEXIST && errno != EINTR) return LastError();
  }
  if (file.get() < 0) return EEXIST;
  struct stat mine {};
  ErrorCode code = ::fstat(file.get(), &mine) == 0 ? 0 : LastError();
  if (code == 0) code = WriteAllOf(file.get(), text);
  while (code == 0 && ::fsync(file.get()) != 0) {
    if (errno != EINTR) code = LastError();
  }
  if (code == 0) code = file.Close();
  if (code == 0 && ::renameat(dir, temporary.c_str(), dir, base.c_str()) != 0) code = LastError();
  if (code != 0) {
    // Only our file: someone may have put another at its name meanwhile.
    struct stat there {};
    if (::fstatat(dir, temporary.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        there.st_dev == mine.st_dev && there.st_ino == mine.st_ino) {
      ::unlinkat(dir, temporary.c_str(), 0);
    }
  }
  return code;
}

// What the symbolic link `base` in `dir` points at, when this user or root
// owns it; ELOOP when someone else does. The link is held open while it is
// looked at where the system can, so that its owner and its text are of
// one link.
ErrorCode TrustedLinkText(int dir, const std::string& base, std::string* text) {
  char buffer[PATH_MAX + 1];
  struct stat link {};
  ssize_t length;
#if defined(O_PATH)
  Descriptor held(::openat(dir, base.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (held.get() < 0) return LastError();
  if (::fstat(held.get(), &link) != 0) return LastError();
  if (!S_ISLNK(link.st_mode)) return EAGAIN;  // swapped meanwhile: look again
  if (link.st_uid != ::geteuid() && link.st_uid != 0) return ELOOP;
  length = ::readlinkat(held.get(), "", buffer, sizeof(buffer) - 1);
#else
  if (::fstatat(dir, base.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  if (!S_ISLNK(link.st_mode)) return EAGAIN;
  if (link.st_uid != ::geteuid() && link.st_uid != 0) return ELOOP;
  length = ::readlinkat(dir, base.c_str(), buffer, sizeof(buffer) - 1);
#endif
  if (length < 0) return LastError();
  text->assign(buffer, static_cast<size_t>(length));
  return 0;
}

// Whether opening without following links failed because the name is a
// symbolic link (Linux says ELOOP, FreeBSD EMLINK, NetBSD EFTYPE).
bool IsLinkRefusal(int code) {
#if defined(EFTYPE)
  if (code == EFTYPE) return true;
#endif
  return code == ELOOP || code == EMLINK;
}

// Opens `name` in `dir` for writing, at its end, without waiting for a
// FIFO's reader; links in `name` are followed only with `follow`.
int OpenForAppend(int dir, const char* name, bool follow) {
  int flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int fd;
  do {
    fd = ::openat(dir, name, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Whether `name` in `dir` is a FIFO (that has no reader yet, when opening
// it said so).
bool IsFifo(int dir, const char* name, bool follow) {
  struct stat info {};
  return ::fstatat(dir, name, &info, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISFIFO(info.st_mode);
}

// The directory part of `path` (as given, links followed) and the name in
// it; false when `path` names a directory by its form ("", "dir/", "..").
bool SplitPath(const char* path, std::string* directory, std::string* base) {
  std::string whole = path;
  size_t slash = whole.find_last_of('/');
  *directory = slash == std::string::npos ? "." : slash == 0 ? "/" : whole.substr(0, slash);
  *base = slash == std::string::npos ? whole : whole.substr(slash + 1);
  return !base->empty() && *base != "." && *base != "..";
}

}  // namespace

ErrorCode WriteOutputFile(const char* path, std::string_view text) {
  std::string directory;
  std::string base;
  if (!SplitPath(path, &directory, &base)) return EISDIR;
  Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
#if defined(O_PATH)
  // A directory this user may write in but not read is still a place.
  if (dir.get() < 0 && errno == EACCES) {
    dir.Reset(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
#endif
  if (dir.get() < 0) return LastError();

  StopGrace grace;
  // The name is looked at again whenever what is there changes under us.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    bool follow = false;
    std::string name = base;
    int fd = OpenForAppend(dir.get(), name.c_str(), false);
    if (fd < 0 && IsLinkRefusal(errno)) {
      // A symbolic link: followed only when it is trusted.
      ErrorCode code = TrustedLinkText(dir.get(), base, &name);
      if (code == EAGAIN || code == ENOENT) continue;
      if (code != 0) return code;
      follow = true;
      fd = OpenForAppend(dir.get(), name.c_str(), true);
    }
    if (fd >= 0) {
      Descriptor opened(fd);
      struct stat info {};
      if (::fstat(fd, &info) != 0) return LastError();
      // A regular file reached through a trusted link is written into like
      // any other thing it leads to; one at the name itself is replaced.
      if (!S_ISREG(info.st_mode) || follow) {
        ErrorCode code = WriteInto(fd, text, grace);
        ErrorCode closeCode = opened.Close();
        return code != 0 ? code : closeCode;
      }
      opened.Close();
      return Replace(dir.get(), base, text);
    }
    ErrorCode code = LastError();
    if (code == ENOENT && !follow) return Replace(dir.get(), base, text);
    if (code == ENXIO && IsFifo(dir.get(), name.c_str(), follow)) {
      // A FIFO without a reader yet.
      if (grace.Over()) return code;
      Pause(kReaderPollMilliseconds);
      continue;
    }
    if (!follow && code != ELOOP) {
      // A regular file this user may not open for writing is still
      // replaced, as its directory allows.
      struct stat info {};
      if (::fstatat(dir.get(), base.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(info.st_mode)) {
        return Replace(dir.get(), base, text);
      }
    }
    return code;
  }
  return EAGAIN;
}

}  // namespace dtk
