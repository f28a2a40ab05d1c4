// The platform layer this is built for (POSIX or Win32) against a real
// scratch directory: the calls below open directories and their errors,
// the write loop against a system that writes short, is interrupted, fails
// part way or writes nothing, reports written beside the tree, locks, and
// the process queries. Where the systems differ, each has its expectation.
#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <string>

#include "engine/tester.h"
#include "platform/process.h"
#include "test_util.h"

#ifdef _WIN32
#include "platform/win32_file_system.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/posix_file_system.h"
#endif

namespace dtk {
namespace {

// Write stand-ins: seven bytes a call, after `interruptions` calls
// interrupted by a signal (POSIX), until `failAfter` calls have been made,
// then failing with kFailed; or taking nothing at all.
int interruptions = 0;
int failAfter = -1;
#ifdef _WIN32
using PlatformFileSystem = Win32FileSystem;
constexpr ErrorCode kFailed = ERROR_HANDLE_DISK_FULL;
constexpr ErrorCode kDiskFull = ERROR_DISK_FULL;
BOOL WINAPI WriteSevenAtATime(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                              LPOVERLAPPED overlapped) {
  if (failAfter == 0) {
    *written = 0;
    ::SetLastError(kFailed);
    return FALSE;
  }
  if (failAfter > 0) --failAfter;
  return ::WriteFile(file, data, count < 7 ? count : 7, written, overlapped);
}
BOOL WINAPI WriteNothing(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  *written = 0;
  return TRUE;
}
const Win32Calls kSevenAtATime{WriteSevenAtATime, ::ReadFile};
const Win32Calls kNothing{WriteNothing, ::ReadFile};
#else
using PlatformFileSystem = PosixFileSystem;
constexpr ErrorCode kFailed = EIO;
constexpr ErrorCode kDiskFull = ENOSPC;
ssize_t WriteSevenAtATime(int fd, const void* data, size_t count) {
  if (failAfter == 0 || interruptions > 0) {
    errno = failAfter == 0 ? kFailed : EINTR;
    interruptions -= interruptions > 0;
    return -1;
  }
  if (failAfter > 0) --failAfter;
  return ::write(fd, data, count < 7 ? count : 7);
}
ssize_t WriteNothing(int, const void*, size_t) { return 0; }
const PosixCalls kSevenAtATime{WriteSevenAtATime, ::read};
const PosixCalls kNothing{WriteNothing, ::read};
#endif

class FileSystemTest : public ::testing::Test {
 protected:
  // Where `name` lies in `parent`, whose path is `parentPath`.
  EntryPlace At(const WalkDir& parent, const std::string& parentPath, const std::string& name) {
    paths_.push_back(parentPath + "/" + name);
    return PlaceOf(parent, paths_.back(), parentPath.size() + 1);
  }
  TempDir dir;
  PlatformFileSystem fs;
  std::list<std::string> paths_;
};

TEST_F(FileSystemTest, OperationsAndTheirErrors) {
  TreeRoot root(fs, dir.path());
  ASSERT_TRUE(root.dir().isOpen());
#ifndef _WIN32
  mode_t old = umask(022);
#endif
  EntryPlace subAt = At(root.dir(), dir.path(), "sub");
  EXPECT_EQ(fs.MakeDirectory(subAt), 0u);
  EXPECT_EQ(fs.MakeDirectory(subAt), kExists);
  WalkDir sub;
  ASSERT_EQ(fs.OpenDirectory(subAt, &sub.handle), 0u);
  EntryPlace fileAt = At(sub, dir / "sub", "f");
  WriteWholeFile(fileAt.path, "old contents, longer");
  FileHandle file;
  ASSERT_EQ(fs.OpenForWrite(fileAt, &file, IoMode::kCached), 0u);  // reused, truncated
  EXPECT_EQ(fs.Write(file, "hello", 5), 0u);
  EXPECT_EQ(fs.Write(file, "hello", 0), 0u);  // nothing to write is no failure
  EXPECT_EQ(fs.Flush(file), 0u);
  EXPECT_EQ(fs.Close(file), 0u);
  EXPECT_EQ(ReadWholeFile(fileAt.path), "hello");
  EXPECT_EQ(fs.FlushDirectory(sub.handle), 0u);
#ifndef _WIN32
  struct stat info;
  stat(fileAt.path, &info);
  EXPECT_EQ(info.st_mode & 0777, 0644u);  // both follow the umask
  stat(subAt.path, &info);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  umask(old);
#endif

  ASSERT_EQ(fs.OpenForRead(fileAt, &file, IoMode::kCached), 0u);
  char buffer[16];
  uint32_t got = 0;
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 0u);  // the end of the file
  EXPECT_EQ(fs.Close(file), 0u);

  EXPECT_EQ(fs.OpenForRead(At(sub, dir / "sub", "missing"), &file, IoMode::kCached), kNoSuchFile);
  EXPECT_EQ(file, kInvalidFile);
#ifndef _WIN32
  EXPECT_EQ(fs.OpenForWrite(subAt, &file, IoMode::kCached), static_cast<ErrorCode>(EISDIR));
  EXPECT_EQ(fs.RemoveDirectory(subAt), kNotEmpty);
  EXPECT_EQ(fs.DeleteFile(subAt), static_cast<ErrorCode>(EISDIR));
#endif
  EXPECT_EQ(fs.DeleteFile(fileAt), 0u);
  EXPECT_EQ(fs.DeleteFile(fileAt), kNoSuchFile);
#ifdef _WIN32
  // A directory held open cannot be removed or renamed under the walk.
  EXPECT_NE(fs.RemoveDirectory(subAt), 0u);
#endif
  EXPECT_EQ(fs.CloseDirectory(sub.handle), 0u);
  EXPECT_EQ(fs.RemoveDirectory(subAt), 0u);
  EXPECT_EQ(fs.RemoveDirectory(subAt), kNoSuchFile);
#ifdef _WIN32
  const ErrorCode notFound[] = {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
                                ERROR_FILENAME_EXCED_RANGE, ERROR_INVALID_NAME};
  const ErrorCode found[] = {ERROR_ACCESS_DENIED, 0};
#else
  const ErrorCode notFound[] = {ENOENT, ENOTDIR, ENAMETOOLONG};
  const ErrorCode found[] = {EACCES, 0};
  EXPECT_STREQ(SystemErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(SystemErrorText(ENOENT), SystemErrorText(ENOENT));  // kept, not rebuilt
#endif
  for (ErrorCode code : notFound) EXPECT_TRUE(IsNotFoundError(code)) << code;
  for (ErrorCode code : found) EXPECT_FALSE(IsNotFoundError(code)) << code;
}

TEST_F(FileSystemTest, ShortAndInterruptedWritesAreContinuedAndNoProgressIsAFullDisk) {
  TreeRoot root(fs, dir.path());
  PlatformFileSystem shortWrites(kSevenAtATime);
  FileHandle file;
  ASSERT_EQ(shortWrites.OpenForWrite(At(root.dir(), dir.path(), "f"), &file, IoMode::kCached), 0u);
  std::string data(1000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  interruptions = 3;
  failAfter = -1;
  EXPECT_EQ(shortWrites.Write(file, data.data(), static_cast<uint32_t>(data.size())), 0u);
  // A failure part way through reports the system's code, taken at once.
  failAfter = 3;
  EXPECT_EQ(shortWrites.Write(file, "0123456789012345678901234567890123456789", 40), kFailed);
  shortWrites.Close(file);
  EXPECT_EQ(ReadWholeFile(dir / "f"), data + "012345678901234567890");
  PlatformFileSystem noProgress(kNothing);
  ASSERT_EQ(noProgress.OpenForWrite(At(root.dir(), dir.path(), "g"), &file, IoMode::kCached), 0u);
  EXPECT_EQ(noProgress.Write(file, "abc", 3), kDiskFull);
  noProgress.Close(file);
}

TEST_F(FileSystemTest, AReportReplacesAFileButIsWrittenIntoAnythingElse) {
  std::string path = dir / "report.json";
  ASSERT_EQ(fs.WriteWholeFile(path.c_str(), "{}\n"), 0u);
  ASSERT_EQ(fs.WriteWholeFile(path.c_str(), "{\"new\": 1}\n"), 0u);
  EXPECT_EQ(ReadWholeFile(path), "{\"new\": 1}\n");
  EXPECT_EQ(dir.List(), std::vector<std::string>{"report.json"});  // no temporary stays
  EXPECT_EQ(fs.WriteWholeFile((dir / "no/such").c_str(), "{}"), kNoSuchPath);
  // A report that cannot be written leaves the one before as it was.
  PlatformFileSystem noProgress(kNothing);
  EXPECT_EQ(noProgress.WriteWholeFile(path.c_str(), "{}\n"), kDiskFull);
  EXPECT_EQ(ReadWholeFile(path), "{\"new\": 1}\n");
  EXPECT_EQ(dir.List(), std::vector<std::string>{"report.json"});
#ifdef _WIN32
  EXPECT_EQ(fs.WriteWholeFile("NUL", "{}\n"), 0u);
#else
  // A link that another user put where the report goes is not followed.
  std::string victim = dir / "victim", planted = dir / "planted";
  WriteWholeFile(victim, "mine");
  ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
  if (geteuid() == 0 && lchown(planted.c_str(), 65534, 65534) == 0) {
    EXPECT_EQ(fs.WriteWholeFile(planted.c_str(), "{}\n"), static_cast<ErrorCode>(ELOOP));
    EXPECT_EQ(ReadWholeFile(victim), "mine");
  }
  // A FIFO is written into, not replaced.
  std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_EQ(fs.WriteWholeFile(fifo.c_str(), "{}\n"), 0u);
  char got[8] = {};
  EXPECT_EQ(read(reader, got, sizeof(got)), 3);
  close(reader);
  struct stat info;
  lstat(fifo.c_str(), &info);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  // So is a device, where this process may make one.
  std::string device = dir / "full";
  if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0) {  // as /dev/full
    EXPECT_EQ(fs.WriteWholeFile(device.c_str(), "{}\n"), kDiskFull);
    lstat(device.c_str(), &info);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
  }
#endif
}

TEST_F(FileSystemTest, ATargetIsLockedForOneRunAtATime) {
  TreeRoot first(fs, dir.path());
  TreeRoot second(fs, dir.path());
  ASSERT_EQ(fs.LockDirectory(first.dir().handle), 0u);
  EXPECT_TRUE(IsBusyError(fs.LockDirectory(second.dir().handle)));
#ifdef _WIN32
  EntryPlace at = At(first.dir(), dir.path(), "f");
  FileHandle writer;
  ASSERT_EQ(fs.OpenForWrite(at, &writer, IoMode::kCached), 0u);
  // A file being written may be read and written by others meanwhile...
  HANDLE other =
      ::CreateFileA(at.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
  // ...but this reader does not let anyone write while it reads.
  FileHandle reader;
  EXPECT_EQ(fs.OpenForRead(at, &reader, IoMode::kCached),
            static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  fs.Close(writer);
  ASSERT_EQ(fs.OpenForRead(at, &reader, IoMode::kCached), 0u);
  EXPECT_EQ(fs.OpenForWrite(at, &writer, IoMode::kCached),
            static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  fs.Close(reader);
#else
  TreeRoot missing(fs, dir / "missing");
  EXPECT_EQ(missing.dir().error, kNoSuchFile);
#endif
}

TEST(ProcessTest, SystemTextsMemoryTerminalsAndStops) {
#ifdef _WIN32
  char* expected = nullptr;
  DWORD length = ::FormatMessageA(0x1300, nullptr, ERROR_PATH_NOT_FOUND, 0x400,
                                  reinterpret_cast<LPSTR>(&expected), 0, nullptr);
  ASSERT_GT(length, 0u);
  std::string text = SystemErrorText(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(text, std::string(expected, length));  // its closing line break stays
  ::LocalFree(expected);
  EXPECT_STREQ(SystemErrorText(0x2FFFFFFF), "");  // a code without a message
  TempDir dir;
  std::FILE* file = std::fopen((dir / "f").c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(_fileno(file)));
  std::fclose(file);
#else
  EXPECT_STREQ(SystemErrorText(123456), "");
#endif
  EXPECT_GT(UsableMemoryBytes(), uint64_t{1} << 24);
  EXPECT_LE(UsableMemoryBytes(), PhysicalMemoryBytes());
  ClearStopRequest();
  RequestStop(15);
  EXPECT_EQ(StopRequested(), 15);
  ClearStopRequest();
}

#ifndef _WIN32
// The longest path is the kernel's: one byte more and a call by path fails.
// And the file system's name is the one its type number stands for.
TEST_F(FileSystemTest, TheLongestPathAndTheFileSystemsNameAreTheSystems) {
  std::string path = dir.path();
  while (path.size() + 1 + 255 < MaxPathLength()) {
    path += "/" + std::string(200, 'd');
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path.size();
  }
  path += "/" + std::string(MaxPathLength() - path.size() - 1, 'x');
  ASSERT_EQ(path.size(), MaxPathLength());
  EXPECT_EQ(::mkdir(path.c_str(), 0700), 0) << strerror(errno);
  EXPECT_EQ(::mkdir((path + "y").c_str(), 0700), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  struct statfs info {};
  if (::statfs("/dev/shm", &info) == 0 && info.f_type == 0x01021994) {
    EXPECT_EQ(FileSystemTypeName("/dev/shm"), "tmpfs");
  }
}

TEST(ProcessTest, MemoryIsBoundByTheControlGroupAndTheProcessLimits) {
  TempDir dir;
  // cgroup v2: the least limit of the group and the groups above it.
  std::filesystem::create_directories(dir / "sys/a/b");
  WriteWholeFile(dir / "cgroup", "0::/a/b\n");
  WriteWholeFile(dir / "sys/a/b/memory.max", "max\n");
  WriteWholeFile(dir / "sys/a/memory.max", "262144000\n");
  std::string cgroup = dir / "cgroup", sys = dir / "sys";
  uint64_t physical = PhysicalMemoryBytes();
  ASSERT_GT(physical, 262144000u);
  EXPECT_EQ(UsableMemoryBytes({cgroup.c_str(), sys.c_str()}), 262144000u);
  // cgroup v1: the memory controller's limit; its "no limit" is near 2^63.
  std::filesystem::create_directories(dir / "sys/memory/c");
  WriteWholeFile(dir / "cgroup", "4:cpu,cpuacct:/x\n3:memory:/c\n");
  WriteWholeFile(dir / "sys/memory/c/memory.limit_in_bytes", "123456789\n");
  EXPECT_EQ(UsableMemoryBytes({cgroup.c_str(), sys.c_str()}), 123456789u);
  WriteWholeFile(dir / "sys/memory/c/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(UsableMemoryBytes({cgroup.c_str(), sys.c_str()}),
            UsableMemoryBytes({"/none", "/none"}));
}
#endif

}  // namespace
}  // namespace dtk
