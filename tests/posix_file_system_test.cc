// The POSIX platform against a real scratch directory: the calls relative
// to open directories and their errors, the write loop against a system
// that writes short, writes nothing or is interrupted, reports written
// beside the tree, locks, memory limits and the standard streams.
#include "platform/posix_file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <list>

#include "engine/tester.h"
#include "platform/process.h"
#include "test_util.h"

namespace dtk {
namespace {

class PosixFileSystemTest : public ::testing::Test {
 protected:
  // Where `name` lies in `parent`, whose path is `parentPath`.
  EntryPlace At(const WalkDir& parent, const std::string& parentPath, const std::string& name) {
    paths_.push_back(parentPath + "/" + name);
    return PlaceOf(parent, paths_.back(), parentPath.size() + 1);
  }
  TempDir dir;
  PosixFileSystem fs;
  std::list<std::string> paths_;
};

TEST_F(PosixFileSystemTest, OperationsAndTheirErrors) {
  TreeRoot root(fs, dir.path());
  mode_t old = umask(022);
  EntryPlace subAt = At(root.dir(), dir.path(), "sub");
  EXPECT_EQ(fs.MakeDirectory(subAt), 0u);
  EXPECT_EQ(fs.MakeDirectory(subAt), static_cast<ErrorCode>(EEXIST));
  WalkDir sub;
  ASSERT_EQ(fs.OpenDirectory(subAt, &sub.handle), 0u);
  EntryPlace fileAt = At(sub, dir / "sub", "f");
  WriteWholeFile(fileAt.path, "old contents, longer");
  FileHandle file;
  ASSERT_EQ(fs.OpenForWrite(fileAt, &file, IoMode::kCached), 0u);  // reused, truncated
  EXPECT_EQ(fs.Write(file, "hello", 5), 0u);
  EXPECT_EQ(fs.Flush(file), 0u);
  EXPECT_EQ(fs.Close(file), 0u);
  EXPECT_EQ(ReadWholeFile(fileAt.path), "hello");
  EXPECT_EQ(fs.FlushDirectory(sub.handle), 0u);
  struct stat info;
  stat(fileAt.path, &info);
  EXPECT_EQ(info.st_mode & 0777, 0644u);  // both follow the umask
  stat(subAt.path, &info);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  umask(old);

  ASSERT_EQ(fs.OpenForRead(fileAt, &file, IoMode::kCached), 0u);
  char buffer[16];
  uint32_t got = 0;
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 0u);  // the end of the file
  EXPECT_EQ(fs.Close(file), 0u);

  EXPECT_EQ(fs.OpenForRead(At(sub, dir / "sub", "missing"), &file, IoMode::kCached),
            static_cast<ErrorCode>(ENOENT));
  EXPECT_EQ(file, kInvalidFile);
  EXPECT_EQ(fs.OpenForWrite(subAt, &file, IoMode::kCached), static_cast<ErrorCode>(EISDIR));
  EXPECT_EQ(fs.RemoveDirectory(subAt), static_cast<ErrorCode>(ENOTEMPTY));
  EXPECT_EQ(fs.DeleteFile(subAt), static_cast<ErrorCode>(EISDIR));
  EXPECT_EQ(fs.DeleteFile(fileAt), 0u);
  EXPECT_EQ(fs.DeleteFile(fileAt), static_cast<ErrorCode>(ENOENT));
  EXPECT_EQ(fs.CloseDirectory(sub.handle), 0u);
  EXPECT_EQ(fs.RemoveDirectory(subAt), 0u);
  EXPECT_EQ(fs.RemoveDirectory(subAt), static_cast<ErrorCode>(ENOENT));
  // A path longer than the system takes fails as a call by path would.
  std::string longName(MaxPathLength(), 'x');
  EXPECT_EQ(fs.MakeDirectory(At(root.dir(), dir.path(), longName)),
            static_cast<ErrorCode>(ENAMETOOLONG));
  for (ErrorCode code : {ENOENT, ENOTDIR, ENAMETOOLONG}) EXPECT_TRUE(IsNotFoundError(code));
  EXPECT_FALSE(IsNotFoundError(EACCES));
  EXPECT_STREQ(SystemErrorText(ENOENT), "No such file or directory");
  EXPECT_STREQ(SystemErrorText(123456), "");
  EXPECT_EQ(SystemErrorText(ENOENT), SystemErrorText(ENOENT));  // kept, not rebuilt
}

// The longest path is the kernel's: one byte more and a call by path fails.
// And the file system's name is the one its type number stands for.
TEST_F(PosixFileSystemTest, TheLongestPathAndTheFileSystemsNameAreTheSystems) {
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

TEST_F(PosixFileSystemTest, ATargetIsLockedForOneRunAtATime) {
  TreeRoot first(fs, dir.path());
  TreeRoot second(fs, dir.path());
  ASSERT_EQ(fs.LockDirectory(first.dir().handle), 0u);
  EXPECT_TRUE(IsBusyError(fs.LockDirectory(second.dir().handle)));
  TreeRoot missing(fs, dir / "missing");
  EXPECT_EQ(missing.dir().error, static_cast<ErrorCode>(ENOENT));
}

int interruptions = 0;
ssize_t WriteSevenAtATime(int fd, const void* data, size_t count) {
  if (interruptions > 0) {
    --interruptions;
    errno = EINTR;
    return -1;
  }
  return ::write(fd, data, count < 7 ? count : 7);
}
ssize_t WriteNothing(int, const void*, size_t) { return 0; }

TEST_F(PosixFileSystemTest, ShortAndInterruptedWritesAreContinuedAndNoProgressIsAFullDisk) {
  TreeRoot root(fs, dir.path());
  PosixFileSystem shortWrites(PosixCalls{WriteSevenAtATime, ::read});
  FileHandle file;
  ASSERT_EQ(shortWrites.OpenForWrite(At(root.dir(), dir.path(), "f"), &file, IoMode::kCached), 0u);
  interruptions = 3;
  std::string data(1000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  EXPECT_EQ(shortWrites.Write(file, data.data(), static_cast<uint32_t>(data.size())), 0u);
  shortWrites.Close(file);
  EXPECT_EQ(ReadWholeFile(dir / "f"), data);
  PosixFileSystem noProgress(PosixCalls{WriteNothing, ::read});
  ASSERT_EQ(noProgress.OpenForWrite(At(root.dir(), dir.path(), "g"), &file, IoMode::kCached), 0u);
  EXPECT_EQ(noProgress.Write(file, "abc", 3), static_cast<ErrorCode>(ENOSPC));
  noProgress.Close(file);
}

TEST_F(PosixFileSystemTest, AReportReplacesAFileButIsWrittenIntoAnythingElse) {
  std::string path = dir / "report.json";
  ASSERT_EQ(fs.WriteWholeFile(path.c_str(), "{}\n"), 0u);
  ASSERT_EQ(fs.WriteWholeFile(path.c_str(), "{\"new\": 1}\n"), 0u);
  EXPECT_EQ(ReadWholeFile(path), "{\"new\": 1}\n");
  EXPECT_EQ(dir.List(), std::vector<std::string>{"report.json"});  // no temporary stays
  EXPECT_EQ(fs.WriteWholeFile((dir / "no/such").c_str(), "{}"), static_cast<ErrorCode>(ENOENT));
  // A report that cannot be written leaves the one before as it was.
  PosixFileSystem noProgress(PosixCalls{WriteNothing, ::read});
  EXPECT_EQ(noProgress.WriteWholeFile(path.c_str(), "{}\n"), static_cast<ErrorCode>(ENOSPC));
  EXPECT_EQ(ReadWholeFile(path), "{\"new\": 1}\n");
  EXPECT_EQ(dir.List(), std::vector<std::string>{"report.json"});
  // A link that another user put where the report goes is not followed.
  std::string victim = dir / "victim", planted = dir / "planted";
  WriteWholeFile(victim, "mine");
  ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
  if (geteuid() == 0 && lchown(planted.c_str(), 65534, 65534) == 0) {
    EXPECT_EQ(fs.WriteWholeFile(planted.c_str(), "{}\n"), static_cast<ErrorCode>(ELOOP));
    EXPECT_EQ(ReadWholeFile(victim), "mine");
  }
  std::filesystem::remove(victim);
  std::filesystem::remove(planted);
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
    EXPECT_EQ(fs.WriteWholeFile(device.c_str(), "{}\n"), static_cast<ErrorCode>(ENOSPC));
    lstat(device.c_str(), &info);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
  }
}

TEST_F(PosixFileSystemTest, MemoryIsBoundByTheControlGroupAndTheProcessLimits) {
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
  EXPECT_EQ(UsableMemoryBytes({cgroup.c_str(), sys.c_str()}), UsableMemoryBytes({"/none", "/none"}));
}

}  // namespace
}  // namespace dtk
