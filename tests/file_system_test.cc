// The platform layer this is built for (POSIX or Win32) against a real
// scratch directory: the calls below open directories and their errors,
// the write loop against a system that writes short, is interrupted, fails
// part way or writes nothing, reports written beside the tree, locks, and
// the process queries. Where the systems differ, each has its expectation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <thread>
#include <string>

#include "engine/tester.h"
#include "platform/output_file.h"
#include "platform/process.h"
#include "test_util.h"

#ifdef _WIN32
#include "platform/win32_file_system.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/resource.h>
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

using Lines = std::vector<std::string>;

// A write stand-in: `step` bytes a call (0: no progress), after
// `interruptions` calls interrupted by a signal (POSIX), until `failAfter`
// calls have been made, then failing with kFailed.
int step = 7;
int interruptions = 0;
int failAfter = -1;
#ifdef _WIN32
using PlatformFileSystem = Win32FileSystem;
constexpr ErrorCode kFailed = ERROR_HANDLE_DISK_FULL;
constexpr ErrorCode kDiskFull = ERROR_DISK_FULL;
BOOL WINAPI WriteInSteps(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                         LPOVERLAPPED overlapped) {
  if (failAfter == 0) {
    *written = 0;
    ::SetLastError(kFailed);
    return FALSE;
  }
  if (failAfter > 0) --failAfter;
  return ::WriteFile(file, data, std::min<DWORD>(count, step), written, overlapped);
}
const Win32Calls kInSteps{WriteInSteps, ::ReadFile};
#else
using PlatformFileSystem = PosixFileSystem;
using Perms = std::filesystem::perms;
constexpr ErrorCode kFailed = EIO;
constexpr ErrorCode kDiskFull = ENOSPC;
ssize_t WriteInSteps(int fd, const void* data, size_t count) {
  if (failAfter == 0 || interruptions > 0) {
    errno = failAfter == 0 ? kFailed : EINTR;
    interruptions -= interruptions > 0;
    return -1;
  }
  if (failAfter > 0) --failAfter;
  return ::write(fd, data, std::min<size_t>(count, step));
}
const PosixCalls kInSteps{WriteInSteps, ::read};
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
  EntryPlace subAt = At(root.dir(), dir.path(), "sub");
  WalkDir sub;
  ASSERT_EQ(fs.MakeDirectory(subAt), 0u);
  ASSERT_EQ(fs.OpenDirectory(subAt, &sub.handle), 0u);
  EntryPlace fileAt = At(sub, dir / "sub", "f");
  WriteWholeFile(fileAt.path, "old contents, longer");
  FileHandle file;
  char buffer[16];
  uint32_t got[2] = {9, 9};
  // Each call in turn, and the code it must give.
  const ErrorCode calls[][2] = {
      {fs.MakeDirectory(subAt), kExists},
      {fs.OpenForWrite(fileAt, &file, IoMode::kCached), 0},  // reused, truncated
      {fs.Write(file, "hello", 5), 0},
      {fs.Write(file, "hello", 0), 0},  // nothing to write is no failure
      {fs.Flush(file), 0},
      {fs.Close(file), 0},
      {fs.FlushDirectory(sub.handle), 0},
      {fs.OpenForRead(fileAt, &file, IoMode::kCached), 0},
      {fs.Read(file, buffer, sizeof(buffer), &got[0]), 0},
      {fs.Read(file, buffer + 8, 8, &got[1]), 0},  // at the end of the file
      {fs.Close(file), 0},
      {fs.OpenForRead(At(sub, dir / "sub", "missing"), &file, IoMode::kCached), kNoSuchFile},
#ifndef _WIN32
      {fs.OpenForWrite(subAt, &file, IoMode::kCached), EISDIR},
      {fs.RemoveDirectory(subAt), kNotEmpty},
      {fs.DeleteFile(subAt), EISDIR},
#endif
      {fs.DeleteFile(fileAt), 0},
      {fs.DeleteFile(fileAt), kNoSuchFile},
#ifdef _WIN32
      // A directory held open cannot be removed or renamed under the walk.
      {fs.RemoveDirectory(subAt) != 0, 1},
#endif
      {fs.CloseDirectory(sub.handle), 0},
      {fs.RemoveDirectory(subAt), 0},
      {fs.RemoveDirectory(subAt), kNoSuchFile},
  };
  for (size_t i = 0; i < std::size(calls); ++i) EXPECT_EQ(calls[i][0], calls[i][1]) << "call " << i;
  EXPECT_EQ(std::string(buffer, got[0]) + std::to_string(got[1]), "hello0");
  EXPECT_EQ(file, kInvalidFile);  // a failed open leaves no handle
  // Which codes say that an entry is not there.
#ifdef _WIN32
  const ErrorCode notFound[] = {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
                                ERROR_FILENAME_EXCED_RANGE, ERROR_INVALID_NAME};
#else
  const ErrorCode notFound[] = {ENOENT, ENOTDIR, ENAMETOOLONG};
#endif
  for (ErrorCode code : notFound) EXPECT_TRUE(IsNotFoundError(code)) << code;
  EXPECT_FALSE(IsNotFoundError(0) || IsNotFoundError(kExists));
}

// Writes go on after short and interrupted ones, end at a failure or when
// nothing is taken; a report replaces a file, but is written into anything
// else.
TEST_F(FileSystemTest, WritesGoOnUntilNothingIsTakenAndAReportReplacesOnlyAFile) {
  TreeRoot root(fs, dir.path());
#ifndef _WIN32
  mode_t old = umask(022);
#endif
  ASSERT_EQ(fs.MakeDirectory(At(root.dir(), dir.path(), "d")), 0u);
  PlatformFileSystem steps(kInSteps);
  FileHandle file;
  ASSERT_EQ(steps.OpenForWrite(At(root.dir(), dir.path(), "f"), &file, IoMode::kCached), 0u);
  std::string data(1000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  interruptions = 3;
  EXPECT_EQ(steps.Write(file, data.data(), static_cast<uint32_t>(data.size())), 0u);
  // A failure part way through reports the system's code, taken at once.
  failAfter = 3;
  EXPECT_EQ(steps.Write(file, "0123456789012345678901234567890123456789", 40), kFailed);
  EXPECT_EQ(ReadWholeFile(dir / "f"), data + "012345678901234567890");
#ifndef _WIN32
  EXPECT_EQ(std::filesystem::status(dir / "f").permissions(), Perms(0644));  // as the umask says
  EXPECT_EQ(std::filesystem::status(dir / "d").permissions(), Perms(0755));
  umask(old);
#endif
  step = 0;
  failAfter = -1;
  EXPECT_EQ(steps.Write(file, "abc", 3), kDiskFull);
  steps.Close(file);
  // A report replaces a file, and leaves no temporary.
  const std::string path = dir / "f";
  ASSERT_EQ(fs.WriteWholeFile(path.c_str(), "{}\n"), 0u);
  EXPECT_EQ(ReadWholeFile(path), "{}\n");
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"d/", "f"}));
  EXPECT_EQ(fs.WriteWholeFile((dir / "no/such").c_str(), "{}"), kNoSuchPath);
#ifdef _WIN32
  EXPECT_EQ(fs.WriteWholeFile("NUL", "{}\n"), 0u);
#endif
}

#ifndef _WIN32
// Reports written where other users may plant links, files and FIFOs, with
// a run racing them: a file is replaced whole or left as it was, a FIFO or
// device is written into, and nothing else is written, whatever is there
// or swapped in meanwhile.
TEST_F(FileSystemTest, AReportIsNeverWrittenThroughWhatAnotherUserPlants) {
  const std::string shared = dir / "shared", victim = dir / "victim";
  ASSERT_EQ(mkdir(shared.c_str(), 0700) | chmod(shared.c_str(), 01777), 0);
  WriteWholeFile(victim, "precious");
  auto in = [&](const char* name) { return shared + "/" + name; };
  auto report = [&](const char* name, std::string_view text = "{}\n") {
    return WriteOutputFile(in(name).c_str(), text);
  };
  // A report that cannot be written whole leaves the one before.
  ASSERT_EQ(report("r", "old"), 0u);
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit unlimited {};
  getrlimit(RLIMIT_FSIZE, &unlimited);
  struct rlimit small = {2, unlimited.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_EQ(report("r"), static_cast<ErrorCode>(EFBIG));
  setrlimit(RLIMIT_FSIZE, &unlimited);
  EXPECT_EQ(ReadWholeFile(in("r")), "old");
  // Another user's link is refused; a name that also names the victim, and
  // a temporary name planted beside the report, are left to their files.
  ASSERT_EQ(link(victim.c_str(), in("hard").c_str()), 0);
  const bool otherUser = AsOtherUser([&] {
    return symlink(victim.c_str(), in("theirs").c_str()) == 0 &&
           symlink(victim.c_str(), in("evil").c_str()) == 0 &&
           symlink(victim.c_str(), in("r.tmp").c_str()) == 0;
  });
  EXPECT_EQ(report("hard"), 0u);
  EXPECT_EQ(ReadWholeFile(in("hard")), "{}\n");
  if (otherUser) {
    EXPECT_EQ(report("theirs"), static_cast<ErrorCode>(ELOOP));
    // A rename-exchange loop swaps the report's name with their link.
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      while (!done) renameat2(AT_FDCWD, in("r").c_str(), AT_FDCWD, in("evil").c_str(), RENAME_EXCHANGE);
    });
    for (int i = 0; i < 300; ++i) {
      ErrorCode code = report("r");
      EXPECT_TRUE(code == 0 || code == ELOOP) << SystemText(code);
    }
    done = true;
    swapper.join();
  }
  EXPECT_EQ(ReadWholeFile(victim), "precious");
  // Runs writing one report at once each finish, and one whole report stays.
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int k = 0; k < 8; ++k) {
    writers.emplace_back([&, k] { failures += report("many", std::string(100000, 'a' + k)) != 0; });
  }
  for (std::thread& writer : writers) writer.join();
  std::string many = ReadWholeFile(in("many"));
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(many.size() == 100000 && many == std::string(100000, many[0])) << many.size();
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(shared)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  const Lines expected = otherUser ? Lines{"evil", "hard", "many", "r", "r.tmp", "theirs"}
                                   : Lines{"hard", "many", "r"};
  EXPECT_EQ(names, expected);
  // A FIFO is written into, through this user's own link too; without a
  // reader it is waited for until a stop, and a second longer.
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600) | symlink(fifo.c_str(), in("mine").c_str()), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_EQ(report("mine", "{}\n"), 0u);
  char got[8] = {};
  EXPECT_EQ(read(reader, got, sizeof(got)), 3);
  close(reader);
  std::thread stopper([] {
    usleep(200000);
    RequestStop(SIGINT);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WriteOutputFile(fifo.c_str(), "{}\n"), static_cast<ErrorCode>(ENXIO));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  stopper.join();
  ClearStopRequest();
  // So is a device, where this process may make one.
  const std::string device = dir / "full";
  if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0) {  // as /dev/full
    EXPECT_EQ(fs.WriteWholeFile(device.c_str(), "{}\n"), kDiskFull);
  }
}
#endif

TEST_F(FileSystemTest, ATargetIsLockedForOneRunAtATime) {
  TreeRoot first(fs, dir.path());
  TreeRoot second(fs, dir.path());
  ASSERT_EQ(fs.LockDirectory(first.dir().handle), 0u);
  EXPECT_TRUE(IsBusyError(fs.LockDirectory(second.dir().handle)));
#ifdef _WIN32
  EntryPlace at = At(first.dir(), dir.path(), "f");
  FileHandle writer, reader;
  ASSERT_EQ(fs.OpenForWrite(at, &writer, IoMode::kCached), 0u);
  // A file being written may be read and written by others meanwhile...
  HANDLE other =
      ::CreateFileA(at.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_TRUE(other != INVALID_HANDLE_VALUE && ::CloseHandle(other));
  // ...but this reader does not let anyone write while it reads.
  constexpr ErrorCode kShared = ERROR_SHARING_VIOLATION;
  EXPECT_EQ(fs.OpenForRead(at, &reader, IoMode::kCached), kShared);
  fs.Close(writer);
  ASSERT_EQ(fs.OpenForRead(at, &reader, IoMode::kCached), 0u);
  EXPECT_EQ(fs.OpenForWrite(at, &writer, IoMode::kCached), kShared);
  fs.Close(reader);
#endif
}

TEST(ProcessTest, SystemTextsFileSystemNamesMemoryAndTerminals) {
#ifdef _WIN32
  char* expected = nullptr;
  DWORD length = ::FormatMessageA(0x1300, nullptr, ERROR_PATH_NOT_FOUND, 0x400,
                                  reinterpret_cast<LPSTR>(&expected), 0, nullptr);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(SystemErrorText(ERROR_PATH_NOT_FOUND),
            std::string(expected, length));  // with its "\r\n"
  ::LocalFree(expected);
  EXPECT_STREQ(SystemErrorText(0x2FFFFFFF), "");  // a code without a message
  TempDir dir;
  std::FILE* file = std::fopen((dir / "f").c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(_fileno(file)));
  std::fclose(file);
#else
  EXPECT_STREQ(SystemErrorText(123456), "");
  // A file system's name is the one its type number stands for.
  struct statfs info {};
  if (::statfs("/dev/shm", &info) == 0 && info.f_type == 0x01021994) {
    EXPECT_EQ(FileSystemTypeName("/dev/shm"), "tmpfs");
  }
#endif
  EXPECT_GT(UsableMemoryBytes(), uint64_t{1} << 24);
  EXPECT_LE(UsableMemoryBytes(), PhysicalMemoryBytes());
}

#ifndef _WIN32
TEST(ProcessTest, MemoryIsBoundByTheControlGroupAndTheProcessLimits) {
  TempDir dir;
  const std::string cgroup = dir / "cgroup", sys = dir / "sys";
  auto usable = [&] { return UsableMemoryBytes({cgroup.c_str(), sys.c_str()}); };
  // cgroup v2: the least limit of the group and the groups above it.
  std::filesystem::create_directories(dir / "sys/a/b");
  WriteWholeFile(cgroup, "0::/a/b\n");
  WriteWholeFile(sys + "/a/b/memory.max", "max\n");
  WriteWholeFile(sys + "/a/memory.max", "262144000\n");
  EXPECT_EQ(usable(), 262144000u);
  // cgroup v1: the memory controller's limit; its "no limit" is near 2^63.
  std::filesystem::create_directories(dir / "sys/memory/c");
  WriteWholeFile(cgroup, "4:cpu,cpuacct:/x\n3:memory:/c\n");
  WriteWholeFile(sys + "/memory/c/memory.limit_in_bytes", "123456789\n");
  EXPECT_EQ(usable(), 123456789u);
  WriteWholeFile(sys + "/memory/c/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(usable(), UsableMemoryBytes({"/none", "/none"}));
}
#endif

}  // namespace
}  // namespace dtk
